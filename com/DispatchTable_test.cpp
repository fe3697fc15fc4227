// A script object driven only through GetIDsOfNames and Invoke.
#include "com/DispatchTable.h"

#include <gtest/gtest.h>

#include "com/ErrorInfo.h"

namespace {

constexpr DISPID kAdd = 1, kName = 2, kSwap = 3, kFail = 4, kItem = 5, kChild = 6;

class CCounter : public CComObjectRoot<CCounter, IDispatchImpl<CCounter>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"ICounter",
                                          {
                                              DispGet<&CCounter::get_Value>(u"Value", DISPID_VALUE),
                                              DispPut<&CCounter::put_Value>(u"Value", DISPID_VALUE),
                                              DispMethod<&CCounter::Add>(u"Add", kAdd),
                                              DispGet<&CCounter::get_Name>(u"Name", kName),
                                              DispPut<&CCounter::put_Name>(u"Name", kName),
                                              DispMethod<&CCounter::Swap>(u"Swap", kSwap),
                                              DispMethod<&CCounter::Fail>(u"Fail", kFail),
                                              DispGet<&CCounter::get_Item>(u"Item", kItem),
                                              DispPut<&CCounter::put_Item>(u"Item", kItem),
                                              DispPutRef<&CCounter::putref_Child>(u"Child", kChild),
                                              DispGet<&CCounter::get_Child>(u"Child", kChild),
                                          });
        return table;
    }
    HRESULT get_Value(LONG* p) {
        *p = m_value;
        return S_OK;
    }
    HRESULT put_Value(LONG v) {
        m_value = v;
        return S_OK;
    }
    // Add(amount, [times]) returns the new value.
    HRESULT Add(LONG amount, std::optional<LONG> times, LONG* pResult) {
        m_value += amount * times.value_or(1);
        *pResult = m_value;
        return S_OK;
    }
    HRESULT get_Name(BSTR* p) {
        *p = m_name;
        return S_OK;
    }
    HRESULT put_Name(BSTR name) {
        m_name = std::move(name);
        return S_OK;
    }
    // Swap(a, b): exchanges two by-reference values (b is a Long).
    HRESULT Swap(ByRef<VARIANT> a, ByRef<LONG> b) {
        LONG oldB = *b;
        CComVariant asLong;
        if (FAILED(asLong.ChangeType(VT_I4, a.Get())))
            return DISP_E_TYPEMISMATCH;
        *b = asLong.lVal;
        VariantClear(a.Get());
        CComVariant(oldB).Detach(a.Get());
        return S_OK;
    }
    HRESULT Fail() { return ReportError(E_ACCESSDENIED, u"Counter", u"Not allowed here"); }
    // Item(index, [missing]) with an optional VARIANT that sees VT_ERROR when left out.
    HRESULT get_Item(LONG index, const VARIANT* extra, VARIANT* p) {
        m_sawMissing = extra->vt == VT_ERROR && extra->scode == DISP_E_PARAMNOTFOUND;
        return CComVariant(index * 2).Detach(p), S_OK;
    }
    HRESULT put_Item(LONG index, const VARIANT& value) {
        m_lastIndex = index;
        m_lastItem = value;
        return S_OK;
    }
    HRESULT putref_Child(IDispatch* child) {
        m_child = child;
        return S_OK;
    }
    HRESULT get_Child(IDispatch** p) {
        *p = m_child.Get();
        if (*p)
            (*p)->AddRef();
        return S_OK;
    }

    LONG m_value = 0;
    BSTR m_name;
    bool m_sawMissing = false;
    LONG m_lastIndex = 0;
    CComVariant m_lastItem;
    CComPtr<IDispatch> m_child;
};

class DispatchTest : public testing::Test {
protected:
    void SetUp() override { m_object = MakeObject<CCounter>(); }

    DISPID Id(const char16_t* name) {
        DISPID id = DISPID_UNKNOWN;
        EXPECT_EQ(m_object->GetIDsOfNames(GUID_NULL, &name, 1, LCID_EN_US, &id), S_OK);
        return id;
    }
    // Calls with the arguments in source order (they travel reversed).
    HRESULT Call(DISPID id, WORD flags, std::vector<CComVariant> args,
                 CComVariant* result = nullptr, EXCEPINFO* excep = nullptr,
                 UINT* argErr = nullptr) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
            params.rgdispidNamedArgs = &put;
            params.cNamedArgs = 1;
        }
        return m_object->Invoke(id, GUID_NULL, LCID_EN_US, flags, &params, result, excep, argErr);
    }

    CComPtr<CCounter> m_object;
};

