// The frames of the object RPC and their codec: a pure function of bytes, apart from
// the object map that turns object references into wire ids and back.
//
// Every frame is a 12-byte header and a body, all little-endian:
//
//     u32 magic "CVRP" | u8 version (1) | u8 type | u16 reserved (0) | u32 body length
//
// A body is at most 16 MiB; anything larger, a wrong magic or version, an unknown type
// or a body that does not parse exactly is malformed, and the connection that sent it
// is closed. The bodies:
//
//     Call     u64 call id, u64 object id, GUID interface id, i32 member (method ordinal
//              or DISPID), u16 kind (0 custom call, DISPATCH_* flags, or one of the
//              RPC_CALL_* requests), u32 lcid, u32 argument count, the arguments,
//              u32 named-argument count, the named DISPIDs
//     Reply    u64 call id, i32 HRESULT, the result VARIANT, u32 out count and
//              (u32 argument index, VARIANT) pairs, u8 has-error, then the error
//              source and description as strings
//     Release  u64 object id, u32 count
//
// A VARIANT is its u16 VT code and its value: scalars in their natural width, CY and
// DATE in 8 bytes, DECIMAL as scale, sign, high 32 and low 64 bits, a string as a u32
// length in UTF-16 units (0xFFFFFFFF for the null string, so null stays distinct from
// empty) and its units, an object as a reference (u8 kind: 0 null, 1 an object of the
// sender, 2 an object of the receiver sent back; u8 dispatch flag; u64 id), an array
// (VT_ARRAY) as u16 dimension count, (u32 elements, i32 lower bound) per dimension in
// declaration order and the elements first-dimension-fastest, each in its element
// type. A VT_BYREF argument is sent with its flag and the value it points at; the
// callee's final value comes back in the reply's out list.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "com/CComVariant.h"
#include "com/Guid.h"

constexpr std::uint32_t kRpcMagic = 0x50525643;  // "CVRP" as little-endian bytes
constexpr BYTE kRpcVersion = 1;
constexpr std::size_t kRpcHeaderSize = 12;
constexpr std::size_t kRpcMaxBody = 16u << 20;
// Deepest nesting of VARIANTs inside arrays and references that a frame may carry.
constexpr int kRpcMaxDepth = 32;

enum class RpcFrameType : BYTE { Call = 1, Reply = 2, Release = 3 };

// Kinds of a call beyond the DISPATCH_* flags of IDispatch::Invoke.
constexpr WORD RPC_CALL_CUSTOM = 0;             // IRpcCall: interface id and ordinal
constexpr WORD RPC_CALL_GETROOT = 0x100;        // the listener's root object, as result
constexpr WORD RPC_CALL_GETIDSOFNAMES = 0x200;  // args: the name; result: the DISPID

// An object reference as it travels.
struct RpcObjectRef {
    enum Kind : BYTE { Null = 0, SenderObject = 1, ReceiverObject = 2 };
    Kind kind = Null;
    bool dispatch = false;  // the object answers IDispatch
    std::uint64_t id = 0;
};

// Turns objects into references (encoding) and references into objects (decoding).
// The connection implements it over its export table and proxies.
class IRpcObjectMap {
public:
    // Exports `punk` (or recognises a proxy of the peer's own object) for sending.
    virtual HRESULT MarshalObject(IUnknown* punk, RpcObjectRef* ref) = 0;
    // A counted pointer for a received reference: an IDispatch* when `vt` is VT_DISPATCH,
    // an IUnknown* otherwise. A null reference gives S_OK and null.
    virtual HRESULT UnmarshalObject(const RpcObjectRef& ref, VARTYPE vt, void** ppv) = 0;

protected:
    ~IRpcObjectMap() = default;
};

// A received argument: its value, and for a by-reference argument the type it refers
// to (VT_VARIANT, VT_I4, VT_ARRAY|VT_BSTR, …); 0 for a by-value argument.
struct RpcArg {
    CComVariant value;
    VARTYPE byref = 0;
};

struct RpcCallFrame {
    std::uint64_t callId = 0;
    std::uint64_t objectId = 0;
    IID iid{};
    std::int32_t member = 0;
    WORD kind = RPC_CALL_CUSTOM;
    LCID lcid = 0;
    std::vector<RpcArg> args;
    std::vector<DISPID> named;
};

struct RpcReplyFrame {
    std::uint64_t callId = 0;
    HRESULT hr = S_OK;
    CComVariant result;
    std::vector<std::pair<std::uint32_t, CComVariant>> outs;
    bool hasError = false;
    BSTR source;
    BSTR description;
};

struct RpcReleaseFrame {
    std::uint64_t objectId = 0;
    std::uint32_t count = 0;
};

// One decoded frame; the member that `type` names is filled.
struct RpcFrame {
    RpcFrameType type = RpcFrameType::Release;
    RpcCallFrame call;
    RpcReplyFrame reply;
    RpcReleaseFrame release;
};

// The header fields of a call to encode; the arguments are given separately.
struct RpcCallHeader {
    std::uint64_t callId = 0;
    std::uint64_t objectId = 0;
    IID iid{};
    std::int32_t member = 0;
    WORD kind = RPC_CALL_CUSTOM;
    LCID lcid = 0;
};

class CRpcFrameCodec {
public:
    // Each Encode appends one whole frame (header and body) to `out`. On failure `out`
    // is left as it was.
    static HRESULT EncodeCall(const RpcCallHeader& call, const VARIANT* rgArgs, UINT cArgs,
                              const DISPID* rgNamed, UINT cNamed, IRpcObjectMap* map,
                              std::vector<BYTE>& out);
    // `outs` lists the by-reference arguments' indices and final values.
    static HRESULT EncodeReply(std::uint64_t callId, HRESULT hr, const VARIANT* result,
                               const std::vector<std::pair<std::uint32_t, const VARIANT*>>& outs,
                               const BSTR* source, const BSTR* description, IRpcObjectMap* map,
                               std::vector<BYTE>& out);
    static HRESULT EncodeRelease(std::uint64_t objectId, std::uint32_t count,
                                 std::vector<BYTE>& out);

    // Looks at the start of a byte stream: S_OK and the whole frame's size when a header
    // is there and valid, S_FALSE when fewer than kRpcHeaderSize bytes are there, and
    // RPC_E_INVALID_DATA for a bad magic, version, type or size.
    static HRESULT ParseHeader(const BYTE* data, std::size_t size, std::size_t* frameSize);

    // Decodes exactly one whole frame (header included). Any defect gives
    // RPC_E_INVALID_DATA; objects already resolved are released again.
    static HRESULT Decode(const BYTE* data, std::size_t size, IRpcObjectMap* map, RpcFrame* frame);
};

constexpr HRESULT RPC_E_INVALID_DATA = MakeHResult(0x8001000F);
