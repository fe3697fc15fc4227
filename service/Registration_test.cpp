// Registration entries: what is written, and that removal leaves nothing behind.
#include "service/Registration.h"

#include <gtest/gtest.h>

namespace {

std::string Text(const CRegistryTree& tree, const std::string& key, const char* name) {
    CRegistryValue value;
    std::string text;
    if (FAILED(tree.GetValue(key, name, &value)) || FAILED(value.GetString(&text))) return "<none>";
    return text;
}

TEST(Registration, WritesAppIdClassesProgIdsAndTypeLibrary) {
    CRegistryTree tree;
    const std::string root = ClassesRoot(false, 0);
    ASSERT_EQ(WriteRegistration(tree, root, "/opt/corvane/corvane"), S_OK);
    const std::string appId = root + "\\AppID\\{874CF721-3BCD-4BF8-9A49-5CAB105AA74E}";
    EXPECT_EQ(Text(tree, appId, ""), "Corvane");
    EXPECT_EQ(Text(tree, appId, "RunAs"), "Interactive User");
    EXPECT_EQ(Text(tree, root + "\\AppID\\Corvane.EXE", "AppID"),
              "{874CF721-3BCD-4BF8-9A49-5CAB105AA74E}");
    const std::string server = root + "\\CLSID\\{19BF719A-8566-443A-92F7-307C2D1D348D}";
    EXPECT_EQ(Text(tree, server, ""), "Server Class");
    EXPECT_EQ(Text(tree, server + "\\ProgID", ""), "Corvane.Server.1");
    EXPECT_EQ(Text(tree, server + "\\VersionIndependentProgID", ""), "Corvane.Server");
    EXPECT_EQ(Text(tree, server + "\\LocalServer32", ""), "\"/opt/corvane/corvane\"");
    EXPECT_EQ(Text(tree, root + "\\Corvane.FileEntity\\CLSID", ""),
              "{2E51291D-D514-47ED-97CA-FBFAE7EC2E62}");
    EXPECT_EQ(Text(tree, root + "\\Corvane.ASPEntity\\CurVer", ""), "Corvane.ASPEntity.1");
    EXPECT_EQ(Text(tree, root + "\\TypeLib\\{D53C533F-4D4F-450D-8A2F-60CA5D6FBEBA}\\2.0", ""),
              "Corvane 2.0 Type Library");
}

TEST(Registration, RegisteringAgainDropsLocalServiceAndRemovalLeavesNothing) {
    CRegistryTree empty, tree;
    const std::string root = ClassesRoot(true, 1000);
    EXPECT_EQ(root, "HKEY_USERS\\S-1-22-1-1000\\SOFTWARE\\Classes");
    ASSERT_EQ(WriteRegistration(tree, root, "/usr/bin/corvane"), S_OK);
    ASSERT_EQ(WriteLocalService(tree, root, "Corvane"), S_OK);
    EXPECT_EQ(Text(tree, AppIdKey(root), "LocalService"), "Corvane");
    ASSERT_EQ(WriteRegistration(tree, root, "/usr/bin/corvane"), S_OK);
    EXPECT_EQ(Text(tree, AppIdKey(root), "LocalService"), "<none>");

    // Unrelated entries stay.
    ASSERT_EQ(tree.SetValue(root + "\\.txt", "", CRegistryValue::FromString("txtfile")), S_OK);
    ASSERT_EQ(RemoveRegistration(tree, root), S_OK);
    EXPECT_EQ(Text(tree, root + "\\.txt", ""), "txtfile");
    // With the unrelated entry gone, removal leaves the tree as it found it.
    ASSERT_EQ(tree.DeleteKey(root + "\\.txt"), S_OK);
    ASSERT_EQ(RemoveRegistration(tree, root), S_OK);
    EXPECT_EQ(tree, empty);
    // Removing twice is not an error.
    EXPECT_EQ(RemoveRegistration(tree, root), S_OK);
}

}  // namespace
