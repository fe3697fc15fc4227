// Tests of the frame codec: every VARIANT kind round trips, and damaged bytes are refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "com/SafeArray.h"
#include "rpc/RpcFrame.h"

namespace {

class CThing : public CComObjectRoot<CThing, IUnknown> {};

// Objects become indices into a list and back, as a connection's export table would.
class CListMap : public IRpcObjectMap {
public:
    HRESULT MarshalObject(IUnknown* punk, RpcObjectRef* ref) override {
        objects.push_back(punk);
        ref->kind = RpcObjectRef::SenderObject;
        ref->id = objects.size();
        return S_OK;
    }
    HRESULT UnmarshalObject(const RpcObjectRef& ref, VARTYPE, void** ppv) override {
        if (ref.id == 0 || ref.id > objects.size())
            return E_INVALIDARG;
        return objects[ref.id - 1]->QueryInterface(IIDOf<IUnknown>(), ppv);
    }
    std::vector<CComPtr<IUnknown>> objects;
};

bool Same(const VARIANT& a, const VARIANT& b);

bool SameArray(SAFEARRAY* a, SAFEARRAY* b) {
    if (a->cDims != b->cDims || a->vt != b->vt)
        return false;
    std::size_t count = 1;
    for (UINT d = 0; d < a->cDims; ++d) {
        if (a->bounds[d].cElements != b->bounds[d].cElements ||
            a->bounds[d].lLbound != b->bounds[d].lLbound)
            return false;
        count *= a->bounds[d].cElements;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const BYTE* pa = static_cast<BYTE*>(a->pvData) + i * a->cbElements;
        const BYTE* pb = static_cast<BYTE*>(b->pvData) + i * b->cbElements;
        if (a->vt == VT_VARIANT) {
            if (!Same(*reinterpret_cast<const VARIANT*>(pa), *reinterpret_cast<const VARIANT*>(pb)))
                return false;
        } else if (a->vt == VT_BSTR) {
            auto& sa = *reinterpret_cast<const BSTR*>(pa);
            auto& sb = *reinterpret_cast<const BSTR*>(pb);
            if (sa.IsNull() != sb.IsNull() || sa != sb)
                return false;
        } else if (std::memcmp(pa, pb, a->cbElements) != 0) {
            return false;
        }
    }
    return true;
}

bool Same(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt)
        return false;
    if (a.vt & VT_ARRAY)
        return SameArray(a.parray, b.parray);
    switch (a.vt) {
        case VT_EMPTY:
        case VT_NULL:
            return true;
        case VT_BSTR:
            return (a.bstrVal == nullptr) == (b.bstrVal == nullptr) &&
                   VariantText(a) == VariantText(b);
        case VT_DECIMAL:
            return a.decVal.scale == b.decVal.scale && a.decVal.sign == b.decVal.sign &&
                   a.decVal.Hi32 == b.decVal.Hi32 && a.decVal.Lo64 == b.decVal.Lo64;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return a.punkVal == b.punkVal;
        default: {
            // Only the type's own width travels.
            const std::size_t width = a.vt == VT_I1 || a.vt == VT_UI1                      ? 1
                                      : a.vt == VT_I2 || a.vt == VT_UI2 || a.vt == VT_BOOL ? 2
                                      : a.vt == VT_I8 || a.vt == VT_UI8 || a.vt == VT_R8 ||
                                              a.vt == VT_CY || a.vt == VT_DATE
                                          ? 8
                                          : 4;
            return std::memcmp(&a.llVal, &b.llVal, width) == 0;
        }
    }
}

CComVariant Array2D() {
    SAFEARRAYBOUND bounds[2] = {{2, 1}, {3, -1}};
    SAFEARRAY* psa = SafeArrayCreate(VT_VARIANT, 2, bounds);
    LONG idx[2] = {1, -1};
    CComVariant text(u"a"), number(LONG(7));
    SafeArrayPutElement(psa, idx, &text);
    idx[0] = 2;
    idx[1] = 1;
    SafeArrayPutElement(psa, idx, &number);
    CComVariant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = psa;
    return v;
}

CComVariant StringVector() {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 3);
    LONG i = 0;
    BSTR s(u"x");
    SafeArrayPutElement(psa, &i, &s);
    i = 2;
    BSTR e = BSTR::Empty();
    SafeArrayPutElement(psa, &i, &e);
    CComVariant v;
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = psa;
    return v;
}

CComVariant IntVector(ULONG n) {
    CComVariant v;
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, n);
    return v;
}

CComVariant Decimal() {
    CComVariant v;
    v.decVal.scale = 4;
    v.decVal.sign = DECIMAL_NEG;
    v.decVal.Hi32 = 0x12345678;
    v.decVal.Lo64 = 0x9ABCDEF012345678ull;
    v.vt = VT_DECIMAL;
    return v;
}