TEST_F(DispatchTest, NamesResolveCaseInsensitively) {
    EXPECT_EQ(Id(u"add"), kAdd);
    EXPECT_EQ(Id(u"VALUE"), DISPID_VALUE);
    const char16_t* unknown = u"Subtract";
    DISPID id = 0;
    EXPECT_EQ(m_object->GetIDsOfNames(GUID_NULL, &unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    CComPtr<ITypeInfo> info;
    ASSERT_EQ(m_object->GetTypeInfo(0, 0, info.Receive()), S_OK);
    BSTR name;
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(name.View(), u"ICounter");
}

TEST_F(DispatchTest, PropertiesAndMethodsByName) {
    ASSERT_EQ(Call(Id(u"value"), DISPATCH_PROPERTYPUT, {CComVariant(u"41")}), S_OK);
    CComVariant result;
    ASSERT_EQ(Call(Id(u"Add"), DISPATCH_METHOD | DISPATCH_PROPERTYGET, {CComVariant(1.4)}, &result),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 42);
    ASSERT_EQ(Call(kAdd, DISPATCH_METHOD,
                   {CComVariant(static_cast<LONG>(2)), CComVariant(static_cast<LONG>(3))}, &result),
              S_OK);
    EXPECT_EQ(result.lVal, 48);
    // An optional argument passed as "missing" counts as left out.
    ASSERT_EQ(Call(kAdd, DISPATCH_METHOD,
                   {CComVariant(static_cast<LONG>(1)), CComVariant::Error(DISP_E_PARAMNOTFOUND)},
                   &result),
              S_OK);
    EXPECT_EQ(result.lVal, 49);
    ASSERT_EQ(Call(DISPID_VALUE, DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.lVal, 49);

    // The null string survives the trip through dispatch.
    ASSERT_EQ(Call(kName, DISPATCH_PROPERTYPUT, {CComVariant(BSTR())}), S_OK);
    ASSERT_EQ(Call(kName, DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_TRUE(result.Bstr().IsNull());

    // Indexed property: index arguments first, the value as DISPID_PROPERTYPUT.
    ASSERT_EQ(
        Call(kItem, DISPATCH_PROPERTYPUT, {CComVariant(static_cast<LONG>(3)), CComVariant(u"x")}),
        S_OK);
    EXPECT_EQ(m_object->m_lastIndex, 3);
    EXPECT_EQ(m_object->m_lastItem.Text(), u"x");
    ASSERT_EQ(Call(kItem, DISPATCH_PROPERTYGET, {CComVariant(static_cast<LONG>(5))}, &result),
              S_OK);
    EXPECT_EQ(result.lVal, 10);
    EXPECT_TRUE(m_object->m_sawMissing);
}

TEST_F(DispatchTest, WrongCallsAreRefused) {
    CComVariant result;
    UINT argErr = 99;
    EXPECT_EQ(Call(kAdd, DISPATCH_METHOD, {CComVariant(u"many"), CComVariant(static_cast<LONG>(1))},
                   &result, nullptr, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 1u);  // rgvarg index of the first argument
    EXPECT_EQ(Call(kAdd, DISPATCH_METHOD, {}, &result), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(kAdd, DISPATCH_METHOD, {CComVariant(1.0), CComVariant(1.0), CComVariant(1.0)},
                   &result),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(kAdd, DISPATCH_METHOD, {CComVariant::Error(DISP_E_PARAMNOTFOUND)}, &result),
              DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(Call(kAdd, DISPATCH_PROPERTYPUT, {CComVariant(1.0)}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(kName, DISPATCH_METHOD, {}, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(77, DISPATCH_METHOD, {}, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(DISPID_VALUE, DISPATCH_PROPERTYPUT, {CComVariant(u"not a number")}),
              DISP_E_TYPEMISMATCH);
    // A put without the DISPID_PROPERTYPUT named argument.
    CComVariant value(1.0);
    DISPPARAMS bare{&value, nullptr, 1, 0};
    EXPECT_EQ(m_object->Invoke(DISPID_VALUE, GUID_NULL, 0, DISPATCH_PROPERTYPUT, &bare, nullptr,
                               nullptr, nullptr),
              DISP_E_PARAMNOTFOUND);
    // Named arguments on a method.
    DISPID named = 5;
    DISPPARAMS withNames{&value, &named, 1, 1};
    EXPECT_EQ(m_object->Invoke(kAdd, GUID_NULL, 0, DISPATCH_METHOD, &withNames, nullptr, nullptr,
                               nullptr),
              DISP_E_NONAMEDARGS);
}

TEST_F(DispatchTest, ByReferenceArgumentsAreWrittenBack) {
    LONG number = 5;
    BSTR text(u"five");
    CComVariant a, b;
    a.vt = VT_I4 | VT_BYREF;
    a.plVal = &number;
    b.vt = VT_BSTR | VT_BYREF;
    b.pbstrVal = &text;
    ASSERT_EQ(Call(kSwap, DISPATCH_METHOD, {a, b}), DISP_E_TYPEMISMATCH);  // "five" is no Long
    text = BSTR(u"6");
    ASSERT_EQ(Call(kSwap, DISPATCH_METHOD, {a, b}), S_OK);
    EXPECT_EQ(number, 6);
    EXPECT_EQ(text.View(), u"5");
}

TEST_F(DispatchTest, FailuresCarryErrorInformation) {
    EXCEPINFO excep;
    EXPECT_EQ(Call(kFail, DISPATCH_METHOD, {}, nullptr, &excep), DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_ACCESSDENIED);
    EXPECT_EQ(excep.bstrSource.View(), u"Counter");
    EXPECT_EQ(excep.bstrDescription.View(), u"Not allowed here");
    // Without an EXCEPINFO the status comes back as it is.
    EXPECT_EQ(Call(kFail, DISPATCH_METHOD, {}), E_ACCESSDENIED);
    CComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Receive()), S_OK);
    EXPECT_EQ(GetErrorInfo(0, info.Receive()), S_FALSE);  // taken once
}

TEST_F(DispatchTest, ObjectsByPutRef) {
    CComPtr<CCounter> child = MakeObject<CCounter>();
    CComVariant object(static_cast<IDispatch*>(child.Get())), result;
    ASSERT_EQ(Call(kChild, DISPATCH_PROPERTYPUTREF, {object}), S_OK);
    ASSERT_EQ(Call(kChild, DISPATCH_PROPERTYGET, {}, &result), S_OK);
    ASSERT_EQ(result.vt, VT_DISPATCH);
    EXPECT_EQ(result.pdispVal, static_cast<IDispatch*>(child.Get()));
    EXPECT_EQ(Call(kChild, DISPATCH_PROPERTYPUTREF, {CComVariant(1.0)}), DISP_E_TYPEMISMATCH);
    result.Clear();
    object.Clear();
    m_object->m_child = nullptr;
    EXPECT_EQ(child->RefCount(), 1u);
}

}  // namespace
