// CRpcConnection: serving incoming calls on the exported objects (and the caller of the
// call being served).
#include "rpc/RpcConnection.h"

#include <deque>

#include "com/DiagnosticLog.h"
#include "com/ErrorInfo.h"
#include "rpc/RpcInterfaces.h"

namespace {

thread_local const RpcCaller* t_pCaller = nullptr;

// Marks the current thread as serving a call of `caller` for a scope.
class CCallerScope {
public:
    explicit CCallerScope(const RpcCaller* caller) : m_previous(t_pCaller) { t_pCaller = caller; }
    ~CCallerScope() { t_pCaller = m_previous; }

private:
    const RpcCaller* m_previous;
};

// Storage behind the by-reference arguments of a served call.
struct ByRefSlot {
    CComVariant var;
    BSTR str;
    DECIMAL dec{};

    // Points `arg` at this slot, which takes over `value`.
    void Bind(VARTYPE type, CComVariant& value, VARIANT* arg) {
        VariantInit(arg);
        arg->vt = type | VT_BYREF;
        if (type == VT_VARIANT) {
            var = std::move(value);
            arg->pvarVal = &var;
            return;
        }
        CComVariant typed;
        if (FAILED(VariantChangeType(&typed, &value, 0, type)))
            typed.Clear();
        if (type == VT_BSTR) {
            str = typed.vt == VT_BSTR ? typed.Bstr() : BSTR();
            arg->pbstrVal = &str;
        } else if (type == VT_DECIMAL) {
            if (typed.vt == VT_DECIMAL)
                dec = typed.decVal;
            dec.wReserved = 0;
            arg->pdecVal = &dec;
        } else {
            if (typed.vt != type) {
                typed.Clear();
                typed.vt = type;
                typed.llVal = 0;
            }
            var = std::move(typed);
            arg->byref = (type & VT_ARRAY) ? static_cast<void*>(&var.parray)
                                           : static_cast<void*>(&var.llVal);
        }
    }
    // The slot's final value.
    CComVariant Value(VARTYPE type) const {
        if (type == VT_BSTR)
            return CComVariant(str);
        if (type == VT_DECIMAL) {
            CComVariant v;
            v.decVal = dec;
            v.vt = VT_DECIMAL;
            return v;
        }
        return var;
    }
};

}  // namespace

std::optional<RpcCaller> CurrentRpcCaller() {
    if (!t_pCaller)
        return std::nullopt;
    return *t_pCaller;
}

bool CRpcConnection::Serve(RpcCallFrame& call, bool keepReading) {
    bool reading = false;
    try {
        CCallerScope scope(&m_peer);
        const std::size_t n = call.args.size();
        std::vector<VARIANT> args(n);
        std::deque<ByRefSlot> slots;
        std::vector<std::pair<std::uint32_t, ByRefSlot*>> byrefs;
        for (std::size_t i = 0; i < n; ++i) {
            RpcArg& arg = call.args[i];
            if (arg.byref) {
                ByRefSlot& slot = slots.emplace_back();
                slot.Bind(arg.byref, arg.value, &args[i]);
                byrefs.emplace_back(static_cast<std::uint32_t>(i), &slot);
            } else {
                args[i] = arg.value;  // a view: call.args keeps ownership
            }
        }
        CComVariant result;
        BSTR source, description;
        bool hasError = false;
        HRESULT hr = Dispatch(call, args, &result, &source, &description);
        if (FAILED(hr))
            hasError = !source.IsNull() || !description.IsNull();

        std::vector<CComVariant> outValues;
        outValues.reserve(byrefs.size());
        std::vector<std::pair<std::uint32_t, const VARIANT*>> outs;
        for (auto& [index, slot] : byrefs) {
            outValues.push_back(slot->Value(call.args[index].byref));
            outs.emplace_back(index, &outValues.back());
        }
        std::vector<BYTE> frame;
        HRESULT hrEncode = CRpcFrameCodec::EncodeReply(
            call.callId, hr, &result, outs, hasError ? &source : nullptr,
            hasError ? &description : nullptr, this, frame);
        if (!CheckResult(hrEncode)) {
            frame.clear();
            CheckResult(CRpcFrameCodec::EncodeReply(call.callId, hrEncode, nullptr, {}, nullptr,
                                                    nullptr, this, frame));
        }
        // Everything the call held goes before the reply does, so that the release of a
        // proxy among its arguments or result reaches the caller before the caller goes on.
        result.Clear();
        outValues.clear();
        args.clear();
        call.args.clear();
        slots.clear();
        if (keepReading) {
            std::lock_guard lock(m_lock);
            if (!m_closed && !m_reading) {
                m_reading = reading = true;
                UnwatchSocket();
            }
        }
        if (!frame.empty())
            Send(frame);
        return reading;
    } catch (...) {
        ReportException("CRpcConnection::Serve", CV_HERE);
        if (reading) {
            std::lock_guard lock(m_lock);
            ReleaseReader();
        }
        return false;
    }
}