RpcFrame RoundTrip(std::vector<CComVariant>& args, CListMap& map, std::vector<BYTE>* bytes) {
    RpcCallHeader header{
        42, 7, MakeGUID("{ED165CEB-681D-4759-97B5-900F6FA80955}"), 5, DISPATCH_METHOD, 1033};
    std::vector<BYTE> out;
    DISPID named = DISPID_PROPERTYPUT;
    EXPECT_EQ(S_OK, CRpcFrameCodec::EncodeCall(header, args.data(), static_cast<UINT>(args.size()),
                                               &named, 1, &map, out));
    RpcFrame frame;
    EXPECT_EQ(S_OK, CRpcFrameCodec::Decode(out.data(), out.size(), &map, &frame));
    if (bytes)
        *bytes = out;
    return frame;
}

TEST(RpcFrameCodec, EveryVariantKindRoundTrips) {
    auto thing = MakeObject<CThing>();
    const std::vector<std::pair<const char*, CComVariant>> table = {
        {"empty", CComVariant()},
        {"null", CComVariant::Null()},
        {"i1", CComVariant::Of(VT_I1, -5)},
        {"ui1", CComVariant(BYTE(200))},
        {"i2", CComVariant(SHORT(-300))},
        {"ui2", CComVariant::Of(VT_UI2, 65000)},
        {"i4", CComVariant(LONG(-70000))},
        {"ui4", CComVariant::Of(VT_UI4, 4000000000ll)},
        {"int", CComVariant::Of(VT_INT, 12)},
        {"uint", CComVariant::Of(VT_UINT, 13)},
        {"i8", CComVariant(LONGLONG(-1) << 40)},
        {"ui8", CComVariant::Of(VT_UI8, 0x7FFFFFFFFFFFFFFFll)},
        {"r4", CComVariant(1.5f)},
        {"r8", CComVariant(-2.25)},
        {"cy", CComVariant::Currency(123456789)},
        {"date", CComVariant::Date(45000.5)},
        {"bool", CComVariant(true)},
        {"error", CComVariant::Error(DISP_E_PARAMNOTFOUND)},
        {"decimal", Decimal()},
        {"string", CComVariant(u"h\u00e9llo \U0001F600")},
        {"empty string", CComVariant(BSTR::Empty())},
        {"null string", CComVariant(BSTR())},
        {"unknown", CComVariant(static_cast<IUnknown*>(thing.Get()))},
        {"null object", CComVariant(static_cast<IUnknown*>(nullptr))},
        {"2-d variant array", Array2D()},
        {"string vector", StringVector()},
        {"empty vector", IntVector(0)},
    };
    for (const auto& [name, value] : table) {
        SCOPED_TRACE(name);
        CListMap map;
        std::vector<CComVariant> args{value};
        RpcFrame frame = RoundTrip(args, map, nullptr);
        ASSERT_EQ(RpcFrameType::Call, frame.type);
        ASSERT_EQ(1u, frame.call.args.size());
        EXPECT_EQ(0, frame.call.args[0].byref);
        EXPECT_TRUE(Same(value, frame.call.args[0].value));
        EXPECT_EQ(42u, frame.call.callId);
        EXPECT_EQ(7u, frame.call.objectId);
        EXPECT_EQ(DISPATCH_METHOD, frame.call.kind);
        EXPECT_EQ(std::vector<DISPID>{DISPID_PROPERTYPUT}, frame.call.named);
    }
}

TEST(RpcFrameCodec, ByRefArgumentsTravelAsValuesWithTheirType) {
    LONG number = 5;
    BSTR text(u"t");
    CComVariant inner(2.5);
    std::vector<CComVariant> args(3);
    args[0].vt = VT_I4 | VT_BYREF;
    args[0].plVal = &number;
    args[1].vt = VT_BSTR | VT_BYREF;
    args[1].pbstrVal = &text;
    args[2].vt = VT_VARIANT | VT_BYREF;
    args[2].pvarVal = &inner;
    CListMap map;
    RpcFrame frame = RoundTrip(args, map, nullptr);
    for (auto& a : args)
        VariantInit(&a);  // the references are not owned
    ASSERT_EQ(3u, frame.call.args.size());
    EXPECT_EQ(VT_I4, frame.call.args[0].byref);
    EXPECT_EQ(5, frame.call.args[0].value.lVal);
    EXPECT_EQ(VT_BSTR, frame.call.args[1].byref);
    EXPECT_EQ(u"t", frame.call.args[1].value.Text());
    EXPECT_EQ(VT_VARIANT, frame.call.args[2].byref);
    EXPECT_EQ(2.5, frame.call.args[2].value.dblVal);
}

