// The storage, stream and enumerator interfaces as callers use them: finding elements
// by the format's name rule, read-only answers, reads at the end, seeks and clones.
#include "cfb/Storage.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>

#include "cfb/CfbTestSupport.h"
#include "cfb/CompoundFileWriter.h"
#include "cfb/StgOpen.h"
#include "com/Strings.h"

namespace {

constexpr DWORD kRead = STGM_READ | STGM_SHARE_EXCLUSIVE;

std::vector<BYTE> Pattern(size_t cb) {
    std::vector<BYTE> bytes(cb);
    for (size_t i = 0; i < cb; ++i)
        bytes[i] = static_cast<BYTE>(i * 13 + 5);
    return bytes;
}

class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        CCompoundFileWriter writer;
        ULONG common = 0;
        ASSERT_EQ(writer.AddStorage(CCompoundFileWriter::kRoot, u"Common", &common), S_OK);
        ASSERT_EQ(writer.SetClass(common, MakeGUID("{DBF06384-C900-40F1-AC8C-A347FA2F4FEF}")),
                  S_OK);
        ASSERT_EQ(writer.SetTimes(common, FILETIME::FromValue(111), FILETIME::FromValue(222)),
                  S_OK);
        ASSERT_EQ(writer.AddStream(common, u"about£asp", Pattern(756)), S_OK);
        ASSERT_EQ(writer.AddStream(common, u"data", Pattern(6900)), S_OK);
        ASSERT_EQ(writer.AddStream(CCompoundFileWriter::kRoot, u"empty", {}), S_OK);
        std::vector<BYTE> bytes;
        ASSERT_EQ(writer.WriteToBytes(&bytes), S_OK);
        ASSERT_EQ(OpenBytes(bytes, m_root.Receive()), S_OK);
        ASSERT_EQ(m_root->OpenStorage(u"common", nullptr, kRead, nullptr, 0, m_common.Receive()),
                  S_OK);
    }

    CComPtr<IStream> Open(const char16_t* name) {
        CComPtr<IStream> stream;
        EXPECT_EQ(m_common->OpenStream(name, nullptr, kRead, 0, stream.Receive()), S_OK);
        return stream;
    }

    CComPtr<IStorage> m_root;
    CComPtr<IStorage> m_common;
};

TEST_F(StorageTest, LookupFollowsTheNameRule) {
    struct {
        const char16_t* name;
        HRESULT hr;
    } cases[] = {
        {u"about£asp", S_OK},
        {u"ABOUT£ASP", S_OK},
        {u"About£Asp", S_OK},
        {u"about.asp", STG_E_FILENOTFOUND},
        {u"about£as", STG_E_FILENOTFOUND},
        {u"", STG_E_FILENOTFOUND},
        {u"0123456789012345678901234567890123", STG_E_INVALIDNAME},
    };
    for (const auto& c : cases) {
        CComPtr<IStream> stream;
        EXPECT_EQ(m_common->OpenStream(c.name, nullptr, kRead, 0, stream.Receive()), c.hr)
            << Utf16ToUtf8(c.name);
        EXPECT_EQ(static_cast<bool>(stream), c.hr == S_OK);
    }
    // A stream is not a storage and a storage is not a stream.
    CComPtr<IStorage> storage;
    EXPECT_EQ(m_common->OpenStorage(u"data", nullptr, kRead, nullptr, 0, storage.Receive()),
              STG_E_FILENOTFOUND);
    CComPtr<IStream> stream;
    EXPECT_EQ(m_root->OpenStream(u"Common", nullptr, kRead, 0, stream.Receive()),
              STG_E_FILENOTFOUND);
}

