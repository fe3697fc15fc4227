// Tests of the property bag of declared objects: what Init reads from the object tag
// and its PARAM tags, how Read finds and converts values, and that Write is refused.
#include "objects/PropertyBag.h"

#include <gtest/gtest.h>

namespace {

CComPtr<CPropertyBag> MakeBag(const std::map<std::u16string, std::u16string>& attribs,
                              const std::u16string& text, HRESULT hrExpected = S_OK) {
    CComPtr<CPropertyBag> ptrBag = MakeObject<CPropertyBag>();
    EXPECT_EQ(hrExpected, ptrBag->Init(attribs, text));
    return ptrBag;
}

// The value read under `name` as text, or the failure as "error".
std::u16string ReadText(IPropertyBag* pBag, const char16_t* name) {
    CComVariant var;
    if (FAILED(pBag->Read(name, &var, nullptr)))
        return u"error";
    return std::u16string(var.Text());
}

TEST(PropertyBagTest, ReadsTagAttributesAndParams) {
    CComPtr<CPropertyBag> ptrBag =
        MakeBag({{u"SCOPE", u"Application"}, {u"TIMEOUT", u"30"}},
                u"\r\n  <PARAM NAME=\"Path\" VALUE=\"lower case name\">\r\n"
                u"  <PARAM NAME=MODE VALUE=first>\r\n"
                u"  <PARAM NAME=\"Color\" VALUE=red>\r\n"
                u"  <BR>\r\n"  // a tag without attributes is passed over
                u"  <COMMENT TEXT=ignored>\r\n"
                u"  <param name=MODE value=\"second\">\r\n"
                u"  <PARAM NAME=\"Empty\" VALUE=\"\">\r\n");
    struct Case {
        const char16_t* name;
        std::u16string_view value;
    } const cases[] = {
        // The tag's own attributes (upper-cased names) under any case.
        {u"Scope", u"Application"},
        {u"scope", u"Application"},
        {u"TIMEOUT", u"30"},
        // A tag that does not parse (the quoted value's second word is an attribute
        // without "=") is passed over.
        {u"Path", u"error"},
        // A PARAM is read under any case of its NAME.
        {u"color", u"red"},
        {u"COLOR", u"red"},
        {u"Empty", u""},
        // A later PARAM of the same name replaces the earlier one.
        {u"mode", u"second"},
        {u"TEXT", u"error"},
        {u"COMMENT", u"error"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.value, ReadText(ptrBag.Get(), c.name)) << std::string(c.name, c.name + 4);
}

TEST(PropertyBagTest, ReadConvertsToTheTypeAsked) {
    CComPtr<CPropertyBag> ptrBag = MakeBag({{u"TIMEOUT", u"30"}, {u"NAME", u"abc"}}, u"");
    CComVariant var(LONG{0});
    ASSERT_EQ(S_OK, ptrBag->Read(u"Timeout", &var, nullptr));
    EXPECT_EQ(VT_I4, var.vt);
    EXPECT_EQ(30, var.lVal);

    CComVariant varBool(false);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ptrBag->Read(u"NAME", &varBool, nullptr));

    CComVariant varText;
    EXPECT_EQ(S_OK, ptrBag->Read(u"NAME", &varText, nullptr));
    EXPECT_EQ(VT_BSTR, varText.vt);
}

TEST(PropertyBagTest, RefusesBadCallsAndBadParams) {
    CComPtr<CPropertyBag> ptrBag = MakeBag({{u"A", u"1"}}, u"");
    CComVariant var;
    EXPECT_EQ(E_POINTER, ptrBag->Read(nullptr, &var, nullptr));
    EXPECT_EQ(E_POINTER, ptrBag->Read(u"A", nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, ptrBag->Read(u"B", &var, nullptr));
    EXPECT_EQ(E_FAIL, ptrBag->Write(u"A", &var));
    EXPECT_EQ(u"1", ReadText(ptrBag.Get(), u"a"));

    MakeBag({}, u"<PARAM VALUE=1>", E_UNEXPECTED);
    MakeBag({}, u"<PARAM NAME=X>", E_UNEXPECTED);
    // Text that holds no complete tag ends the bag quietly.
    MakeBag({}, u"<PARAM NAME=X VALUE=1", S_OK);
    MakeBag({}, u"stray text <", S_OK);
}

}  // namespace
