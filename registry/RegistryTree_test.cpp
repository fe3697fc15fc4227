// Key paths, case rules and subtree deletion of the in-memory registry tree.
#include "registry/RegistryTree.h"

#include <gtest/gtest.h>

namespace {

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane";

std::vector<std::string> Subkeys(const CRegistryTree& tree, std::string_view path) {
    std::vector<std::string> names;
    EXPECT_EQ(tree.EnumSubkeys(path, &names), S_OK) << path;
    return names;
}

}  // namespace

TEST(RegistryTree, NamesCompareWithoutCaseAndKeepTheirCase) {
    CRegistryTree tree;
    ASSERT_EQ(tree.SetValue(kKey, "Debugging", CRegistryValue::FromDword(1)), S_OK);
    ASSERT_EQ(tree.SetValue("HKLM\\Software\\Corvane\\\u00c4rger", "Wert", CRegistryValue()), S_OK);

    CRegistryValue value;
    EXPECT_EQ(tree.GetValue("hkey_local_machine\\software\\CORVANE", "DEBUGGING", &value), S_OK);
    EXPECT_EQ(value, CRegistryValue::FromDword(1));
    EXPECT_EQ(tree.KeyExists("HKLM\\SOFTWARE\\corvane\\\u00e4RGER"), S_OK);  // non-ASCII too

    // A second spelling neither duplicates nor renames the key or the value.
    ASSERT_EQ(tree.SetValue("HKLM\\software\\corvane", "debugging", CRegistryValue::FromDword(2)),
              S_OK);
    EXPECT_EQ(Subkeys(tree, "HKEY_LOCAL_MACHINE"), std::vector<std::string>{"SOFTWARE"});
    EXPECT_EQ(Subkeys(tree, "HKLM\\SOFTWARE"), std::vector<std::string>{"Corvane"});
    std::vector<CRegistryEntry> entries;
    ASSERT_EQ(tree.EnumValues(kKey, &entries), S_OK);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "Debugging");
    EXPECT_EQ(entries[0].value, CRegistryValue::FromDword(2));
}

TEST(RegistryTree, DeleteKeyTakesTheSubtreeAndNothingElse) {
    CRegistryTree tree;
    for (const char* path : {"HKCU\\A\\B\\C", "HKCU\\A\\D", "HKCU\\AB", "HKCU\\A B", "HKCU\\A-"}) {
        ASSERT_EQ(tree.CreateKey(path), S_OK) << path;
    }
    EXPECT_EQ(tree.CreateKey("HKCU\\a\\b"), S_FALSE);
    EXPECT_EQ(Subkeys(tree, "HKCU\\A"), (std::vector<std::string>{"B", "D"}));

    ASSERT_EQ(tree.DeleteKey("HKEY_CURRENT_USER\\a"), S_OK);
    EXPECT_EQ(tree.KeyExists("HKCU\\A\\B\\C"), kNotFound);
    EXPECT_EQ(tree.KeyExists("HKCU\\A"), kNotFound);
    EXPECT_EQ(Subkeys(tree, "HKCU"), (std::vector<std::string>{"A B", "A-", "AB"}));
    EXPECT_EQ(tree.DeleteKey("HKCU\\A"), kNotFound);
    EXPECT_EQ(tree.DeleteKey("HKEY_CURRENT_USER"), E_ACCESSDENIED);
}

TEST(RegistryTree, RejectsBadPathsAndNamesAndReportsMissingOnes) {
    CRegistryTree tree;
    CRegistryValue value;
    for (const char* path : {"", "SOFTWARE\\Corvane", "HKEY_NOWHERE\\x", "HKLM\\", "HKLM\\a\\\\b",
                             "HKLM\\tab\there", "HKLM\\bad\xC3"}) {
        EXPECT_EQ(tree.CreateKey(path), E_INVALIDARG) << path;
        EXPECT_EQ(tree.GetValue(path, "x", &value), E_INVALIDARG) << path;
    }
    for (std::string name : {std::string("line\nbreak"), std::string("nul\0", 4)}) {
        EXPECT_EQ(tree.SetValue(kKey, name, value), E_INVALIDARG);
    }
    EXPECT_EQ(tree.GetValue(kKey, "Logging", &value), kNotFound);
    ASSERT_EQ(tree.CreateKey(kKey), S_OK);
    EXPECT_EQ(tree.GetValue(kKey, "Logging", &value), kNotFound);
    EXPECT_EQ(tree.DeleteValue(kKey, "Logging"), kNotFound);
    std::vector<std::string> names;
    EXPECT_EQ(tree.EnumSubkeys("HKLM\\missing", &names), kNotFound);
}

TEST(RegistryValue, TypedGettersDecodeAndCheckTheType) {
    std::string text;
    EXPECT_EQ(CRegistryValue::FromString("caf\u00e9 \U0001F600").GetString(&text), S_OK);
    EXPECT_EQ(text, "caf\u00e9 \U0001F600");
    EXPECT_EQ(CRegistryValue::FromExpandString("%HOME%\\x").GetString(&text), S_OK);
    EXPECT_EQ(text, "%HOME%\\x");
    // A string without its terminator still reads.
    EXPECT_EQ(CRegistryValue(REG_SZ, {'o', 0, 'k', 0}).GetString(&text), S_OK);
    EXPECT_EQ(text, "ok");

    std::vector<std::string> list;
    EXPECT_EQ(CRegistryValue::FromMultiString({"one", "", "three"}).GetMultiString(&list), S_OK);
    EXPECT_EQ(list, std::vector<std::string>{"one"});  // the empty string ends the list
    EXPECT_EQ(CRegistryValue::FromMultiString({"a", "b"}).GetMultiString(&list), S_OK);
    EXPECT_EQ(list, (std::vector<std::string>{"a", "b"}));

    ULONGLONG q;
    EXPECT_EQ(CRegistryValue::FromQword(0x0102030405060708ull).GetQword(&q), S_OK);
    EXPECT_EQ(q, 0x0102030405060708ull);
    EXPECT_EQ(CRegistryValue::FromQword(1).Data()[0], 1);  // little endian

    DWORD d;
    EXPECT_EQ(CRegistryValue::FromString("5").GetDword(&d), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(CRegistryValue(REG_DWORD, {1, 2, 3}).GetDword(&d), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(CRegistryValue::FromDword(5).GetString(&text), DISP_E_TYPEMISMATCH);
    std::vector<BYTE> bytes;
    EXPECT_EQ(CRegistryValue::FromDword(5).GetBinary(&bytes), DISP_E_TYPEMISMATCH);
}
