// CServer: the Server object through which a process attaches to the service.
//
// A process (the connect() library, or the tray program for itself) calls Init with its
// process id and name, and optionally its user's tray object; it receives the private
// port on 127.0.0.1 and its session key, all zero when it is not to be diverted. Term
// with the key detaches it. The object has no state of its own: everything lives in the
// socket server.
//
// Over the object RPC it is called by ordinal (IRpcCall) on IID_ISocketServer:
//   1 Init  [VT_I4 process id, VT_BSTR process name, VT_UNKNOWN tray or VT_EMPTY,
//            VT_BYREF|VT_UI2 port out, VT_BYREF|VT_BSTR key out (registry form)]
//   2 Term  [VT_BSTR key (registry form)]
// A caller may attach only processes of its own uid; root may attach any.
#pragma once

#include "idl/ServiceInterfaces.h"
#include "intake/SocketServer.h"
#include "rpc/IRpcCall.h"

class CServer : public CComObjectRoot<CServer, ISocketServer, IRpcCall> {
public:
    // Works on `server` (the program's SOCKET_SERVER when null).
    explicit CServer(CSocketServer* server = nullptr) : m_pServer(server) {}

    HRESULT Init(LONG ProcessId, BSTR strProcessName, IPellora* pTray, USHORT* pPort,
                 GUID* guidSessionKey) override;
    HRESULT Term(const GUID* Token) override;
    HRESULT RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs,
                    VARIANT* pResult) override;

private:
    CSocketServer* Server() const;
    CSocketServer* m_pServer;
};