HRESULT CRpcConnection::Dispatch(RpcCallFrame& call, std::vector<VARIANT>& args, VARIANT* result,
                                 BSTR* source, BSTR* description) {
    if (call.kind == RPC_CALL_GETROOT) {
        if (!m_root)
            return E_NOINTERFACE;
        CComPtr<IDispatch> dispatch = ComQuery<IDispatch>(m_root.Get());
        *static_cast<CComVariant*>(result) =
            dispatch ? CComVariant(dispatch.Get()) : CComVariant(m_root.Get());
        return S_OK;
    }
    CComPtr<IUnknown> object;
    {
        std::lock_guard lock(m_lock);
        auto it = m_exports.find(call.objectId);
        if (it != m_exports.end())
            object = it->second.object;
    }
    if (!object)
        return RPC_E_INVALID_OBJECT;
    if (call.kind == RPC_CALL_CUSTOM) {
        // The object takes the call itself, or the stub registered for the interface
        // maps it onto the object's methods.
        CComPtr<IRpcCall> target = ComQuery<IRpcCall>(object.Get());
        SetErrorInfo(0, nullptr);
        const auto method = static_cast<ULONG>(call.member);
        const auto cArgs = static_cast<UINT>(args.size());
        HRESULT hr = target ? target->RpcCall(call.iid, method, cArgs, args.data(), result)
                            : CRpcInterfaces::Call(object.Get(), call.iid, method, cArgs,
                                                   args.data(), result);
        if (FAILED(hr)) {
            CComPtr<IErrorInfo> info;
            if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
                info->GetSource(source);
                info->GetDescription(description);
            }
        }
        return hr;
    }
    CComPtr<IDispatch> target = ComQuery<IDispatch>(object.Get());
    if (!target)
        return E_NOINTERFACE;
    if (call.kind == RPC_CALL_GETIDSOFNAMES) {
        if (args.size() != 1 || args[0].vt != VT_BSTR)
            return E_INVALIDARG;
        std::u16string name(VariantText(args[0]));
        const char16_t* names[] = {name.c_str()};
        DISPID id = DISPID_UNKNOWN;
        HRESULT hr = target->GetIDsOfNames(GUID_NULL, names, 1, call.lcid, &id);
        if (SUCCEEDED(hr))
            *static_cast<CComVariant*>(result) = CComVariant(LONG(id));
        return hr;
    }
    if (call.kind &
        ~(DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
        return E_INVALIDARG;
    DISPPARAMS params;
    params.rgvarg = args.data();
    params.cArgs = static_cast<UINT>(args.size());
    params.rgdispidNamedArgs = call.named.data();
    params.cNamedArgs = static_cast<UINT>(call.named.size());
    EXCEPINFO excep;
    UINT argErr = 0;
    HRESULT hr = target->Invoke(call.member, GUID_NULL, call.lcid, call.kind, &params, result,
                                &excep, &argErr);
    if (hr == DISP_E_EXCEPTION) {
        *source = excep.bstrSource;
        *description = excep.bstrDescription;
        if (excep.scode)
            hr = excep.scode;
    }
    return hr;
}
