// The reader against real files written by other programs, a hand-made version 4 file,
// and a table of damaged files that must each answer a clear status.
#include "cfb/CompoundFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>

#include "cfb/CfbTestSupport.h"
#include "cfb/CompoundFileFormat.h"
#include "cfb/CompoundFileWriter.h"
#include "cfb/StgOpen.h"
#include "com/Strings.h"

using namespace cfb;

namespace {

const std::string kSamples = std::string(CORVANE_SHARED_DIR) + "/testdata/cfb";

// EXPECTED.md: one "## <file>" section per sample with a fenced list of elements.
std::map<std::string, std::vector<ElementRecord>> ParseExpected(const std::string& strPath) {
    std::map<std::string, std::vector<ElementRecord>> result;
    std::ifstream in(strPath);
    std::string line, file;
    const std::regex element(R"(^(storage|stream)\s+(?:(\d+) ([0-9a-f]{16}) +)?'(.*)'$)");
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) {
            file = line.substr(3);
            result[file];
            continue;
        }
        std::smatch m;
        if (file.empty() || !std::regex_match(line, m, element))
            continue;
        ElementRecord record;
        record.fStorage = m[1] == "storage";
        if (!record.fStorage) {
            record.cbSize = std::stoull(m[2]);
            record.strHash = m[3];
        }
        record.strPath = m[4];
        result[file].push_back(record);
    }
    return result;
}

TEST(CompoundFileSamples, EveryFileReproducesItsExpectedTree) {
    if (!std::filesystem::exists(kSamples + "/EXPECTED.md"))
        GTEST_SKIP() << "no shared samples at " << kSamples;
    auto expected = ParseExpected(kSamples + "/EXPECTED.md");
    ASSERT_EQ(expected.size(), 10u);
    for (const auto& [file, records] : expected) {
        SCOPED_TRACE(file);
        ASSERT_FALSE(records.empty());
        // Through a file and through a byte array alike.
        CComPtr<IStorage> fromFile;
        ASSERT_EQ(StgOpenStorage(Utf8ToUtf16(kSamples + "/" + file).c_str(), nullptr,
                                 STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, fromFile.Receive()),
                  S_OK);
        std::vector<ElementRecord> walked;
        ASSERT_EQ(WalkTree(fromFile.Get(), &walked), S_OK);
        EXPECT_EQ(PrintRecords(walked), PrintRecords(records));

        CComPtr<IStorage> fromBytes;
        ASSERT_EQ(OpenBytes(ReadFileBytes(kSamples + "/" + file), fromBytes.Receive()), S_OK);
        std::vector<ElementRecord> walkedBytes;
        ASSERT_EQ(WalkTree(fromBytes.Get(), &walkedBytes), S_OK);
        EXPECT_EQ(walkedBytes, walked);
    }
}

TEST(CompoundFileSamples, NamesAreFoundByTheFormatsRule) {
    const std::string file = kSamples + "/oletools-oleform-PR314-vbaProject.bin";
    if (!std::filesystem::exists(file))
        GTEST_SKIP() << "no shared samples at " << kSamples;
    CComPtr<IStorage> root;
    ASSERT_EQ(OpenBytes(ReadFileBytes(file), root.Receive()), S_OK);
    CComPtr<IStorage> vba;
    ASSERT_EQ(root->OpenStorage(u"vba", nullptr, STGM_SHARE_EXCLUSIVE, nullptr, 0, vba.Receive()),
              S_OK);
    CComPtr<IStream> stream;
    EXPECT_EQ(vba->OpenStream(u"_vba_project", nullptr, STGM_SHARE_EXCLUSIVE, 0, stream.Receive()),
              S_OK);
    // "UserFormTEST1" and "UserFormTest2" differ only in their last character.
    CComPtr<IStorage> form;
    ASSERT_EQ(root->OpenStorage(u"USERFORMTEST2", nullptr, STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                form.Receive()),
              S_OK);
    STATSTG stat;
    ASSERT_EQ(form->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.pwcsName.Str(), u"UserFormTest2");
}

