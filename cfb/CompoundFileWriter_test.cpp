// The writer: what it writes reads back the same through our reader and through
// independent tools, its directory trees are valid red-black trees in name order, bad
// names are refused, and replacing a file never leaves half of one.
#include "cfb/CompoundFileWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "cfb/CfbTestSupport.h"
#include "cfb/CompoundFileFormat.h"
#include "com/Strings.h"

using namespace cfb;

namespace {

std::vector<BYTE> Pattern(size_t cb, unsigned seed) {
    std::vector<BYTE> bytes(cb);
    unsigned x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<BYTE>(x >> 16);
    }
    return bytes;
}

// Builds a writer and the records our walker should find, side by side.
struct Model {
    CCompoundFileWriter writer;
    std::map<std::string, ElementRecord> expected;  // by path

    ULONG Storage(ULONG parent, const std::string& parentPath, std::u16string name) {
        ULONG id = 0;
        EXPECT_EQ(writer.AddStorage(parent, name, &id), S_OK);
        ElementRecord r;
        r.fStorage = true;
        r.strPath = parentPath + "/" + EscapeName(name);
        expected[r.strPath] = r;
        return id;
    }
    void Stream(ULONG parent, const std::string& parentPath, std::u16string name,
                std::vector<BYTE> data) {
        ElementRecord r;
        r.cbSize = data.size();
        r.strHash = Sha256Prefix(data);
        r.strPath = parentPath + "/" + EscapeName(name);
        expected[r.strPath] = r;
        EXPECT_EQ(writer.AddStream(parent, name, std::move(data)), S_OK);
    }
    std::vector<ElementRecord> Sorted() const {
        std::vector<ElementRecord> out;
        for (const auto& [path, r] : expected)
            out.push_back(r);
        return out;
    }
};

std::vector<ElementRecord> SortedByPath(std::vector<ElementRecord> records) {
    std::sort(records.begin(), records.end(),
              [](const auto& a, const auto& b) { return a.strPath < b.strPath; });
    return records;
}

// A site-like tree: sizes around the mini-stream cutoff, many siblings, deep folders,
// names with "£", control characters and non-ASCII letters.
Model MakeModel() {
    Model m;
    unsigned seed = 1;
    ULONG common = m.Storage(CCompoundFileWriter::kRoot, "", u"Common");
    for (size_t cb : {0, 1, 63, 64, 65, 511, 512, 513, 4095, 4096, 4097, 8191, 8192, 20000})
        m.Stream(common, "/Common", u"size" + Utf8ToUtf16(std::to_string(cb)) + u"£bin",
                 Pattern(cb, seed++));
    ULONG lang = m.Storage(CCompoundFileWriter::kRoot, "", u"0x809");
    for (int i = 0; i < 150; ++i)
        m.Stream(lang, "/0x809", u"page" + Utf8ToUtf16(std::to_string(i)) + u"£asp",
                 Pattern(static_cast<size_t>(i * 37), seed++));
    m.Stream(lang, "/0x809", u"\x05SummaryInformation", Pattern(200, seed++));
    m.Stream(lang, "/0x809", u"Ärger£über", Pattern(10, seed++));
    m.Stream(lang, "/0x809", u"75A8D4CF6877475AB87FDA039FC014B", Pattern(6900, seed++));
    ULONG parent = CCompoundFileWriter::kRoot;
    std::string path;
    for (int depth = 0; depth < 20; ++depth) {
        std::u16string name = u"level" + Utf8ToUtf16(std::to_string(depth));
        parent = m.Storage(parent, path, name);
        path += "/" + Utf16ToUtf8(name);
        m.Stream(parent, path, u"leaf", Pattern(static_cast<size_t>(depth * 300), seed++));
    }
    return m;
}

TEST(CompoundFileWriter, RoundTripReproducesEveryElement) {
    Model m = MakeModel();
    std::vector<BYTE> bytes;
    ASSERT_EQ(m.writer.WriteToBytes(&bytes), S_OK);
    EXPECT_EQ(bytes.size() % 512, 0u);
    CComPtr<IStorage> root;
    ASSERT_EQ(OpenBytes(bytes, root.Receive()), S_OK);
    std::vector<ElementRecord> walked;
    ASSERT_EQ(WalkTree(root.Get(), &walked), S_OK);
    EXPECT_EQ(PrintRecords(SortedByPath(walked)), PrintRecords(m.Sorted()));
}

