// Registered browsers: desktop entries to registry entries and back to the list.
#include "intake/BrowserRegistry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;

namespace {

class BrowserRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("cv-browsers-" + std::to_string(getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "apps");
        fs::create_directories(m_dir / "bin");
        fs::create_directories(m_dir / "lib/Browser");
    }
    void TearDown() override { fs::remove_all(m_dir); }
    void Write(const fs::path& file, const std::string& text, bool executable = false) {
        std::ofstream(file) << text;
        if (executable)
            fs::permissions(file, fs::perms::owner_all, fs::perm_options::add);
    }
    fs::path m_dir;
};

TEST_F(BrowserRegistryTest, DesktopEntriesBecomeRegistrationsWithTheRealExecutable) {
    // A launcher script on PATH that execs the real program behind a symlink.
    Write(m_dir / "lib/Browser/browser-bin", "#!/bin/true\n", true);
    fs::create_symlink(m_dir / "lib/Browser/browser-bin", m_dir / "lib/browser-link");
    Write(m_dir / "bin/browser",
          "#!/bin/sh\nexport X=1\nexec " + (m_dir / "lib/browser-link").string() + " \"$@\"\n",
          true);
    Write(m_dir / "apps/browser.desktop",
          "[Desktop Entry]\nName=Browser\nExec=browser %u\nCategories=Network;WebBrowser;\n");
    Write(m_dir / "apps/editor.desktop",
          "[Desktop Entry]\nName=Editor\nExec=browser %f\nCategories=Utility;TextEditor;\n");
    Write(m_dir / "apps/gone.desktop",
          "[Desktop Entry]\nExec=not-installed %u\nCategories=WebBrowser;\n");

    CRegistryTree tree;
    ASSERT_EQ(S_OK, WriteBrowserRegistrations(tree, {m_dir / "apps", m_dir / "missing"},
                                              (m_dir / "bin").string()));
    std::vector<std::string> names;
    ASSERT_EQ(S_OK, tree.EnumSubkeys(kStartMenuInternetKey, &names));
    ASSERT_EQ(names, std::vector<std::string>{"browser"});

    const fs::path store = m_dir / "registry.reg";
    CRegistryStore registry(store.string());
    ASSERT_EQ(S_OK, registry.Transact([&](CRegistryTree& t) {
        return WriteBrowserRegistrations(t, {m_dir / "apps"}, (m_dir / "bin").string());
    }));
    // A second registration with mixed case and a quoted command line duplicates nothing.
    ASSERT_EQ(S_OK, registry.SetString(
                        std::string(kStartMenuInternetKey) + "\\Other\\shell\\open\\command", "",
                        "\"" + fs::canonical(m_dir).string() + "/lib/Browser/BROWSER-bin\""));
    auto list = ReadBrowserList(registry);
    ASSERT_EQ(list.size(), 1u);
    std::string expected = fs::canonical(m_dir / "lib/Browser/browser-bin").string();
    for (char& c : expected)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(list[0], expected);
}

TEST_F(BrowserRegistryTest, ExecutablesThatCannotBeFoundResolveToNothing) {
    EXPECT_TRUE(ResolveBrowserExecutable("nothing-here %u", (m_dir / "bin").string()).empty());
    EXPECT_TRUE(ResolveBrowserExecutable("", (m_dir / "bin").string()).empty());
    Write(m_dir / "bin/plain", "data", false);  // not executable
    EXPECT_TRUE(ResolveBrowserExecutable("plain", (m_dir / "bin").string()).empty());
}

}  // namespace
