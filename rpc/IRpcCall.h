// The interfaces of the object RPC that other parts of the program see.
//
// `IRpcCall` is the generic way to call a custom (non-dispatch) interface across
// processes: the caller names the interface, the method's ordinal (its position after
// the three IUnknown methods, counting from 1) and passes the arguments in their
// declared order as VARIANTs. A by-reference argument (VT_BYREF) is an out or in/out
// argument: the callee's final value is written back into it. A proxy of a remote
// object implements `IRpcCall`; on the serving side, an exported object that implements
// it receives such calls directly, otherwise a stub registered for the interface id
// (CRpcInterfaces, rpc/RpcInterfaces.h) maps them onto the object's methods.
//
// `RpcCaller` names the peer process of a connection (from the socket's credentials);
// while an incoming call runs, `CurrentRpcCaller()` gives the caller of that call.
#pragma once

#include <sys/types.h>
#include <optional>

#include "com/Dispatch.h"

struct IRpcCall : IUnknown {
    DECLARE_IID("{6E3C1D52-8F0B-4C7E-9A41-2B7D5E0C9F13}");
    virtual HRESULT RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs,
                            VARIANT* pResult) = 0;
};

// The credentials of the process at the other end of a connection.
struct RpcCaller {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    pid_t pid = 0;
};

// The caller of the incoming call that the current thread is serving, or nothing when
// the thread is not serving a call.
std::optional<RpcCaller> CurrentRpcCaller();