TEST_F(StorageTest, EverythingThatWouldChangeTheFileIsDenied) {
    CComPtr<IStream> stream;
    CComPtr<IStorage> storage;
    EXPECT_EQ(m_common->CreateStream(u"new", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                     stream.Receive()),
              STG_E_ACCESSDENIED);
    EXPECT_EQ(m_common->CreateStorage(u"new", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                      storage.Receive()),
              STG_E_ACCESSDENIED);
    EXPECT_EQ(m_common->DestroyElement(u"data"), STG_E_ACCESSDENIED);
    EXPECT_EQ(m_common->RenameElement(u"data", u"other"), STG_E_ACCESSDENIED);
    EXPECT_EQ(m_common->SetElementTimes(u"data", nullptr, nullptr, nullptr), STG_E_ACCESSDENIED);
    EXPECT_EQ(m_common->SetClass(GUID_NULL), STG_E_ACCESSDENIED);
    EXPECT_EQ(m_common->SetStateBits(1, 1), STG_E_ACCESSDENIED);
    EXPECT_EQ(m_common->MoveElementTo(u"data", m_root.Get(), u"data", 0), STG_E_ACCESSDENIED);
    // Opening for writing is refused; the element is still there to read.
    for (DWORD mode : {STGM_WRITE | STGM_SHARE_EXCLUSIVE, STGM_READWRITE | STGM_SHARE_EXCLUSIVE}) {
        EXPECT_EQ(m_common->OpenStream(u"data", nullptr, mode, 0, stream.Receive()),
                  STG_E_ACCESSDENIED);
        EXPECT_EQ(m_root->OpenStorage(u"Common", nullptr, mode, nullptr, 0, storage.Receive()),
                  STG_E_ACCESSDENIED);
    }
    EXPECT_EQ(m_common->OpenStream(u"data", nullptr, STGM_READ | STGM_CREATE, 0, stream.Receive()),
              STG_E_INVALIDFLAG);
    stream = Open(u"data");
    ULONG cbWritten = 7;
    EXPECT_EQ(stream->Write("x", 1, &cbWritten), STG_E_ACCESSDENIED);
    EXPECT_EQ(cbWritten, 0u);
    EXPECT_EQ(stream->SetSize(1), STG_E_ACCESSDENIED);
}

TEST_F(StorageTest, StatReportsNamesSizesTimesAndClass) {
    STATSTG stat;
    ASSERT_EQ(m_common->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.pwcsName.Str(), u"Common");
    EXPECT_EQ(stat.type, STGTY_STORAGE);
    EXPECT_EQ(stat.clsid, MakeGUID("{DBF06384-C900-40F1-AC8C-A347FA2F4FEF}"));
    EXPECT_EQ(stat.ctime.Value(), 111u);
    EXPECT_EQ(stat.mtime.Value(), 222u);
    EXPECT_EQ(stat.grfMode, kRead);
    ASSERT_EQ(m_common->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_TRUE(stat.pwcsName.IsNull());
    // The root is named after the byte array it was opened on.
    ASSERT_EQ(m_root->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.pwcsName.Str(), u"memory.cfb");
    ASSERT_EQ(Open(u"data")->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.pwcsName.Str(), u"data");
    EXPECT_EQ(stat.type, STGTY_STREAM);
    EXPECT_EQ(stat.cbSize, 6900u);
}

TEST_F(StorageTest, ReadAtTheEndAnswersSFalseWithTheCount) {
    CComPtr<IStream> stream = Open(u"about£asp");
    std::vector<BYTE> buffer(1000);
    ULONG cbRead = 0;
    EXPECT_EQ(stream->Read(buffer.data(), 700, &cbRead), S_OK);
    EXPECT_EQ(cbRead, 700u);
    EXPECT_EQ(stream->Read(buffer.data(), 100, &cbRead), S_FALSE);
    EXPECT_EQ(cbRead, 56u);
    EXPECT_EQ(buffer[55], Pattern(756)[755]);
    EXPECT_EQ(stream->Read(buffer.data(), 100, &cbRead), S_FALSE);
    EXPECT_EQ(cbRead, 0u);
    EXPECT_EQ(stream->Read(buffer.data(), 0, &cbRead), S_OK);
    EXPECT_EQ(stream->Read(nullptr, 1, &cbRead), STG_E_INVALIDPOINTER);
}

TEST_F(StorageTest, SeekMovesWithinAndPastTheEndButNeverBeforeTheStart) {
    CComPtr<IStream> stream = Open(u"data");
    const std::vector<BYTE> expected = Pattern(6900);
    ULONGLONG position = 0;
    struct {
        LONGLONG move;
        DWORD origin;
        HRESULT hr;
        ULONGLONG position;
    } steps[] = {
        {4095, STREAM_SEEK_SET, S_OK, 4095},
        {10, STREAM_SEEK_CUR, S_OK, 4105},
        {-1, STREAM_SEEK_END, S_OK, 6899},
        {100, STREAM_SEEK_END, S_OK, 7000},
        {-7001, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 7000},
        {INT64_MIN, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 7000},
        {INT64_MAX, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 7000},
        {0, 3, STG_E_INVALIDFUNCTION, 7000},
        {513, STREAM_SEEK_SET, S_OK, 513},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(stream->Seek(step.move, step.origin, &position), step.hr) << step.move;
        ASSERT_EQ(stream->Seek(0, STREAM_SEEK_CUR, &position), S_OK);
        EXPECT_EQ(position, step.position) << step.move;
    }
    // Reads continue at the position, across sector edges.
    std::vector<BYTE> buffer(2000);
    ULONG cbRead = 0;
    ASSERT_EQ(stream->Read(buffer.data(), 2000, &cbRead), S_OK);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), expected.begin() + 513));
    ASSERT_EQ(stream->Seek(100, STREAM_SEEK_END, nullptr), S_OK);
    EXPECT_EQ(stream->Read(buffer.data(), 10, &cbRead), S_FALSE);
    EXPECT_EQ(cbRead, 0u);
}