// A version 4 file made by hand: 4096-byte sectors, FAT in sector 0, directory in 1,
// mini FAT in 2, mini stream in 3, a 5000-byte stream in 4 and 5.
std::vector<BYTE> MakeVersion4File() {
    constexpr ULONG kSector = 4096;
    std::vector<BYTE> bytes(kSector * 7, 0);
    auto sector = [&](ULONG n) { return bytes.data() + (n + 1) * kSector; };
    BYTE* h = bytes.data();
    std::memcpy(h, kSignature, 8);
    WriteU16(h + header::kMinor, kMinorVersion);
    WriteU16(h + header::kMajor, 4);
    WriteU16(h + header::kByteOrder, kByteOrderMark);
    WriteU16(h + header::kSectorShift, 12);
    WriteU16(h + header::kMiniSectorShift, 6);
    WriteU32(h + header::kDirSectorCount, 1);
    WriteU32(h + header::kFatSectorCount, 1);
    WriteU32(h + header::kDirStart, 1);
    WriteU32(h + header::kMiniCutoff, kMiniStreamCutoff);
    WriteU32(h + header::kMiniFatStart, 2);
    WriteU32(h + header::kMiniFatCount, 1);
    WriteU32(h + header::kDifatStart, ENDOFCHAIN);
    for (ULONG i = 0; i < kHeaderDifatEntries; ++i)
        WriteU32(h + header::kDifat + 4 * i, i == 0 ? 0 : FREESECT);
    const ULONG fat[] = {FATSECT, ENDOFCHAIN, ENDOFCHAIN, ENDOFCHAIN, 5, ENDOFCHAIN};
    for (ULONG i = 0; i < kSector / 4; ++i)
        WriteU32(sector(0) + 4 * i, i < std::size(fat) ? fat[i] : FREESECT);
    for (ULONG i = 0; i < kSector / 4; ++i)
        WriteU32(sector(2) + 4 * i, i == 0 ? 1 : i == 1 ? ENDOFCHAIN : FREESECT);
    for (ULONG i = 0; i < 100; ++i)
        sector(3)[i] = static_cast<BYTE>(i);
    for (ULONG i = 0; i < 5000; ++i)
        sector(4)[i] = static_cast<BYTE>(i * 7);
    auto entry = [&](ULONG id, std::u16string_view name, BYTE type, ULONG left, ULONG right,
                     ULONG child, ULONG start, ULONGLONG size) {
        BYTE* p = sector(1) + id * kDirEntrySize;
        for (size_t i = 0; i < name.size(); ++i)
            WriteU16(p + 2 * i, name[i]);
        WriteU16(p + entry::kNameLength, static_cast<WORD>(2 * name.size() + 2));
        p[entry::kType] = type;
        p[entry::kColor] = kColorBlack;
        WriteU32(p + entry::kLeft, left);
        WriteU32(p + entry::kRight, right);
        WriteU32(p + entry::kChild, child);
        WriteU32(p + entry::kStart, start);
        WriteU64(p + entry::kSize, size);
    };
    entry(0, u"Root Entry", kTypeRoot, NOSTREAM, NOSTREAM, 1, 3, 128);
    entry(1, u"Big", kTypeStream, 2, NOSTREAM, NOSTREAM, 4, 5000);
    entry(2, u"Mi", kTypeStream, NOSTREAM, NOSTREAM, NOSTREAM, 0, 100);
    for (ULONG id = 3; id < kSector / kDirEntrySize; ++id)
        entry(id, u"", kTypeUnused, NOSTREAM, NOSTREAM, NOSTREAM, 0, 0);
    return bytes;
}

TEST(CompoundFileVersion4, ReadsBigSectorsAndMiniStream) {
    CComPtr<IStorage> root;
    ASSERT_EQ(OpenBytes(MakeVersion4File(), root.Receive()), S_OK);
    std::vector<ElementRecord> records;
    ASSERT_EQ(WalkTree(root.Get(), &records), S_OK);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].strPath, "/Mi");
    EXPECT_EQ(records[0].cbSize, 100u);
    EXPECT_EQ(records[1].strPath, "/Big");
    EXPECT_EQ(records[1].cbSize, 5000u);
    CComPtr<IStream> big;
    ASSERT_EQ(root->OpenStream(u"Big", nullptr, STGM_SHARE_EXCLUSIVE, 0, big.Receive()), S_OK);
    std::vector<BYTE> bytes;
    ASSERT_EQ(ReadAll(big.Get(), &bytes), S_OK);
    for (ULONG i = 0; i < 5000; ++i)
        ASSERT_EQ(bytes[i], static_cast<BYTE>(i * 7)) << i;
}

