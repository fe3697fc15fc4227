// The frame codec: VARIANTs and frames to bytes and back (see RpcFrame.h for the layout).
#include "rpc/RpcFrame.h"

#include <bit>
#include <cstring>

#include "com/DiagnosticLog.h"
#include "com/SafeArray.h"

static_assert(std::endian::native == std::endian::little, "the wire is little-endian");

namespace {

// Element types an array may have on the wire.
bool IsArrayElementType(VARTYPE vt) {
    return VariantScalarSize(vt) != 0 || vt == VT_BSTR || vt == VT_VARIANT || vt == VT_DECIMAL ||
           vt == VT_UNKNOWN || vt == VT_DISPATCH;
}

class CWriter {
public:
    explicit CWriter(std::vector<BYTE>& out) : m_out(out) {}
    void Bytes(const void* p, std::size_t n) {
        const BYTE* b = static_cast<const BYTE*>(p);
        m_out.insert(m_out.end(), b, b + n);
    }
    template <class T>
    void Put(T value) {
        Bytes(&value, sizeof value);
    }
    void String(const BSTR& s) {
        if (s.IsNull()) {
            Put<std::uint32_t>(0xFFFFFFFFu);
            return;
        }
        auto view = s.View();
        Put<std::uint32_t>(static_cast<std::uint32_t>(view.size()));
        Bytes(view.data(), view.size() * 2);
    }
    std::vector<BYTE>& Out() { return m_out; }

private:
    std::vector<BYTE>& m_out;
};

class CReader {
public:
    CReader(const BYTE* p, std::size_t n) : m_p(p), m_end(p + n) {}
    std::size_t Left() const { return static_cast<std::size_t>(m_end - m_p); }
    bool Bytes(void* dest, std::size_t n) {
        if (Left() < n)
            return false;
        std::memcpy(dest, m_p, n);
        m_p += n;
        return true;
    }
    template <class T>
    bool Get(T* value) {
        return Bytes(value, sizeof *value);
    }
    bool String(BSTR* s) {
        std::uint32_t len = 0;
        if (!Get(&len))
            return false;
        if (len == 0xFFFFFFFFu) {
            *s = BSTR();
            return true;
        }
        if (Left() / 2 < len)
            return false;
        std::u16string text(len, u'\0');
        Bytes(text.data(), std::size_t(len) * 2);
        *s = BSTR(std::move(text));
        return true;
    }

private:
    const BYTE* m_p;
    const BYTE* m_end;
};

HRESULT EncodeVariant(CWriter& w, const VARIANT& v, IRpcObjectMap* map, int depth);

HRESULT EncodeObject(CWriter& w, IUnknown* punk, IRpcObjectMap* map) {
    RpcObjectRef ref;
    if (punk) {
        if (CheckExpression(!map))
            return E_INVALIDARG;
        HRESULT hr = map->MarshalObject(punk, &ref);
        if (!CheckResult(hr))
            return hr;
    }
    w.Put<BYTE>(ref.kind);
    w.Put<BYTE>(ref.dispatch ? 1 : 0);
    w.Put<std::uint64_t>(ref.id);
    return S_OK;
}

// One value of type `vt` (no VT_ARRAY/VT_BYREF bits) stored at `p`, as the union field
// of a VARIANT or an array element holds it.
HRESULT EncodeValue(CWriter& w, VARTYPE vt, const void* p, IRpcObjectMap* map, int depth) {
    if (std::size_t n = VariantScalarSize(vt)) {
        w.Bytes(p, n);
        return S_OK;
    }
    switch (vt) {
        case VT_DECIMAL: {
            const DECIMAL& d = *static_cast<const DECIMAL*>(p);
            w.Put<BYTE>(d.scale);
            w.Put<BYTE>(d.sign);
            w.Put<ULONG>(d.Hi32);
            w.Put<ULONGLONG>(d.Lo64);
            return S_OK;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return EncodeObject(w, *static_cast<IUnknown* const*>(p), map);
        case VT_VARIANT:
            return EncodeVariant(w, *static_cast<const VARIANT*>(p), map, depth + 1);
        default:
            CheckExpression(vt != VT_BSTR);
            return DISP_E_BADVARTYPE;
    }
}

HRESULT EncodeArray(CWriter& w, VARTYPE elementVt, SAFEARRAY* psa, IRpcObjectMap* map, int depth) {
    if (CheckExpression(!psa || psa->cDims == 0 || psa->bounds.size() != psa->cDims))
        return E_INVALIDARG;
    if (CheckExpression(!IsArrayElementType(elementVt)))
        return DISP_E_BADVARTYPE;
    w.Put<USHORT>(psa->cDims);
    std::size_t count = 1;
    for (const SAFEARRAYBOUND& b : psa->bounds) {
        w.Put<ULONG>(b.cElements);
        w.Put<LONG>(b.lLbound);
        count *= b.cElements;
    }
    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(psa, &data);
    if (!CheckResult(hr))
        return hr;
    const BYTE* base = static_cast<const BYTE*>(data);
    const std::size_t size = psa->cbElements;
    for (std::size_t i = 0; i < count && SUCCEEDED(hr); ++i) {
        const void* element = base + i * size;
        if (elementVt == VT_BSTR)
            w.String(*static_cast<const BSTR*>(element));
        else
            hr = EncodeValue(w, elementVt, element, map, depth);
    }
    SafeArrayUnaccessData(psa);
    return hr;
}

HRESULT EncodeVariant(CWriter& w, const VARIANT& v, IRpcObjectMap* map, int depth) {
    if (CheckExpression(depth > kRpcMaxDepth))
        return E_INVALIDARG;
    const VARTYPE vt = v.vt;
    const VARTYPE base = vt & ~(VT_BYREF | VT_ARRAY);
    const bool byref = (vt & VT_BYREF) != 0;
    if (byref && CheckExpression(!v.byref))
        return E_POINTER;
    w.Put<VARTYPE>(vt);
    if (vt & VT_ARRAY) {
        SAFEARRAY* psa = byref ? *v.pparray : v.parray;
        return EncodeArray(w, base, psa, map, depth);
    }
    switch (base) {
        case VT_EMPTY:
        case VT_NULL:
            if (CheckExpression(byref))
                return DISP_E_BADVARTYPE;
            return S_OK;
        case VT_BSTR:
            if (byref)
                w.String(*v.pbstrVal);
            else
                w.String(BSTR::Share(v.bstrVal));
            return S_OK;
        case VT_VARIANT:
            if (CheckExpression(!byref))
                return DISP_E_BADVARTYPE;
            return EncodeVariant(w, *v.pvarVal, map, depth + 1);
        case VT_DECIMAL:
            return EncodeValue(w, base, byref ? static_cast<const void*>(v.pdecVal) : &v.decVal,
                               map, depth);
        default:
            if (CheckExpression(!VariantScalarSize(base) && base != VT_UNKNOWN && base != VT_DISPATCH))
                return DISP_E_BADVARTYPE;
            return EncodeValue(w, base, byref ? v.byref : static_cast<const void*>(&v.llVal), map,
                               depth);
    }
}

// Decoding. Every failure is RPC_E_INVALID_DATA: the bytes are the peer's, not ours.
constexpr HRESULT kBad = RPC_E_INVALID_DATA;

HRESULT DecodeVariant(CReader& r, IRpcObjectMap* map, int depth, VARIANT* out, VARTYPE* byref);

HRESULT DecodeObject(CReader& r, VARTYPE vt, IRpcObjectMap* map, void** ppv) {
    BYTE kind = 0, dispatch = 0;
    RpcObjectRef ref;
    if (!r.Get(&kind) || !r.Get(&dispatch) || !r.Get(&ref.id))
        return kBad;
    if (kind > RpcObjectRef::ReceiverObject || dispatch > 1)
        return kBad;
    ref.kind = static_cast<RpcObjectRef::Kind>(kind);
    ref.dispatch = dispatch != 0;
    *ppv = nullptr;
    if (ref.kind == RpcObjectRef::Null)
        return ref.id == 0 ? S_OK : kBad;
    if (!map)
        return kBad;
    HRESULT hr = map->UnmarshalObject(ref, vt, ppv);
    return FAILED(hr) ? kBad : S_OK;
}

// One value of type `vt` into `p` (a VARIANT's union field or an array element, which
// holds nothing yet).
HRESULT DecodeValue(CReader& r, VARTYPE vt, void* p, IRpcObjectMap* map, int depth) {
    if (std::size_t n = VariantScalarSize(vt))
        return r.Bytes(p, n) ? S_OK : kBad;
    switch (vt) {
        case VT_DECIMAL: {
            DECIMAL d{};
            if (!r.Get(&d.scale) || !r.Get(&d.sign) || !r.Get(&d.Hi32) || !r.Get(&d.Lo64))
                return kBad;
            if (d.scale > 28 || (d.sign & ~DECIMAL_NEG) != 0)
                return kBad;
            // The reserved word overlays a VARIANT's type code: leave the caller's in place.
            std::memcpy(static_cast<BYTE*>(p) + offsetof(DECIMAL, scale), &d.scale,
                        sizeof(DECIMAL) - offsetof(DECIMAL, scale));
            return S_OK;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return DecodeObject(r, vt, map, static_cast<void**>(p));
        case VT_VARIANT: {
            VARTYPE inner = 0;
            HRESULT hr = DecodeVariant(r, map, depth + 1, static_cast<VARIANT*>(p), &inner);
            if (SUCCEEDED(hr) && inner) {
                VariantClear(static_cast<VARIANT*>(p));
                return kBad;  // a reference inside a value
            }
            return hr;
        }
        default:
            return kBad;
    }
}

HRESULT DecodeArray(CReader& r, VARTYPE elementVt, IRpcObjectMap* map, int depth,
                    SAFEARRAY** ppsa) {
    if (!IsArrayElementType(elementVt))
        return kBad;
    USHORT cDims = 0;
    if (!r.Get(&cDims) || cDims == 0 || cDims > 60)
        return kBad;
    std::vector<SAFEARRAYBOUND> bounds(cDims);
    std::uint64_t count = 1;
    for (auto& b : bounds) {
        if (!r.Get(&b.cElements) || !r.Get(&b.lLbound))
            return kBad;
        count *= b.cElements;
        // Every element takes at least one byte, so a count beyond the bytes left is a lie
        // (and refusing it here keeps a short frame from allocating a huge array).
        if (count > r.Left())
            return kBad;
    }
    SAFEARRAY* psa = SafeArrayCreate(elementVt, cDims, bounds.data());
    if (!psa)
        return kBad;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(psa, &data))) {
        SafeArrayDestroy(psa);
        return kBad;
    }
    BYTE* base = static_cast<BYTE*>(data);
    HRESULT hr = S_OK;
    for (std::uint64_t i = 0; i < count && SUCCEEDED(hr); ++i) {
        void* element = base + i * psa->cbElements;
        if (elementVt == VT_BSTR)
            hr = r.String(static_cast<BSTR*>(element)) ? S_OK : kBad;
        else
            hr = DecodeValue(r, elementVt, element, map, depth);
    }
    SafeArrayUnaccessData(psa);
    if (FAILED(hr)) {
        SafeArrayDestroy(psa);
        return hr;
    }
    *ppsa = psa;
    return S_OK;
}

// Decodes one VARIANT into `out` (which holds nothing). A by-reference value arrives
// as the value itself, with `*byref` set to the type it refers to; where by-reference
// values are not allowed, `byref` is null.
HRESULT DecodeVariant(CReader& r, IRpcObjectMap* map, int depth, VARIANT* out, VARTYPE* byref) {
    VariantInit(out);
    if (depth > kRpcMaxDepth)
        return kBad;
    VARTYPE vt = 0;
    if (!r.Get(&vt))
        return kBad;
    if (vt & VT_BYREF) {
        if (!byref)
            return kBad;
        *byref = vt & ~VT_BYREF;
        vt &= ~VT_BYREF;
        if (vt == VT_VARIANT)
            return DecodeValue(r, VT_VARIANT, out, map, depth);
        if (vt == VT_EMPTY || vt == VT_NULL)
            return kBad;
    } else if (byref) {
        *byref = 0;
    }
    if (vt & ~(VT_ARRAY | VT_TYPEMASK))
        return kBad;
    const VARTYPE base = vt & VT_TYPEMASK;
    HRESULT hr = S_OK;
    if (vt & VT_ARRAY) {
        hr = DecodeArray(r, base, map, depth + 1, &out->parray);
    } else if (base == VT_EMPTY || base == VT_NULL) {
        hr = S_OK;
    } else if (base == VT_BSTR) {
        BSTR s;
        if (!r.String(&s))
            return kBad;
        out->bstrVal = s.Detach();
    } else if (base == VT_DECIMAL) {
        hr = DecodeValue(r, base, &out->decVal, map, depth);
    } else if (VariantScalarSize(base) || base == VT_UNKNOWN || base == VT_DISPATCH) {
        hr = DecodeValue(r, base, &out->llVal, map, depth);
    } else {
        return kBad;
    }
    if (SUCCEEDED(hr))
        out->vt = vt;
    return hr;
}

void PutHeader(CWriter& w, RpcFrameType type) {
    w.Put<std::uint32_t>(kRpcMagic);
    w.Put<BYTE>(kRpcVersion);
    w.Put<BYTE>(static_cast<BYTE>(type));
    w.Put<WORD>(0);
    w.Put<std::uint32_t>(0);  // the body length, set by Finish
}

HRESULT Finish(std::vector<BYTE>& out, std::size_t start, HRESULT hr) {
    const std::size_t body = out.size() - start - kRpcHeaderSize;
    if (SUCCEEDED(hr) && CheckExpression(body > kRpcMaxBody))
        hr = E_INVALIDARG;
    if (FAILED(hr)) {
        out.resize(start);
        return hr;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(body);
    std::memcpy(out.data() + start + 8, &length, 4);
    return S_OK;
}

}  // namespace

HRESULT CRpcFrameCodec::EncodeCall(const RpcCallHeader& call, const VARIANT* rgArgs, UINT cArgs,
                                   const DISPID* rgNamed, UINT cNamed, IRpcObjectMap* map,
                                   std::vector<BYTE>& out) {
    if (CheckExpression((cArgs && !rgArgs) || (cNamed && !rgNamed)))
        return E_POINTER;
    const std::size_t start = out.size();
    try {
        CWriter w(out);
        PutHeader(w, RpcFrameType::Call);
        w.Put(call.callId);
        w.Put(call.objectId);
        w.Bytes(call.iid.ToBytes().data(), 16);
        w.Put(call.member);
        w.Put(call.kind);
        w.Put(call.lcid);
        w.Put<std::uint32_t>(cArgs);
        HRESULT hr = S_OK;
        for (UINT i = 0; i < cArgs && SUCCEEDED(hr); ++i)
            hr = EncodeVariant(w, rgArgs[i], map, 0);
        w.Put<std::uint32_t>(cNamed);
        for (UINT i = 0; i < cNamed; ++i)
            w.Put<DISPID>(rgNamed[i]);
        return Finish(out, start, hr);
    } catch (...) {
        out.resize(start);
        return ReportException("CRpcFrameCodec::EncodeCall", CV_HERE);
    }
}

HRESULT CRpcFrameCodec::EncodeReply(
    std::uint64_t callId, HRESULT hrCall, const VARIANT* result,
    const std::vector<std::pair<std::uint32_t, const VARIANT*>>& outs, const BSTR* source,
    const BSTR* description, IRpcObjectMap* map, std::vector<BYTE>& out) {
    const std::size_t start = out.size();
    try {
        CWriter w(out);
        PutHeader(w, RpcFrameType::Reply);
        w.Put(callId);
        w.Put(hrCall);
        CComVariant empty;
        HRESULT hr = EncodeVariant(w, result ? *result : empty, map, 0);
        w.Put<std::uint32_t>(static_cast<std::uint32_t>(outs.size()));
        for (const auto& [index, value] : outs) {
            if (FAILED(hr))
                break;
            w.Put<std::uint32_t>(index);
            hr = EncodeVariant(w, value ? *value : empty, map, 0);
        }
        const bool hasError = source || description;
        w.Put<BYTE>(hasError ? 1 : 0);
        if (hasError) {
            w.String(source ? *source : BSTR());
            w.String(description ? *description : BSTR());
        }
        return Finish(out, start, hr);
    } catch (...) {
        out.resize(start);
        return ReportException("CRpcFrameCodec::EncodeReply", CV_HERE);
    }
}

HRESULT CRpcFrameCodec::EncodeRelease(std::uint64_t objectId, std::uint32_t count,
                                      std::vector<BYTE>& out) {
    const std::size_t start = out.size();
    try {
        CWriter w(out);
        PutHeader(w, RpcFrameType::Release);
        w.Put(objectId);
        w.Put(count);
        return Finish(out, start, S_OK);
    } catch (...) {
        out.resize(start);
        return ReportException("CRpcFrameCodec::EncodeRelease", CV_HERE);
    }
}

HRESULT CRpcFrameCodec::ParseHeader(const BYTE* data, std::size_t size, std::size_t* frameSize) {
    if (size < kRpcHeaderSize)
        return S_FALSE;
    std::uint32_t magic = 0, length = 0;
    std::memcpy(&magic, data, 4);
    std::memcpy(&length, data + 8, 4);
    const BYTE type = data[5];
    if (magic != kRpcMagic || data[4] != kRpcVersion || data[6] != 0 || data[7] != 0 ||
        type < static_cast<BYTE>(RpcFrameType::Call) ||
        type > static_cast<BYTE>(RpcFrameType::Release) || length > kRpcMaxBody)
        return RPC_E_INVALID_DATA;
    *frameSize = kRpcHeaderSize + length;
    return S_OK;
}

HRESULT CRpcFrameCodec::Decode(const BYTE* data, std::size_t size, IRpcObjectMap* map,
                               RpcFrame* frame) {
    if (!data || !frame)
        return E_POINTER;
    try {
        std::size_t frameSize = 0;
        if (ParseHeader(data, size, &frameSize) != S_OK || frameSize != size)
            return kBad;
        CReader r(data + kRpcHeaderSize, size - kRpcHeaderSize);
        frame->type = static_cast<RpcFrameType>(data[5]);
        switch (frame->type) {
            case RpcFrameType::Call: {
                RpcCallFrame& c = frame->call;
                BYTE iid[16];
                std::uint32_t cArgs = 0, cNamed = 0;
                if (!r.Get(&c.callId) || !r.Get(&c.objectId) || !r.Bytes(iid, 16) ||
                    !r.Get(&c.member) || !r.Get(&c.kind) || !r.Get(&c.lcid) || !r.Get(&cArgs))
                    return kBad;
                c.iid = GUID::FromBytes(iid);
                if (cArgs > r.Left() / 2)
                    return kBad;
                c.args.clear();
                c.args.resize(cArgs);
                for (RpcArg& arg : c.args) {
                    VARIANT v;
                    HRESULT hr = DecodeVariant(r, map, 0, &v, &arg.byref);
                    if (FAILED(hr))
                        return hr;
                    arg.value.Attach(&v);
                }
                if (!r.Get(&cNamed) || cNamed > cArgs || cNamed > r.Left() / 4)
                    return kBad;
                c.named.resize(cNamed);
                for (DISPID& id : c.named)
                    if (!r.Get(&id))
                        return kBad;
                break;
            }
            case RpcFrameType::Reply: {
                RpcReplyFrame& p = frame->reply;
                std::uint32_t cOuts = 0;
                BYTE hasError = 0;
                VARIANT v;
                if (!r.Get(&p.callId) || !r.Get(&p.hr))
                    return kBad;
                HRESULT hr = DecodeVariant(r, map, 0, &v, nullptr);
                if (FAILED(hr))
                    return hr;
                p.result.Attach(&v);
                if (!r.Get(&cOuts) || cOuts > r.Left() / 6)
                    return kBad;
                p.outs.clear();
                p.outs.resize(cOuts);
                for (auto& [index, value] : p.outs) {
                    if (!r.Get(&index))
                        return kBad;
                    hr = DecodeVariant(r, map, 0, &v, nullptr);
                    if (FAILED(hr))
                        return hr;
                    value.Attach(&v);
                }
                if (!r.Get(&hasError) || hasError > 1)
                    return kBad;
                p.hasError = hasError != 0;
                p.source = BSTR();
                p.description = BSTR();
                if (p.hasError && (!r.String(&p.source) || !r.String(&p.description)))
                    return kBad;
                break;
            }
            case RpcFrameType::Release:
                if (!r.Get(&frame->release.objectId) || !r.Get(&frame->release.count))
                    return kBad;
                break;
        }
        return r.Left() == 0 ? S_OK : kBad;
    } catch (...) {
        return ReportException("CRpcFrameCodec::Decode", CV_HERE);
    }
}
