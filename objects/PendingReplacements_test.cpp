// The pending-replacement list: order, atomic replacement, application at start.
#include "objects/PendingReplacements.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

class PendingReplacementsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/cv_pending_XXXXXX";
        ASSERT_NE(::mkdtemp(szTemplate), nullptr);
        m_dir = szTemplate;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::filesystem::path File(const std::string& name, const std::string& contents) {
        const std::filesystem::path path = m_dir / name;
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }
    static std::string Contents(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::filesystem::path m_dir;
};

TEST_F(PendingReplacementsTest, AppliesEntriesInOrderAndRemovesTheList) {
    CPendingReplacements list(m_dir / "pending-replacements.list");
    const auto target = File("site.dat", "old");
    const auto odd = File("odd\nname", "old odd");
    ASSERT_EQ(list.Add(File("cv1", "first"), target), S_OK);
    ASSERT_EQ(list.Add(File("cv2", "second"), target), S_OK);
    ASSERT_EQ(list.Add(File("cv3", "new odd"), odd), S_OK);

    std::vector<std::pair<std::string, std::string>> entries;
    ASSERT_EQ(list.Read(&entries), S_OK);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].first, (m_dir / "cv1").string());
    EXPECT_EQ(entries[2].second, odd.string());

    // Nothing changes before the start that applies the list.
    EXPECT_EQ(Contents(target), "old");
    ASSERT_EQ(list.Apply(), S_OK);
    EXPECT_EQ(Contents(target), "second");  // the last download wins
    EXPECT_EQ(Contents(odd), "new odd");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "cv1"));
    EXPECT_FALSE(std::filesystem::exists(list.Path()));
    EXPECT_EQ(list.Apply(), S_FALSE);
}

TEST_F(PendingReplacementsTest, SkipsEntriesThatCannotBeApplied) {
    CPendingReplacements list(m_dir / "pending-replacements.list");
    const auto target = File("site.dat", "old");
    std::filesystem::create_directory(m_dir / "sub");
    ASSERT_EQ(list.Add(m_dir / "missing", target), S_OK);
    // A source outside the target's directory did not come from a download.
    ASSERT_EQ(list.Add(File("sub/cv9", "elsewhere"), target), S_OK);
    ASSERT_EQ(list.Add(File("cv1", "good"), m_dir / "new.dat"), S_OK);
    ASSERT_EQ(list.Apply(), S_OK);
    EXPECT_EQ(Contents(target), "old");
    EXPECT_EQ(Contents(m_dir / "new.dat"), "good");
    EXPECT_FALSE(std::filesystem::exists(list.Path()));
}

TEST_F(PendingReplacementsTest, ListLivesBesideTheRegistry) {
    EXPECT_EQ(CPendingReplacements::ListPathBeside("/var/lib/corvane/registry.reg"),
              "/var/lib/corvane/pending-replacements.list");
    std::vector<std::pair<std::string, std::string>> entries{{"x", "y"}};
    ASSERT_EQ(CPendingReplacements(m_dir / "absent.list").Read(&entries), S_OK);
    EXPECT_TRUE(entries.empty());
    // A list in a missing directory cannot be added to, and says so.
    CPendingReplacements list(m_dir / "none" / "pending-replacements.list");
    EXPECT_TRUE(FAILED(list.Add(m_dir / "a", m_dir / "b")));
}

}  // namespace
