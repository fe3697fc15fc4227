// The type information scripts import: loading by id and version, the constants by name,
// and interface names for TypeName.
#include "idl/TypeLibrary.h"

#include <gtest/gtest.h>

#include <string>

#include "idl/Identifiers.h"

namespace {

TEST(TypeLibrary, LoadsByIdWithACompatibleVersion) {
    struct Case {
        GUID libid;
        WORD major, minor;
        HRESULT expected;
    };
    const Case cases[] = {
        {LIBID_Corvane, 2, 0, S_OK},
        {LIBID_Corvane, 2, 1, TYPE_E_LIBNOTREGISTERED},  // newer than ours
        {LIBID_Corvane, 1, 0, TYPE_E_LIBNOTREGISTERED},  // another major version
        {LIBID_Corvane, 3, 0, TYPE_E_LIBNOTREGISTERED},
        {IID_IRequest, 2, 0, TYPE_E_LIBNOTREGISTERED},  // not a library
        {LIBID_Pellora, 1, 0, S_OK},
    };
    for (const Case& c : cases) {
        const CTypeLibrary* lib = reinterpret_cast<const CTypeLibrary*>(1);
        EXPECT_EQ(CTypeLibrary::Load(c.libid, c.major, c.minor, &lib), c.expected)
            << GUID2String(c.libid) << " " << c.major << "." << c.minor;
        if (c.expected == S_OK) {
            ASSERT_NE(lib, nullptr);
            EXPECT_EQ(lib->Libid(), c.libid);
        } else {
            EXPECT_EQ(lib, nullptr);
        }
    }
    EXPECT_EQ(CTypeLibrary::Load(LIBID_Corvane, 2, 0, nullptr), E_POINTER);
}

TEST(TypeLibrary, GivesTheNetworkProtocolConstantsInOrder) {
    std::vector<TypeLibConstantValue> constants;
    ASSERT_EQ(GetTypeLibConstants(LIBID_Corvane, 2, 0, &constants), S_OK);
    const std::u16string names[] = {u"Unrecognised", u"HTTP", u"TLS1", u"SSL3", u"SSL2"};
    ASSERT_EQ(constants.size(), std::size(names));
    for (size_t i = 0; i < constants.size(); ++i) {
        EXPECT_EQ(constants[i].name, names[i]);
        EXPECT_EQ(constants[i].value.vt, VT_I4);
        EXPECT_EQ(constants[i].value.lVal, static_cast<LONG>(i));
    }

    std::vector<TypeLibConstantValue> none;
    EXPECT_EQ(GetTypeLibConstants(LIBID_Corvane, 9, 0, &none), TYPE_E_LIBNOTREGISTERED);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(GetTypeLibConstants(LIBID_Corvane, 2, 0, nullptr), E_POINTER);
}

TEST(TypeLibrary, FindsConstantsWithoutRegardToCase) {
    const CTypeLibrary* lib = nullptr;
    ASSERT_EQ(CTypeLibrary::Load(LIBID_Corvane, 2, 0, &lib), S_OK);
    struct Case {
        const char16_t* name;
        HRESULT hr;
        LONG value;
    };
    const Case cases[] = {
        {u"HTTP", S_OK, 1},
        {u"http", S_OK, 1},
        {u"Tls1", S_OK, 2},
        {u"ssl3", S_OK, 3},
        {u"SSL2", S_OK, 4},
        {u"UNRECOGNISED", S_OK, 0},
        {u"HTTPS", S_FALSE, 0},
        {u"", S_FALSE, 0},
        {u"Unrecognized", S_FALSE, 0},
        {u"NetworkProtocol", S_FALSE, 0},
    };
    for (const Case& c : cases) {
        VARIANT v;
        v.vt = VT_BSTR;  // must be overwritten, not cleared
        EXPECT_EQ(lib->FindConstant(c.name, &v), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(v.vt, VT_I4);
            EXPECT_EQ(v.lVal, c.value);
        } else {
            EXPECT_EQ(v.vt, VT_EMPTY);
        }
    }
    EXPECT_EQ(lib->FindConstant(u"HTTP", nullptr), E_POINTER);
}

TEST(TypeLibrary, NamesEveryScriptVisibleInterface) {
    EXPECT_EQ(TypeNameOfInterface(IID_IRequest), u"IRequest");
    EXPECT_EQ(TypeNameOfInterface(IID_IServerObject), u"IServerObject");
    EXPECT_EQ(TypeNameOfInterface(IID_IMenu), u"IMenu");
    EXPECT_EQ(TypeNameOfInterface(IID_IPellora), u"IPellora");
    EXPECT_TRUE(TypeNameOfInterface(IIDOf<IUnknown>()).empty());
    EXPECT_TRUE(TypeNameOfInterface(CLSID_Server).empty());

    // Every described interface's name is the one its id is declared under.
    const CTypeLibrary* lib = nullptr;
    ASSERT_EQ(CTypeLibrary::Load(LIBID_Corvane, 2, 0, &lib), S_OK);
    EXPECT_EQ(lib->Interfaces().size(), 13u);
    for (const TypeLibInterface& i : lib->Interfaces()) {
        bool found = false;
        for (const IdentifierEntry& e : AllIdentifiers()) {
            if (e.guid == i.iid) {
                found = true;
                EXPECT_EQ(std::string(e.name), "IID_" + Utf16ToUtf8(i.name));
            }
        }
        EXPECT_TRUE(found) << Utf16ToUtf8(i.name);
    }
}

}  // namespace