// --- Damaged files --------------------------------------------------------------------

// The fixture every corruption starts from: a folder with a mini stream and a stream in
// sectors of its own, as the writer lays them out.
std::vector<BYTE> MakeFixture() {
    CCompoundFileWriter writer;
    ULONG folder = 0;
    EXPECT_EQ(writer.AddStorage(CCompoundFileWriter::kRoot, u"Folder", &folder), S_OK);
    EXPECT_EQ(writer.AddStream(folder, u"Small", std::vector<BYTE>(300, 0x11)), S_OK);
    EXPECT_EQ(writer.AddStream(folder, u"Large", std::vector<BYTE>(5000, 0x22)), S_OK);
    EXPECT_EQ(writer.AddStream(CCompoundFileWriter::kRoot, u"Top", std::vector<BYTE>(10, 3)), S_OK);
    std::vector<BYTE> bytes;
    EXPECT_EQ(writer.WriteToBytes(&bytes), S_OK);
    return bytes;
}

struct FixtureView {
    std::vector<BYTE>& bytes;
    BYTE* Header() { return bytes.data(); }
    BYTE* Sector(ULONG n) { return bytes.data() + (n + 1) * 512; }
    ULONG DirStart() { return ReadU32(Header() + header::kDirStart); }
    // The directory entry with that name (the writer keeps the directory consecutive).
    BYTE* Entry(std::u16string_view name) {
        for (ULONG i = 0; i < 16; ++i) {
            BYTE* p = Sector(DirStart()) + i * kDirEntrySize;
            std::u16string text;
            for (WORD n = 0; n + 2 < ReadU16(p + entry::kNameLength); n += 2)
                text += static_cast<char16_t>(ReadU16(p + n));
            if (text == name)
                return p;
        }
        ADD_FAILURE() << "no entry " << Utf16ToUtf8(name);
        return Sector(DirStart());
    }
    void SetFat(ULONG sect, ULONG value) { WriteU32(Sector(0) + 4 * sect, value); }
};

struct DamageCase {
    const char* name;
    std::function<void(FixtureView&)> damage;
    HRESULT hrOpen;    // what opening the file answers
    HRESULT hrStream;  // when it opens: what opening "Folder/Large" and "Folder/Small" answers
};

class CompoundFileDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(CompoundFileDamage, AnswersAClearStatus) {
    std::vector<BYTE> bytes = MakeFixture();
    FixtureView view{bytes};
    GetParam().damage(view);
    CComPtr<IStorage> root;
    ASSERT_EQ(OpenBytes(bytes, root.Receive()), GetParam().hrOpen);
    if (FAILED(GetParam().hrOpen)) {
        EXPECT_FALSE(root);
        return;
    }
    CComPtr<IStorage> folder;
    ASSERT_EQ(
        root->OpenStorage(u"Folder", nullptr, STGM_SHARE_EXCLUSIVE, nullptr, 0, folder.Receive()),
        S_OK);
    HRESULT hrWorst = S_OK;
    for (const char16_t* name : {u"Large", u"Small"}) {
        CComPtr<IStream> stream;
        HRESULT hr = folder->OpenStream(name, nullptr, STGM_SHARE_EXCLUSIVE, 0, stream.Receive());
        if (SUCCEEDED(hr)) {
            std::vector<BYTE> data;
            hr = ReadAll(stream.Get(), &data);
        }
        if (FAILED(hr))
            hrWorst = hr;
    }
    EXPECT_EQ(hrWorst, GetParam().hrStream);
}