TEST(RpcFrameCodec, ReplyCarriesStatusOutValuesAndErrorInfo) {
    CComVariant result(u"r"), out(LONG(9));
    BSTR source(u"Src"), description;
    std::vector<BYTE> bytes;
    ASSERT_EQ(S_OK, CRpcFrameCodec::EncodeReply(3, E_ACCESSDENIED, &result, {{1u, &out}}, &source,
                                                &description, nullptr, bytes));
    RpcFrame frame;
    ASSERT_EQ(S_OK, CRpcFrameCodec::Decode(bytes.data(), bytes.size(), nullptr, &frame));
    ASSERT_EQ(RpcFrameType::Reply, frame.type);
    EXPECT_EQ(E_ACCESSDENIED, frame.reply.hr);
    EXPECT_EQ(u"r", frame.reply.result.Text());
    ASSERT_EQ(1u, frame.reply.outs.size());
    EXPECT_EQ(1u, frame.reply.outs[0].first);
    EXPECT_EQ(9, frame.reply.outs[0].second.lVal);
    EXPECT_TRUE(frame.reply.hasError);
    EXPECT_EQ(u"Src", frame.reply.source.View());
    EXPECT_TRUE(frame.reply.description.IsNull());

    bytes.clear();
    ASSERT_EQ(S_OK, CRpcFrameCodec::EncodeRelease(11, 2, bytes));
    ASSERT_EQ(S_OK, CRpcFrameCodec::Decode(bytes.data(), bytes.size(), nullptr, &frame));
    EXPECT_EQ(RpcFrameType::Release, frame.type);
    EXPECT_EQ(11u, frame.release.objectId);
    EXPECT_EQ(2u, frame.release.count);
}

TEST(RpcFrameCodec, TruncatedFramesAreRefused) {
    std::vector<CComVariant> args{Array2D(), StringVector(), Decimal(), CComVariant(u"abc")};
    CListMap map;
    std::vector<BYTE> bytes;
    RoundTrip(args, map, &bytes);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        RpcFrame frame;
        EXPECT_EQ(RPC_E_INVALID_DATA, CRpcFrameCodec::Decode(bytes.data(), n, &map, &frame)) << n;
        // A frame whose length field is shortened to match is refused as well.
        std::vector<BYTE> cut(bytes.begin(), bytes.begin() + n);
        if (n >= kRpcHeaderSize) {
            std::uint32_t length = static_cast<std::uint32_t>(n - kRpcHeaderSize);
            std::memcpy(cut.data() + 8, &length, 4);
            EXPECT_EQ(RPC_E_INVALID_DATA, CRpcFrameCodec::Decode(cut.data(), n, &map, &frame)) << n;
        }
    }
}

TEST(RpcFrameCodec, BadHeadersAndLiesAreRefused) {
    std::vector<BYTE> bytes;
    ASSERT_EQ(S_OK, CRpcFrameCodec::EncodeRelease(1, 1, bytes));
    std::size_t size = 0;
    EXPECT_EQ(S_FALSE, CRpcFrameCodec::ParseHeader(bytes.data(), 11, &size));
    const std::vector<std::pair<const char*, std::function<void(std::vector<BYTE>&)>>> damage = {
        {"magic", [](auto& b) { b[0] ^= 1; }},
        {"version", [](auto& b) { b[4] = 2; }},
        {"type", [](auto& b) { b[5] = 9; }},
        {"reserved", [](auto& b) { b[6] = 1; }},
        {"oversized",
         [](auto& b) {
             std::uint32_t huge = kRpcMaxBody + 1;
             std::memcpy(b.data() + 8, &huge, 4);
         }},
    };
    for (const auto& [name, change] : damage) {
        SCOPED_TRACE(name);
        auto copy = bytes;
        change(copy);
        EXPECT_EQ(RPC_E_INVALID_DATA, CRpcFrameCodec::ParseHeader(copy.data(), copy.size(), &size));
    }
    // An array claiming more elements than the frame has bytes is refused before it is
    // allocated.
    std::vector<CComVariant> args{IntVector(4)};
    CListMap map;
    std::vector<BYTE> call;
    RoundTrip(args, map, &call);
    // From the end: the named DISPID, its count, the data, the lower bound, the count.
    const std::size_t countAt = call.size() - 4 - 4 - 16 - 4 - 4;
    std::uint32_t lie = 0x40000000;
    std::memcpy(call.data() + countAt, &lie, 4);
    RpcFrame frame;
    EXPECT_EQ(RPC_E_INVALID_DATA, CRpcFrameCodec::Decode(call.data(), call.size(), &map, &frame));
}

TEST(RpcFrameCodec, GarbageNeverDecodesIntoNonsense) {
    std::uint32_t seed = 12345;
    CListMap map;
    map.objects.push_back(MakeObject<CThing>().Get());
    for (int round = 0; round < 2000; ++round) {
        std::vector<CComVariant> args{Array2D(), CComVariant(u"s"), Decimal()};
        std::vector<BYTE> bytes;
        RoundTrip(args, map, &bytes);
        for (int flips = 0; flips < 3; ++flips) {
            seed = seed * 1103515245 + 12345;
            bytes[kRpcHeaderSize + (seed >> 8) % (bytes.size() - kRpcHeaderSize)] ^=
                static_cast<BYTE>(seed >> 24 | 1);
        }
        RpcFrame frame;
        HRESULT hr = CRpcFrameCodec::Decode(bytes.data(), bytes.size(), &map, &frame);
        EXPECT_TRUE(hr == S_OK || hr == RPC_E_INVALID_DATA);
    }
}

}  // namespace