TEST(CompoundFileWriter, EmptyFileHasOnlyTheRoot) {
    CCompoundFileWriter writer;
    std::vector<BYTE> bytes;
    ASSERT_EQ(writer.WriteToBytes(&bytes), S_OK);
    CComPtr<IStorage> root;
    ASSERT_EQ(OpenBytes(bytes, root.Receive()), S_OK);
    std::vector<ElementRecord> walked;
    ASSERT_EQ(WalkTree(root.Get(), &walked), S_OK);
    EXPECT_TRUE(walked.empty());
}

// More than 109 FAT sectors: the FAT is found through DIFAT sectors.
TEST(CompoundFileWriter, LargeFileUsesDifatSectors) {
    CCompoundFileWriter writer;
    const std::vector<BYTE> big = Pattern(8 * 1024 * 1024 + 3, 99);
    ASSERT_EQ(writer.AddStream(CCompoundFileWriter::kRoot, u"big", big), S_OK);
    ASSERT_EQ(writer.AddStream(CCompoundFileWriter::kRoot, u"small", Pattern(100, 7)), S_OK);
    std::vector<BYTE> bytes;
    ASSERT_EQ(writer.WriteToBytes(&bytes), S_OK);
    EXPECT_GT(ReadU32(bytes.data() + header::kFatSectorCount), 109u);
    EXPECT_EQ(ReadU32(bytes.data() + header::kDifatCount), 1u);
    CComPtr<IStorage> root;
    ASSERT_EQ(OpenBytes(bytes, root.Receive()), S_OK);
    CComPtr<IStream> stream;
    ASSERT_EQ(root->OpenStream(u"big", nullptr, STGM_SHARE_EXCLUSIVE, 0, stream.Receive()), S_OK);
    std::vector<BYTE> read;
    ASSERT_EQ(ReadAll(stream.Get(), &read), S_OK);
    EXPECT_TRUE(read == big);
}

// Checks one storage's sibling tree straight from the bytes: in-order walk sorted by the
// name rule, no red node with a red child, the same black count on every path.
void CheckTree(const std::vector<BYTE>& bytes, ULONG id, int* pBlackHeight,
               std::vector<std::u16string>* pInOrder) {
    if (id == NOSTREAM) {
        *pBlackHeight = 1;
        return;
    }
    const BYTE* p = bytes.data() + (ReadU32(bytes.data() + header::kDirStart) + 1) * 512 +
                    static_cast<size_t>(id) * kDirEntrySize;
    int left = 0, right = 0;
    CheckTree(bytes, ReadU32(p + entry::kLeft), &left, pInOrder);
    std::u16string name;
    for (WORD n = 0; n + 2 < ReadU16(p + entry::kNameLength); n += 2)
        name += static_cast<char16_t>(ReadU16(p + n));
    pInOrder->push_back(name);
    CheckTree(bytes, ReadU32(p + entry::kRight), &right, pInOrder);
    EXPECT_EQ(left, right) << Utf16ToUtf8(name);
    if (p[entry::kColor] == kColorRed) {
        for (ULONG child : {ReadU32(p + entry::kLeft), ReadU32(p + entry::kRight)}) {
            if (child == NOSTREAM)
                continue;
            const BYTE* c = bytes.data() + (ReadU32(bytes.data() + header::kDirStart) + 1) * 512 +
                            static_cast<size_t>(child) * kDirEntrySize;
            EXPECT_EQ(c[entry::kColor], kColorBlack) << "red under red at " << Utf16ToUtf8(name);
        }
    }
    *pBlackHeight = left + (p[entry::kColor] == kColorBlack ? 1 : 0);
}

TEST(CompoundFileWriter, SiblingTreesAreRedBlackTreesInNameOrder) {
    for (int count : {1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 100, 1000}) {
        SCOPED_TRACE(count);
        CCompoundFileWriter writer;
        for (int i = 0; i < count; ++i) {
            // Mixed lengths and cases, so both parts of the rule matter.
            std::u16string name =
                (i % 2 ? u"n" : u"N") + Utf8ToUtf16(std::to_string(i * 7919 % 1009));
            ASSERT_EQ(writer.AddStream(CCompoundFileWriter::kRoot, name, {}), S_OK);
        }
        std::vector<BYTE> bytes;
        ASSERT_EQ(writer.WriteToBytes(&bytes), S_OK);
        const BYTE* root = bytes.data() + (ReadU32(bytes.data() + header::kDirStart) + 1) * 512;
        const ULONG top = ReadU32(root + entry::kChild);
        const BYTE* topEntry = root + static_cast<size_t>(top) * kDirEntrySize;
        EXPECT_EQ(topEntry[entry::kColor], kColorBlack);
        int blackHeight = 0;
        std::vector<std::u16string> inOrder;
        CheckTree(bytes, top, &blackHeight, &inOrder);
        ASSERT_EQ(inOrder.size(), static_cast<size_t>(count));
        for (size_t i = 1; i < inOrder.size(); ++i)
            EXPECT_LT(CompareElementNames(inOrder[i - 1], inOrder[i]), 0);
    }
}

