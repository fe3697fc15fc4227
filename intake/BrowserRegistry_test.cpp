// Registered browsers: desktop entries to registry entries and back to the list.
#include "intake/BrowserRegistry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

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

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The list file for the connect() library: one entry a line, world-readable whatever the
// umask, replaced by a rename (a reader holding the old file keeps the old list whole), no
// temporary file left behind, the directory made when missing.
TEST_F(BrowserRegistryTest, ListFileIsReplacedWholeAndWorldReadable) {
    const fs::path file = m_dir / "state/browsers";
    const mode_t oldMask = ::umask(077);
    ASSERT_EQ(S_OK, WriteBrowserListFile(file, {"/usr/bin/browser", "/opt/b/ünïcode-bin"}));
    EXPECT_EQ("/usr/bin/browser\n/opt/b/ünïcode-bin\n", ReadFile(file));
    fs::create_hard_link(file, m_dir / "held");  // stands for a reader's open file

    ASSERT_EQ(S_OK, WriteBrowserListFile(file, {"/usr/bin/new", "/bad\nentry", "", "/usr/bin/b"}));
    ::umask(oldMask);
    EXPECT_EQ("/usr/bin/new\n/usr/bin/b\n", ReadFile(file));
    EXPECT_EQ("/usr/bin/browser\n/opt/b/ünïcode-bin\n", ReadFile(m_dir / "held"));
    struct stat st {};
    ASSERT_EQ(0, ::stat(file.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ(::geteuid(), st.st_uid);
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(file.parent_path()))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<fs::path>{"browsers"});

    ASSERT_EQ(S_OK, WriteBrowserListFile(file, {}));
    EXPECT_EQ("", ReadFile(file));
    // A parent that cannot be a directory: the error comes back, nothing is written.
    Write(m_dir / "plain", "x");
    EXPECT_TRUE(FAILED(WriteBrowserListFile(m_dir / "plain/sub/browsers", {"/usr/bin/a"})));
}

}  // namespace