const DamageCase kDamageCases[] = {
    {"Untouched", [](FixtureView&) {}, S_OK, S_OK},
    {"Empty", [](FixtureView& v) { v.bytes.clear(); }, STG_E_INVALIDHEADER, S_OK},
    {"ShorterThanHeader", [](FixtureView& v) { v.bytes.resize(300); }, STG_E_INVALIDHEADER, S_OK},
    {"BadSignature", [](FixtureView& v) { v.Header()[0] = 0xD1; }, STG_E_INVALIDHEADER, S_OK},
    {"BadByteOrder", [](FixtureView& v) { WriteU16(v.Header() + header::kByteOrder, 0xFEFF); },
     STG_E_INVALIDHEADER, S_OK},
    {"UnknownMajorVersion", [](FixtureView& v) { WriteU16(v.Header() + header::kMajor, 5); },
     STG_E_INVALIDHEADER, S_OK},
    {"Version3With4096Sectors",
     [](FixtureView& v) { WriteU16(v.Header() + header::kSectorShift, 12); }, STG_E_INVALIDHEADER,
     S_OK},
    {"HugeSectorShift", [](FixtureView& v) { WriteU16(v.Header() + header::kSectorShift, 40); },
     STG_E_INVALIDHEADER, S_OK},
    {"OtherMiniCutoff", [](FixtureView& v) { WriteU32(v.Header() + header::kMiniCutoff, 512); },
     STG_E_INVALIDHEADER, S_OK},
    {"HugeFatCount",
     [](FixtureView& v) { WriteU32(v.Header() + header::kFatSectorCount, 0xFFFFFFFF); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"FatSectorOutsideFile",
     [](FixtureView& v) { WriteU32(v.Header() + header::kDifat, 0x00FFFFFF); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"DifatChainLoops",
     [](FixtureView& v) {
         // Claim more FAT sectors than the header holds; the DIFAT chain points at itself.
         const ULONG sect = static_cast<ULONG>(v.bytes.size() / 512) - 1;
         WriteU32(v.Header() + header::kFatSectorCount, 200);
         WriteU32(v.Header() + header::kDifatStart, sect - 1);
         for (ULONG i = 0; i < 109; ++i)
             WriteU32(v.Header() + header::kDifat + 4 * i, 0);
         std::memset(v.Sector(sect - 1), 0, 512);
         WriteU32(v.Sector(sect - 1) + 508, sect - 1);
     },
     STG_E_DOCFILECORRUPT, S_OK},
    {"DirectoryOutsideFile",
     [](FixtureView& v) { WriteU32(v.Header() + header::kDirStart, 100000); }, STG_E_DOCFILECORRUPT,
     S_OK},
    {"DirectoryIsEndOfChain",
     [](FixtureView& v) { WriteU32(v.Header() + header::kDirStart, ENDOFCHAIN); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"DirectoryChainLoops", [](FixtureView& v) { v.SetFat(v.DirStart(), v.DirStart()); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"DirectoryChainFree", [](FixtureView& v) { v.SetFat(v.DirStart(), FREESECT); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"RootIsNotRoot", [](FixtureView& v) { v.Entry(u"Root Entry")[entry::kType] = kTypeStorage; },
     STG_E_DOCFILECORRUPT, S_OK},
    {"NameLongerThan31",
     [](FixtureView& v) { WriteU16(v.Entry(u"Folder") + entry::kNameLength, 66); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"NameWithoutTerminator",
     [](FixtureView& v) {
         BYTE* p = v.Entry(u"Top");
         WriteU16(p + 6, u'X');  // where the terminator of "Top" was
     },
     STG_E_DOCFILECORRUPT, S_OK},
    {"OddNameLength", [](FixtureView& v) { WriteU16(v.Entry(u"Top") + entry::kNameLength, 7); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"ChildOutsideDirectory",
     [](FixtureView& v) { WriteU32(v.Entry(u"Folder") + entry::kChild, 5000); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"ChildPointsAtRoot", [](FixtureView& v) { WriteU32(v.Entry(u"Folder") + entry::kChild, 0); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"SiblingCycle",
     [](FixtureView& v) {
         // Folder's children link back to their own subtree root.
         BYTE* folder = v.Entry(u"Folder");
         ULONG child = ReadU32(folder + entry::kChild);
         BYTE* first = v.Sector(v.DirStart()) + child * kDirEntrySize;
         WriteU32(first + entry::kLeft, child);
     },
     STG_E_DOCFILECORRUPT, S_OK},
    {"StorageContainsItself",
     [](FixtureView& v) {
         BYTE* root = v.Entry(u"Root Entry");
         WriteU32(v.Entry(u"Folder") + entry::kChild, ReadU32(root + entry::kChild));
     },
     STG_E_DOCFILECORRUPT, S_OK},
    {"UnusedEntryInTree", [](FixtureView& v) { v.Entry(u"Top")[entry::kType] = kTypeUnused; },
     STG_E_DOCFILECORRUPT, S_OK},
    {"StreamLargerThanFile",
     [](FixtureView& v) { WriteU32(v.Entry(u"Large") + entry::kSize, 0x7FFFFFFF); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"MiniStreamLargerThanFile",
     [](FixtureView& v) { WriteU32(v.Entry(u"Root Entry") + entry::kSize, 0x7FFFFFFF); },
     STG_E_DOCFILECORRUPT, S_OK},
    {"MiniStreamChainLoops",
     [](FixtureView& v) {
         ULONG start = ReadU32(v.Entry(u"Root Entry") + entry::kStart);
         v.SetFat(start, start);
     },
     STG_E_DOCFILECORRUPT, S_OK},
    {"LargeStreamChainLoops",
     [](FixtureView& v) {
         ULONG start = ReadU32(v.Entry(u"Large") + entry::kStart);
         v.SetFat(start + 1, start);
     },
     S_OK, STG_E_DOCFILECORRUPT},
    {"LargeStreamChainEndsEarly",
     [](FixtureView& v) { v.SetFat(ReadU32(v.Entry(u"Large") + entry::kStart), ENDOFCHAIN); }, S_OK,
     STG_E_DOCFILECORRUPT},
    {"LargeStreamStartsOutsideFile",
     [](FixtureView& v) { WriteU32(v.Entry(u"Large") + entry::kStart, 0xFFFFFFF0); }, S_OK,
     STG_E_DOCFILECORRUPT},
    {"LargeStreamChainEntersFatRange",
     [](FixtureView& v) {
         // A FAT entry past the FAT's end: the chain points at a sector with no FAT entry.
         v.SetFat(ReadU32(v.Entry(u"Large") + entry::kStart), 0x00FFFFFF);
     },
     S_OK, STG_E_DOCFILECORRUPT},
    {"SmallStreamMiniChainLoops",
     [](FixtureView& v) {
         ULONG start = ReadU32(v.Entry(u"Small") + entry::kStart);
         WriteU32(v.Sector(ReadU32(v.Header() + header::kMiniFatStart)) + 4 * (start + 1), start);
     },
     S_OK, STG_E_DOCFILECORRUPT},
    {"SmallStreamOutsideMiniStream",
     [](FixtureView& v) { WriteU32(v.Entry(u"Small") + entry::kStart, 1000); }, S_OK,
     STG_E_DOCFILECORRUPT},
    {"MiniFatMissing",
     [](FixtureView& v) { WriteU32(v.Header() + header::kMiniFatStart, ENDOFCHAIN); }, S_OK,
     STG_E_DOCFILECORRUPT},
    {"FileCutInsideLargeStream",
     [](FixtureView& v) { v.bytes.erase(v.bytes.end() - 1000, v.bytes.end()); }, S_OK,
     STG_E_DOCFILECORRUPT},
};

INSTANTIATE_TEST_SUITE_P(Table, CompoundFileDamage, ::testing::ValuesIn(kDamageCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CompoundFileDamage, TrailingBytesAfterTheLastSectorAreIgnored) {
    std::vector<BYTE> bytes = MakeFixture();
    bytes.push_back(0x0A);
    CComPtr<IStorage> root;
    ASSERT_EQ(OpenBytes(bytes, root.Receive()), S_OK);
    std::vector<ElementRecord> records;
    EXPECT_EQ(WalkTree(root.Get(), &records), S_OK);
    EXPECT_EQ(records.size(), 4u);
}

}  // namespace