TEST(CompoundFileWriter, RefusesBadNamesAndMisplacedAttributes) {
    CCompoundFileWriter writer;
    ULONG folder = 0, stream = 0;
    ASSERT_EQ(writer.AddStorage(CCompoundFileWriter::kRoot, u"about£asp", &folder), S_OK);
    ASSERT_EQ(writer.AddStream(folder, u"s", {1}, &stream), S_OK);
    struct {
        ULONG parent;
        std::u16string name;
        HRESULT hr;
    } cases[] = {
        {CCompoundFileWriter::kRoot, u"ABOUT£ASP", STG_E_FILEALREADYEXISTS},
        {folder, u"S", STG_E_FILEALREADYEXISTS},
        {CCompoundFileWriter::kRoot, u"", STG_E_INVALIDNAME},
        {CCompoundFileWriter::kRoot, std::u16string(32, u'x'), STG_E_INVALIDNAME},
        {CCompoundFileWriter::kRoot, u"a/b", STG_E_INVALIDNAME},
        {CCompoundFileWriter::kRoot, u"a\\b", STG_E_INVALIDNAME},
        {CCompoundFileWriter::kRoot, u"a:b", STG_E_INVALIDNAME},
        {CCompoundFileWriter::kRoot, u"a!b", STG_E_INVALIDNAME},
        {stream, u"child", E_INVALIDARG},
        {12345, u"child", E_INVALIDARG},
        {CCompoundFileWriter::kRoot, std::u16string(31, u'x'), S_OK},
        {folder, u"about£asp", S_OK},  // the same name in another storage
    };
    for (const auto& c : cases) {
        EXPECT_EQ(writer.AddStream(c.parent, c.name, {}), c.hr) << Utf16ToUtf8(c.name);
    }
    EXPECT_EQ(writer.SetClass(stream, GUID_NULL), E_INVALIDARG);
    EXPECT_EQ(writer.SetTimes(stream, FILETIME{}, FILETIME{}), E_INVALIDARG);
    EXPECT_EQ(writer.SetTimes(CCompoundFileWriter::kRoot, FILETIME::FromValue(1), FILETIME{}),
              E_INVALIDARG);
    EXPECT_EQ(writer.SetTimes(CCompoundFileWriter::kRoot, FILETIME{}, FILETIME::FromValue(1)),
              S_OK);
}

class WriterFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = ::testing::TempDir() + "cfb_writer_" + std::to_string(::getpid());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    size_t CountFiles() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(m_dir),
                                                 std::filesystem::directory_iterator()));
    }
    std::string m_dir;
};

TEST_F(WriterFileTest, ReplacesTheTargetInOneStepAndLeavesNoTemporary) {
    const std::string target = m_dir + "/Corvane.dat";
    CCompoundFileWriter first;
    ASSERT_EQ(first.AddStream(CCompoundFileWriter::kRoot, u"one", Pattern(10, 1)), S_OK);
    ASSERT_EQ(first.WriteToFile(target), S_OK);
    EXPECT_EQ(ReadFileBytes(target).size() % 512, 0u);
    std::filesystem::permissions(target, std::filesystem::perms(0640));

    Model m = MakeModel();
    ASSERT_EQ(m.writer.WriteToFile(target), S_OK);
    EXPECT_EQ(CountFiles(), 1u);
    EXPECT_EQ(std::filesystem::status(target).permissions(), std::filesystem::perms(0640));
    std::vector<BYTE> expected;
    ASSERT_EQ(m.writer.WriteToBytes(&expected), S_OK);
    EXPECT_TRUE(ReadFileBytes(target) == expected);

    // A target in a directory that does not exist fails and changes nothing.
    EXPECT_EQ(m.writer.WriteToFile(m_dir + "/missing/Corvane.dat"), STG_E_PATHNOTFOUND);
    // A target that is a directory: the rename fails, the temporary file is removed.
    std::filesystem::create_directories(m_dir + "/folder");
    EXPECT_TRUE(FAILED(first.WriteToFile(m_dir + "/folder")));
    EXPECT_EQ(CountFiles(), 2u);  // Corvane.dat and folder
    EXPECT_TRUE(ReadFileBytes(target) == expected);
}