TEST_F(StorageTest, CloneStartsAtThePositionAndMovesOnItsOwn) {
    CComPtr<IStream> stream = Open(u"data");
    ASSERT_EQ(stream->Seek(4000, STREAM_SEEK_SET, nullptr), S_OK);
    CComPtr<IStream> clone;
    ASSERT_EQ(stream->Clone(clone.Receive()), S_OK);
    stream.Reset();  // the clone keeps what it needs alive
    BYTE byte = 0;
    ASSERT_EQ(clone->Read(&byte, 1, nullptr), S_OK);
    EXPECT_EQ(byte, Pattern(6900)[4000]);
    CComPtr<IStream> again = Open(u"data");
    ASSERT_EQ(again->Read(&byte, 1, nullptr), S_OK);
    EXPECT_EQ(byte, Pattern(6900)[0]);
}

TEST_F(StorageTest, EnumeratorGivesTreeOrderAndClonesKeepTheirPlace) {
    CComPtr<IEnumSTATSTG> enumerator;
    ASSERT_EQ(m_common->EnumElements(0, nullptr, 0, enumerator.Receive()), S_OK);
    STATSTG stats[3];
    ULONG cFetched = 0;
    EXPECT_EQ(enumerator->Next(3, stats, &cFetched), S_FALSE);
    ASSERT_EQ(cFetched, 2u);
    // Shorter names first.
    EXPECT_EQ(stats[0].pwcsName.Str(), u"data");
    EXPECT_EQ(stats[1].pwcsName.Str(), u"about£asp");
    EXPECT_EQ(stats[1].cbSize, 756u);
    EXPECT_EQ(enumerator->Next(2, stats, nullptr), STG_E_INVALIDPARAMETER);
    ASSERT_EQ(enumerator->Reset(), S_OK);
    ASSERT_EQ(enumerator->Skip(1), S_OK);
    CComPtr<IEnumSTATSTG> clone;
    ASSERT_EQ(enumerator->Clone(clone.Receive()), S_OK);
    EXPECT_EQ(enumerator->Skip(5), S_FALSE);
    ASSERT_EQ(clone->Next(1, stats, nullptr), S_OK);
    EXPECT_EQ(stats[0].pwcsName.Str(), u"about£asp");
}

TEST(StgOpenStorage, OpensFilesAndReportsWhyNot) {
    const std::string dir = ::testing::TempDir() + "cfb_open_" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    CCompoundFileWriter writer;
    ASSERT_EQ(writer.AddStream(CCompoundFileWriter::kRoot, u"a", {1, 2, 3}), S_OK);
    ASSERT_EQ(writer.WriteToFile(dir + "/site.dat"), S_OK);
    {
        std::FILE* f = std::fopen((dir + "/text.txt").c_str(), "w");
        std::fputs("not a compound file, but longer than a header would be......", f);
        std::fclose(f);
    }
    struct {
        std::string path;
        DWORD mode;
        HRESULT hr;
    } cases[] = {
        {dir + "/site.dat", kRead, S_OK},
        {dir + "/site.dat", STGM_READ | STGM_SHARE_DENY_WRITE, S_OK},
        {dir + "/site.dat", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STG_E_ACCESSDENIED},
        {dir + "/missing.dat", kRead, STG_E_FILENOTFOUND},
        {dir + "/missing/site.dat", kRead, STG_E_FILENOTFOUND},
        {dir + "/text.txt/site.dat", kRead, STG_E_PATHNOTFOUND},
        {dir, kRead, STG_E_ACCESSDENIED},
        {dir + "/text.txt", kRead, STG_E_INVALIDHEADER},
    };
    for (const auto& c : cases) {
        CComPtr<IStorage> root;
        EXPECT_EQ(StgOpenStorage(Utf8ToUtf16(c.path).c_str(), nullptr, c.mode, nullptr, 0,
                                 root.Receive()),
                  c.hr)
            << c.path;
        if (c.hr == S_OK) {
            STATSTG stat;
            ASSERT_EQ(root->Stat(&stat, STATFLAG_DEFAULT), S_OK);
            EXPECT_EQ(stat.pwcsName.ToUtf8(), c.path);
            EXPECT_NE(stat.mtime.Value(), 0u);
        }
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
