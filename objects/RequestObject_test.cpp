// Tests of the Request object and its dictionaries, filled from parsed requests: how
// query strings and forms split and decode (UTF-8 and legacy bytes), lookups, keys,
// enumeration, and the members that are not offered.
#include "objects/RequestObject.h"

#include <gtest/gtest.h>

#include "idl/DispatchIds.h"
#include "objects/CollectionsTestSupport.h"
#include "objects/StringList.h"

namespace {

using collections_test::Call;
using collections_test::Drain;

// A parsed local request and the Request object made from it.
struct ParsedRequest {
    explicit ParsedRequest(const std::string& text, bool bWithBody = true)
        : request(nullptr, true, 8080) {
        bool bMore = true;
        EXPECT_EQ(S_OK, request.Parse(text, "127.0.0.1:8080", true, &bMore));
        EXPECT_FALSE(bMore);
        ptrObject = MakeObject<CRequestObject>();
        hrInit = ptrObject->Init(&request, bWithBody ? &request.GetBody() : nullptr);
    }
    CHTTPRequest request;
    CComPtr<CRequestObject> ptrObject;
    HRESULT hrInit = E_FAIL;
};

std::string Get(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n";
}

std::string Post(const std::string& contentType, const std::string& body) {
    return "POST /form.asp HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

CComPtr<IRequestDictionary> QueryString(CRequestObject* pObject) {
    CComPtr<IRequestDictionary> ptrDict;
    EXPECT_EQ(S_OK, pObject->get_QueryString(ptrDict.Receive()));
    return ptrDict;
}

CComPtr<IRequestDictionary> Form(CRequestObject* pObject) {
    CComPtr<IRequestDictionary> ptrDict;
    EXPECT_EQ(S_OK, pObject->get_Form(ptrDict.Receive()));
    return ptrDict;
}

// A dictionary's value for a name as text: a string as it is, a string list as its
// items joined with "|", nothing as "<empty>".
std::u16string Lookup(IRequestDictionary* pDict, std::u16string_view name) {
    CComVariant var;
    EXPECT_EQ(S_OK, pDict->get_Item(CComVariant(name), &var));
    if (var.vt == VT_EMPTY)
        return u"<empty>";
    if (var.vt == VT_BSTR)
        return std::u16string(var.Text());
    EXPECT_EQ(VT_DISPATCH, var.vt);
    CComPtr<IStringList> ptrList = ComQuery<IStringList>(var.pdispVal);
    if (!ptrList)
        return u"<object>";
    LONG nCount = 0;
    EXPECT_EQ(S_OK, ptrList->get_Count(&nCount));
    std::u16string joined;
    for (LONG i = 1; i <= nCount; ++i) {
        CComVariant varItem;
        EXPECT_EQ(S_OK, ptrList->get_Item(i, &varItem));
        joined += (i > 1 ? u"|" : u"") + std::u16string(varItem.Text());
    }
    return joined;
}

LONG Count(IRequestDictionary* pDict) {
    LONG n = -1;
    EXPECT_EQ(S_OK, pDict->get_Count(&n));
    return n;
}

std::u16string Whole(IRequestDictionary* pDict) {
    CComVariant var;
    EXPECT_EQ(S_OK, pDict->get_Item(CComVariant::Error(DISP_E_PARAMNOTFOUND), &var));
    EXPECT_EQ(VT_BSTR, var.vt);
    return std::u16string(var.Text());
}

TEST(RequestObjectTest, QueryStringsSplitAndDecode) {
    struct Case {
        const char* target;
        LONG count;
        std::vector<std::pair<std::u16string_view, std::u16string_view>> lookups;
    } const cases[] = {
        {"/p?a=1&b=2&a=3", 2, {{u"a", u"1|3"}, {u"b", u"2"}, {u"A", u"<empty>"}}},
        {"/p?flag&a=&&b==x", 2, {{u"flag", u"<empty>"}, {u"a", u""}, {u"b", u"=x"}}},
        {"/p?a%20b=c%2Bd", 1, {{u"a b", u"c+d"}, {u"a%20b", u"<empty>"}}},
        {"/p?a+b=c+d", 1, {{u"a+b", u"c+d"}, {u"a b", u"<empty>"}}},
        {"/p?x=%4&y=%zz1&z=100%", 3, {{u"x", u"%4"}, {u"y", u"%zz1"}, {u"z", u"100%"}}},
        {"/p?=nameless&k=%3D%26", 2, {{u"", u"nameless"}, {u"k", u"=&"}}},
        {"/p??a=1", 1, {{u"a", u"1"}}},
        {"/p", 0, {{u"a", u"<empty>"}}},
        {"/p?", 0, {}},
        // UTF-8, encoded and as sent.
        {"/p?n%C3%A4me=%E2%82%AC&r=\xC3\xA9t\xC3\xA9",
         2,
         {{u"n\u00E4me", u"\u20AC"}, {u"r", u"\u00E9t\u00E9"}}},
        // Bytes of a legacy code page (windows-1252 "été") are not UTF-8.
        {"/p?w=%E9t%E9", 1, {{u"w", u"\uFFFDt\uFFFD"}}},
    };
    for (const Case& c : cases) {
        ParsedRequest parsed(Get(c.target));
        ASSERT_EQ(S_OK, parsed.hrInit) << c.target;
        CComPtr<IRequestDictionary> ptrDict = QueryString(parsed.ptrObject.Get());
        ASSERT_TRUE(ptrDict) << c.target;
        EXPECT_EQ(c.count, Count(ptrDict.Get())) << c.target;
        for (const auto& [name, value] : c.lookups)
            EXPECT_EQ(value, Lookup(ptrDict.Get(), name)) << c.target;
    }
}

TEST(RequestObjectTest, ItemWithoutArgumentIsTheWholeUndecodedText) {
    ParsedRequest parsed(Get("/p?a%20b=c%2Bd&w=%E9&a+b=1"));
    ASSERT_EQ(S_OK, parsed.hrInit);
    CComPtr<IRequestDictionary> ptrDict = QueryString(parsed.ptrObject.Get());
    EXPECT_EQ(u"a%20b=c%2Bd&w=%E9&a+b=1", Whole(ptrDict.Get()));

    // The same through IDispatch, as `Request.QueryString` reads it as a value.
    CComVariant var;
    ASSERT_EQ(S_OK,
              Call(ptrDict.Get(), DISPID_IREQUESTDICTIONARY_ITEM, DISPATCH_PROPERTYGET, {}, &var));
    EXPECT_EQ(u"a%20b=c%2Bd&w=%E9&a+b=1", var.Text());

    ParsedRequest empty(Get("/p"));
    EXPECT_EQ(u"", Whole(QueryString(empty.ptrObject.Get()).Get()));
}

TEST(RequestObjectTest, KeysFollowSortOrderAndEnumerationGivesValues) {
    ParsedRequest parsed(Get("/p?zeta=1&Alpha=2&beta=3&alpha=4&beta=5"));
    ASSERT_EQ(S_OK, parsed.hrInit);
    CComPtr<IRequestDictionary> ptrDict = QueryString(parsed.ptrObject.Get());
    IDispatch* pDisp = ptrDict.Get();

    // The locale's order, upper case after lower case of the same letters.
    struct KeyCase {
        CComVariant index;
        HRESULT hr;
        std::u16string_view key;
    } const keys[] = {
        {CComVariant(LONG{1}), S_OK, u"alpha"},
        {CComVariant(LONG{2}), S_OK, u"Alpha"},
        {CComVariant(u"3"), S_OK, u"beta"},
        {CComVariant(LONG{4}), S_OK, u"zeta"},
        {CComVariant(LONG{0}), S_OK, u"<empty>"},
        {CComVariant(LONG{5}), S_OK, u"<empty>"},
        {CComVariant(u"one"), DISP_E_TYPEMISMATCH, u""},
    };
    for (const KeyCase& c : keys) {
        CComVariant var;
        EXPECT_EQ(c.hr, Call(pDisp, DISPID_IREQUESTDICTIONARY_KEY, DISPATCH_PROPERTYGET, {c.index},
                             &var));
        if (SUCCEEDED(c.hr)) {
            EXPECT_EQ(c.key, var.vt == VT_EMPTY ? u"<empty>" : var.Text());
        }
    }

    CComVariant varEnum;
    ASSERT_EQ(S_OK,
              Call(pDisp, DISPID_IREQUESTDICTIONARY_NEWENUM, DISPATCH_PROPERTYGET, {}, &varEnum));
    const std::vector<CComVariant> values = Drain(varEnum.punkVal);
    ASSERT_EQ(4u, values.size());
    EXPECT_EQ(u"4", values[0].Text());
    EXPECT_EQ(u"2", values[1].Text());
    EXPECT_EQ(VT_DISPATCH, values[2].vt);  // beta: the list of 3 and 5
    EXPECT_EQ(u"1", values[3].Text());
}

TEST(RequestObjectTest, LookupsTakeStringsOnly) {
    ParsedRequest parsed(Get("/p?1=one&a=x"));
    ASSERT_EQ(S_OK, parsed.hrInit);
    CComPtr<IRequestDictionary> ptrDict = QueryString(parsed.ptrObject.Get());
    struct Case {
        CComVariant key;
        std::u16string_view value;
    } const cases[] = {
        {CComVariant(u"1"), u"one"},
        {CComVariant(LONG{1}), u"<empty>"},  // a number names no field
        {CComVariant(), u"<empty>"},
        {CComVariant::Null(), u"<empty>"},
    };
    for (const Case& c : cases) {
        CComVariant var(u"stale");
        ASSERT_EQ(S_OK, ptrDict->get_Item(c.key, &var));
        EXPECT_EQ(c.value, var.vt == VT_EMPTY ? u"<empty>" : var.Text());
    }
    // A reference to a string, as an engine passes a variable.
    CComVariant varName(u"a");
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_VARIANT;
    byRef.pvarVal = &varName;
    CComVariant var;
    ASSERT_EQ(S_OK, ptrDict->get_Item(byRef, &var));
    EXPECT_EQ(u"x", var.Text());

    EXPECT_EQ(E_POINTER, ptrDict->get_Item(varName, nullptr));
    EXPECT_EQ(E_POINTER, ptrDict->get_Count(nullptr));
    EXPECT_EQ(E_POINTER, ptrDict->get_Key(varName, nullptr));
    EXPECT_EQ(E_POINTER, ptrDict->get__NewEnum(nullptr));
}

TEST(RequestObjectTest, FormIsReadOnlyFromAUrlEncodedBody) {
    struct Case {
        std::string contentType;
        bool bWithBody;
        bool bForm;
    } const cases[] = {
        {"application/x-www-form-urlencoded", true, true},
        {"application/x-www-form-urlencoded; charset=UTF-8", true, false},
        {"Application/X-WWW-Form-Urlencoded", true, false},
        {"multipart/form-data; boundary=x", true, false},
        {"application/x-www-form-urlencoded", false, false},
    };
    for (const Case& c : cases) {
        ParsedRequest parsed(Post(c.contentType, "name=J%C3%BCrgen&tag=a&tag=b"), c.bWithBody);
        ASSERT_EQ(S_OK, parsed.hrInit) << c.contentType;
        CComPtr<IRequestDictionary> ptrForm = Form(parsed.ptrObject.Get());
        EXPECT_EQ(c.bForm, static_cast<bool>(ptrForm)) << c.contentType;
        if (ptrForm) {
            EXPECT_EQ(u"J\u00FCrgen", Lookup(ptrForm.Get(), u"name"));
            EXPECT_EQ(u"a|b", Lookup(ptrForm.Get(), u"tag"));
            EXPECT_EQ(u"name=J%C3%BCrgen&tag=a&tag=b", Whole(ptrForm.Get()));
        }
        // Through IDispatch a missing form is Nothing.
        CComVariant var;
        ASSERT_EQ(S_OK, Call(parsed.ptrObject.Get(), DISPID_IREQUEST_FORM, DISPATCH_PROPERTYGET, {},
                             &var));
        EXPECT_EQ(VT_DISPATCH, var.vt);
        EXPECT_EQ(c.bForm, var.pdispVal != nullptr);
    }

    // A form from a page in a legacy code page: the decoded value shows where its bytes
    // were not UTF-8, and the undecoded text keeps them.
    ParsedRequest legacy(Post("application/x-www-form-urlencoded", "city=M%FCnchen"));
    CComPtr<IRequestDictionary> ptrForm = Form(legacy.ptrObject.Get());
    ASSERT_TRUE(ptrForm);
    EXPECT_EQ(u"M\uFFFDnchen", Lookup(ptrForm.Get(), u"city"));
    EXPECT_EQ(u"city=M%FCnchen", Whole(ptrForm.Get()));
}

TEST(RequestObjectTest, MembersNotOfferedAnswerNotImplemented) {
    ParsedRequest parsed(Get("/p?a=1"));
    ASSERT_EQ(S_OK, parsed.hrInit);
    IDispatch* pDisp = parsed.ptrObject.Get();
    struct Case {
        DISPID dispid;
        WORD wFlags;
        std::vector<CComVariant> args;
    } const cases[] = {
        {DISPID_IREQUEST_ITEM, DISPATCH_PROPERTYGET, {CComVariant(u"a")}},
        {DISPID_IREQUEST_SERVERVARIABLES, DISPATCH_PROPERTYGET, {}},
        {DISPID_IREQUEST_CLIENTCERTIFICATE, DISPATCH_PROPERTYGET, {}},
        {DISPID_IREQUEST_COOKIES, DISPATCH_PROPERTYGET, {}},
        {DISPID_IREQUEST_TOTALBYTES, DISPATCH_PROPERTYGET, {}},
        {DISPID_IREQUEST_BINARYREAD, DISPATCH_METHOD, {CComVariant(LONG{10})}},
    };
    for (const Case& c : cases) {
        CComVariant var(u"untouched");
        EXPECT_EQ(E_NOTIMPL, Call(pDisp, c.dispid, c.wFlags, c.args, &var)) << c.dispid;
    }
    LONG nTotal = 42;
    EXPECT_EQ(E_NOTIMPL, parsed.ptrObject->get_TotalBytes(&nTotal));
    EXPECT_EQ(42, nTotal);

    // Names resolve to the fixed ids.
    const char16_t* names[] = {u"querystring"};
    DISPID dispid = DISPID_UNKNOWN;
    ASSERT_EQ(S_OK, pDisp->GetIDsOfNames(GUID_NULL, names, 1, 0, &dispid));
    EXPECT_EQ(DISPID_IREQUEST_QUERYSTRING, dispid);
}

TEST(RequestObjectTest, InterfacesMarkerAndInitialisation) {
    CComPtr<CRequestObject> ptrObject = MakeObject<CRequestObject>();
    // Before Init there are no dictionaries.
    CComPtr<IRequestDictionary> ptrDict;
    ASSERT_EQ(S_OK, ptrObject->get_QueryString(ptrDict.Receive()));
    EXPECT_FALSE(ptrDict);
    EXPECT_EQ(E_POINTER, ptrObject->get_QueryString(nullptr));
    EXPECT_EQ(E_POINTER, ptrObject->Init(nullptr, nullptr));

    ParsedRequest parsed(Get("/p?a=1"));
    ASSERT_EQ(S_OK, parsed.hrInit);
    // Filled once: a second Init is refused and the first dictionaries stay.
    EXPECT_EQ(E_UNEXPECTED, parsed.ptrObject->Init(&parsed.request, nullptr));
    ptrDict = QueryString(parsed.ptrObject.Get());
    EXPECT_EQ(1, Count(ptrDict.Get()));

    // Both are the program's own objects, which the shared collections refuse to keep.
    CComPtr<IUnknown> ptrUnk;
    EXPECT_EQ(S_OK, parsed.ptrObject->QueryInterface(IID_ICorvane_Reserved, ptrUnk.ReceiveVoid()));
    EXPECT_EQ(S_OK, ptrDict->QueryInterface(IID_ICorvane_Reserved, ptrUnk.ReceiveVoid()));
    EXPECT_EQ(S_OK, parsed.ptrObject->QueryInterface(IID_IRequest, ptrUnk.ReceiveVoid()));
    EXPECT_EQ(S_OK, ptrDict->QueryInterface(IID_IRequestDictionary, ptrUnk.ReceiveVoid()));
    EXPECT_EQ(S_OK, ptrDict->QueryInterface(IIDOf<IDispatch>(), ptrUnk.ReceiveVoid()));
}

TEST(RequestObjectTest, URLDecodeTurnsOnlyPercentPairsIntoBytes) {
    struct Case {
        std::string_view in;
        std::string_view out;
    } const cases[] = {
        {"%41%62", "Ab"},
        {"%", "%"},
        {"%4", "%4"},
        {"%%41", "%A"},
        {"+", "+"},
        {"%g1", "%g1"},
        {"%00x", std::string_view("\0x", 2)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.out, CRequestObject::URLDecode(c.in)) << c.in;
}

}  // namespace
