// Decodes arbitrary bytes as object RPC frames: header checks, every VARIANT kind,
// arrays and object references, with an object map that accepts any id.
#include <cstddef>
#include <cstdint>

#include "rpc/RpcFrame.h"

namespace {

class CThing : public CComObjectRoot<CThing, IDispatch> {
public:
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, const char16_t**, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT Invoke(DISPID, const IID&, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        return E_NOTIMPL;
    }
};

class CAnyMap : public IRpcObjectMap {
public:
    HRESULT MarshalObject(IUnknown*, RpcObjectRef* ref) override {
        ref->kind = RpcObjectRef::SenderObject;
        ref->id = 1;
        return S_OK;
    }
    HRESULT UnmarshalObject(const RpcObjectRef& ref, VARTYPE vt, void** ppv) override {
        if (ref.id % 7 == 3)
            return E_INVALIDARG;  // an unknown id
        auto thing = MakeObject<CThing>();
        return thing->QueryInterface(vt == VT_DISPATCH ? IIDOf<IDispatch>() : IIDOf<IUnknown>(),
                                     ppv);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CAnyMap map;
    RpcFrame frame;
    if (CRpcFrameCodec::Decode(data, size, &map, &frame) != S_OK)
        return 0;
    // What decodes must encode again.
    std::vector<BYTE> out;
    if (frame.type == RpcFrameType::Call) {
        std::vector<VARIANT> args;
        for (auto& arg : frame.call.args)
            args.push_back(arg.value);
        RpcCallHeader header{frame.call.callId, frame.call.objectId, frame.call.iid,
                             frame.call.member, frame.call.kind,     frame.call.lcid};
        CRpcFrameCodec::EncodeCall(header, args.data(), static_cast<UINT>(args.size()),
                                   frame.call.named.data(),
                                   static_cast<UINT>(frame.call.named.size()), &map, out);
    }
    return 0;
}