// Lists a file with an independent tool: "stream <size> <sha16> <path>" / "storage <path>".
const char kOlefileScript[] = R"(
import hashlib, sys
import olefile
ole = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_INCORRECT)
for entry in ole.listdir(streams=True, storages=True):
    path = "/" + "/".join(entry)
    if ole.get_type(entry) == olefile.STGTY_STREAM:
        data = ole.openstream(entry).read()
        print("stream", len(data), hashlib.sha256(data).hexdigest()[:16], path)
    else:
        print("storage", path)
)";

std::string Python() {
    int status = 0;
    for (const char* python : {"/usr/bin/python3", "python3"}) {
        RunCommand(std::string(python) + " -c 'import olefile' 2>/dev/null", &status);
        if (status == 0)
            return python;
    }
    return {};
}

// Control characters are left out of this model's names: the tools print them differently.
Model MakeToolModel() {
    Model m;
    unsigned seed = 50;
    ULONG common = m.Storage(CCompoundFileWriter::kRoot, "", u"Common");
    for (size_t cb : {0, 64, 4095, 4096, 4097, 10000})
        m.Stream(common, "/Common", u"file" + Utf8ToUtf16(std::to_string(cb)) + u"£ico",
                 Pattern(cb, seed++));
    ULONG images = m.Storage(common, "/Common", u"images");
    m.Stream(images, "/Common/images", u"taskbar£off£ico", Pattern(1406, seed++));
    ULONG lang = m.Storage(CCompoundFileWriter::kRoot, "", u"0x409");
    for (int i = 0; i < 40; ++i)
        m.Stream(lang, "/0x409", u"p" + Utf8ToUtf16(std::to_string(i)) + u"£asp",
                 Pattern(static_cast<size_t>(i * 111), seed++));
    return m;
}

TEST_F(WriterFileTest, OlefileReadsWhatWeWrite) {
    const std::string python = Python();
    if (python.empty())
        GTEST_SKIP() << "python3-olefile is not installed";
    Model m = MakeToolModel();
    const std::string target = m_dir + "/tool.dat";
    ASSERT_EQ(m.writer.WriteToFile(target), S_OK);
    {
        std::FILE* f = std::fopen((m_dir + "/list.py").c_str(), "w");
        std::fputs(kOlefileScript, f);
        std::fclose(f);
    }
    int status = 0;
    std::string out = RunCommand(
        "PYTHONIOENCODING=utf-8 " + python + " " + m_dir + "/list.py " + target, &status);
    ASSERT_EQ(status, 0) << out;
    std::vector<ElementRecord> listed;
    std::istringstream lines(out);
    std::string kind;
    while (lines >> kind) {
        ElementRecord r;
        r.fStorage = kind == "storage";
        if (!r.fStorage)
            lines >> r.cbSize >> r.strHash;
        lines >> std::ws;
        std::getline(lines, r.strPath);
        listed.push_back(r);
    }
    EXPECT_EQ(PrintRecords(SortedByPath(listed)), PrintRecords(m.Sorted()));
}

TEST_F(WriterFileTest, GsfListsWhatWeWrite) {
    int status = 0;
    RunCommand("command -v gsf >/dev/null 2>&1", &status);
    if (status != 0)
        GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
    Model m = MakeToolModel();
    const std::string target = m_dir + "/tool.dat";
    ASSERT_EQ(m.writer.WriteToFile(target), S_OK);
    std::string out = RunCommand("gsf list " + target + " 2>&1", &status);
    ASSERT_EQ(status, 0) << out;
    // Lines: "f <size> <path>" or "d [<date> <time>] <size> <path>"; the root is "*root*".
    std::map<std::string, ElementRecord> listed;
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);  // "<file>:"
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string w; fields >> w;)
            words.push_back(w);
        ASSERT_GE(words.size(), 3u) << line;
        ElementRecord r;
        r.fStorage = words[0] == "d";
        r.strPath = "/" + words.back();
        if (!r.fStorage)
            r.cbSize = std::stoull(words[words.size() - 2]);
        if (r.strPath != "/*root*")
            listed[r.strPath] = r;
    }
    ASSERT_EQ(listed.size(), m.expected.size()) << out;
    for (const auto& [path, r] : m.expected) {
        ASSERT_TRUE(listed.count(path)) << path << "\n" << out;
        EXPECT_EQ(listed[path].fStorage, r.fStorage) << path;
        EXPECT_EQ(listed[path].cbSize, r.cbSize) << path;
    }
    // And a stream's bytes as gsf reads them.
    RunCommand("cd " + m_dir + " && gsf cat tool.dat Common/file10000£ico > cat.bin", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(Sha256Prefix(ReadFileBytes(m_dir + "/cat.bin")),
              m.expected["/Common/file10000£ico"].strHash);
}

}  // namespace
