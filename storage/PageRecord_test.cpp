// Tests of page records: the stored examples byte for byte, counted strings, truncated
// records, element names, and loading pages out of a compound file.
#include "storage/PageRecord.h"

#include <gtest/gtest.h>

#include "cfb/CompoundFileWriter.h"
#include "cfb/MemoryLockBytes.h"
#include "cfb/StgOpen.h"
#include "com/ClassRegistry.h"
#include "idl/Identifiers.h"
#include "pages/MemoryStream.h"
#include "pages/TextPage.h"
#include "storage/FilePage.h"

namespace {

using Bytes = std::vector<BYTE>;

// ASCII text as UTF-16LE code units followed by the U+0000 terminator.
Bytes Terminated(std::string_view text) {
    Bytes bytes;
    for (char ch : text) {
        bytes.push_back(static_cast<BYTE>(ch));
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Le64(std::initializer_list<ULONGLONG> values) {
    Bytes bytes;
    for (ULONGLONG v : values)
        for (int b = 0; b < 8; ++b)
            bytes.push_back(static_cast<BYTE>(v >> (8 * b)));
    return bytes;
}

const std::vector<ULONGLONG> kBootLines = {0,   80,  84,  158, 162, 276, 280, 360, 364, 446, 450,
                                           498, 502, 640, 758, 912, 916, 934, 938, 960, 960};

// The record "boot£asa" in "Common" of the default site, field by field.
Bytes BootRecord() {
    return Concat({
        {0x84, 0x63, 0xF0, 0xDB, 0x00, 0xC9, 0xF1, 0x40, 0xAC, 0x8C, 0xA3, 0x47, 0xFA, 0x2F, 0x4F,
         0xEF},
        {0xFB, 0x57, 0x98, 0x47, 0xD7, 0xEE, 0xE3, 0x41, 0xA4, 0xC2, 0xD6, 0x9A, 0x9E, 0xEE, 0xB3,
         0xE5},
        {0x40, 0x00, 0x00, 0x00},
        Terminated("8BA20939BD8E40CF9CFFE7F7B799C1A"),
        {0x12, 0x00, 0x00, 0x00},
        Terminated("boot.asa"),
        {0x12, 0x00, 0x00, 0x00},
        Terminated("text/asa"),
        {0xB0, 0x04, 0x00, 0x00},
        {0x15, 0x00, 0x00, 0x00},
        Le64({0,   80,  84,  158, 162, 276, 280, 360, 364, 446, 450,
              498, 502, 640, 758, 912, 916, 934, 938, 960, 960}),
    });
}

// The record "taskbar£off£ico" in "Common/images".
Bytes IconRecord() {
    return Concat({
        {0x31, 0xB2, 0x76, 0xD1, 0x84, 0x5C, 0xE4, 0x49, 0xA5, 0xFE, 0xF4, 0x42, 0xBA, 0xF1, 0xAC,
         0x23},
        Bytes(16, 0),
        {64, 0, 0, 0},
        Terminated("307F0A2620D04F30BBC95F20118E426"),
        {46, 0, 0, 0},
        Terminated("images/taskbar.off.ico"),
        {26, 0, 0, 0},
        Terminated("image/x-icon"),
        {0, 0, 0, 0},
    });
}

CPageRecord BootFields() {
    CPageRecord record;
    record.clsidPage = CLSID_TextPage;
    record.clsidEntity = CLSID_ASAEntity;
    record.strDataStream = u"8BA20939BD8E40CF9CFFE7F7B799C1A";
    record.strName = u"boot.asa";
    record.strMimeType = u"text/asa";
    record.nCodePage = 1200;
    return record;
}

TEST(PageRecordTest, BootRecordByteForByte) {
    const Bytes expected = BootRecord();
    ASSERT_EQ(expected.size(), 320u);

    // Written: the fields, then the line table as a text page's Compile appends it.
    auto meta = MakeObject<CMemoryStream>(BootFields().ToBytes());
    meta->Seek(0, STREAM_SEEK_END, nullptr);
    ASSERT_EQ(CTextPage::WriteArray(meta.Get(), kBootLines), S_OK);
    EXPECT_EQ(meta->Bytes(), expected);

    // Read back.
    auto stream = MakeObject<CMemoryStream>(expected);
    CPageRecord record;
    ASSERT_EQ(record.Read(stream.Get()), S_OK);
    EXPECT_EQ(record.clsidPage, CLSID_TextPage);
    EXPECT_EQ(record.clsidEntity, CLSID_ASAEntity);
    EXPECT_EQ(record.strDataStream, u"8BA20939BD8E40CF9CFFE7F7B799C1A");
    EXPECT_EQ(record.strName, u"boot.asa");
    EXPECT_EQ(record.strMimeType, u"text/asa");
    EXPECT_EQ(record.nCodePage, 1200);
    ULONGLONG pos = 0;
    stream->Seek(0, STREAM_SEEK_CUR, &pos);
    EXPECT_EQ(pos, 148u);
    std::vector<ULONGLONG> lines;
    ASSERT_EQ(CTextPage::ReadArray(stream.Get(), lines), S_OK);
    EXPECT_EQ(lines, kBootLines);
}

TEST(PageRecordTest, FileRecordByteForByte) {
    const Bytes expected = IconRecord();
    ASSERT_EQ(expected.size(), 184u);
    CPageRecord record;
    record.clsidPage = CLSID_FilePage;
    record.strDataStream = u"307F0A2620D04F30BBC95F20118E426";
    record.strName = u"images/taskbar.off.ico";
    record.strMimeType = u"image/x-icon";
    EXPECT_EQ(record.ToBytes(), expected);

    auto stream = MakeObject<CMemoryStream>(expected);
    CPageRecord read;
    ASSERT_EQ(read.Read(stream.Get()), S_OK);
    EXPECT_EQ(read.clsidPage, CLSID_FilePage);
    EXPECT_TRUE(read.clsidEntity.IsNull());
    EXPECT_EQ(read.strName, u"images/taskbar.off.ico");
    EXPECT_EQ(read.nCodePage, 0);
}

TEST(PageRecordTest, EveryTruncationFails) {
    // A record that ends inside any field fails, in the fields or in the line table.
    const Bytes full = BootRecord();
    for (size_t cb = 0; cb < full.size(); ++cb) {
        auto stream = MakeObject<CMemoryStream>(Bytes(full.begin(), full.begin() + cb));
        CPageRecord record;
        HRESULT hr = record.Read(stream.Get());
        if (SUCCEEDED(hr)) {
            std::vector<ULONGLONG> lines;
            hr = CTextPage::ReadArray(stream.Get(), lines);
        }
        EXPECT_TRUE(FAILED(hr)) << cb << " bytes";
    }
}

struct CountedCase {
    const char* label;
    Bytes bytes;
    HRESULT hr;
    std::u16string text;
    ULONGLONG position;  // where the stream is afterwards
};

class CountedStringTest : public testing::TestWithParam<CountedCase> {};

TEST_P(CountedStringTest, Reads) {
    const CountedCase& c = GetParam();
    auto stream = MakeObject<CMemoryStream>(c.bytes);
    std::u16string text = u"old";
    EXPECT_EQ(CPageRecord::ReadCountedString(stream.Get(), &text), c.hr);
    if (SUCCEEDED(c.hr)) {
        EXPECT_EQ(text, c.text);
    }
    ULONGLONG pos = 0;
    stream->Seek(0, STREAM_SEEK_CUR, &pos);
    EXPECT_EQ(pos, c.position);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, CountedStringTest,
    testing::Values(CountedCase{"EmptyConsumesFourBytes", {0, 0, 0, 0, 'x', 0}, S_OK, u"", 4},
                    CountedCase{"CountOfOneRejected", {1, 0, 0, 0, 0, 0}, E_FAIL, u"", 4},
                    CountedCase{"OddCountRejected", {3, 0, 0, 0, 'a', 0, 0}, E_FAIL, u"", 4},
                    CountedCase{"OverOneMegabyteRejected", {2, 0, 0x10, 0}, E_FAIL, u"", 4},
                    CountedCase{"TerminatorOnly", {2, 0, 0, 0, 0, 0}, S_OK, u"", 6},
                    CountedCase{"Text", Concat({{6, 0, 0, 0}, Terminated("ab")}), S_OK, u"ab", 10},
                    // A string that ends early puts the stream back before its count.
                    CountedCase{"TruncatedGoesBack", {8, 0, 0, 0, 'a', 0, 'b'}, E_FAIL, u"", 0},
                    CountedCase{"ShortCount", {6, 0}, E_FAIL, u"", 2}),
    [](const testing::TestParamInfo<CountedCase>& info) { return info.param.label; });

TEST(PageRecordTest, ElementNames) {
    const struct {
        std::u16string page;
        std::u16string element;
    } cases[] = {
        {u"about.asp", u"about\u00A3asp"},
        {u"images/taskbar.off.ico", u"taskbar\u00A3off\u00A3ico"},
        {u"my.dir/plain", u"plain"},
        {u"noext", u"noext"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CPageRecord::ElementNameOf(c.page), c.element);
}

// A folder written with the compound-file writer and opened with the reader.
class LoadPageTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CTextPage::RegisterClass(), S_OK);
        ASSERT_EQ(CFilePage::RegisterClass(), S_OK);

        CCompoundFileWriter writer;
        ULONG idFolder = 0;
        ASSERT_EQ(writer.AddStorage(CCompoundFileWriter::kRoot, u"0x809", &idFolder), S_OK);

        Bytes text;
        for (char ch : std::string("line one\r\nline two\n")) {
            text.push_back(static_cast<BYTE>(ch));
            text.push_back(0);
        }
        CPageRecord page = BootFields();
        page.strDataStream = u"DATA1";
        page.strName = u"a.asa";
        Bytes record = page.ToBytes();
        const Bytes table = Concat({{3, 0, 0, 0}, Le64({0, 20, 38})});
        record.insert(record.end(), table.begin(), table.end());
        ASSERT_EQ(writer.AddStream(idFolder, u"a\u00A3asa", record), S_OK);
        ASSERT_EQ(writer.AddStream(idFolder, u"DATA1", text), S_OK);

        // A file record with bytes after its code page, which the file page ignores.
        Bytes icon = IconRecord();
        icon.insert(icon.end(), {9, 9, 9});
        ASSERT_EQ(writer.AddStream(idFolder, u"taskbar\u00A3off\u00A3ico", icon), S_OK);
        ASSERT_EQ(writer.AddStream(idFolder, u"307F0A2620D04F30BBC95F20118E426", Bytes{1, 2, 3}),
                  S_OK);

        CPageRecord orphan = BootFields();
        orphan.strDataStream = u"MISSING";
        ASSERT_EQ(writer.AddStream(idFolder, u"orphan", orphan.ToBytes()), S_OK);

        CPageRecord unknown = BootFields();
        unknown.clsidPage = CLSID_Server;
        unknown.strDataStream = u"DATA1";
        ASSERT_EQ(writer.AddStream(idFolder, u"unknown", unknown.ToBytes()), S_OK);

        Bytes file;
        ASSERT_EQ(writer.WriteToBytes(&file), S_OK);
        auto lockBytes = MakeObject<CMemoryLockBytes>(std::move(file));
        CComPtr<IStorage> root;
        ASSERT_EQ(StgOpenStorageOnILockBytes(lockBytes.Get(), nullptr, STGM_SHARE_EXCLUSIVE,
                                             nullptr, 0, root.Receive()),
                  S_OK);
        ASSERT_EQ(root->OpenStorage(u"0x809", nullptr, STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                    m_folder.Receive()),
                  S_OK);
    }

    CComPtr<IStorage> m_folder;
};

TEST_F(LoadPageTest, LoadsATextPage) {
    CComPtr<IPage> page;
    ASSERT_EQ(CPageRecord::LoadPage(m_folder.Get(), u"a\u00A3asa", 0x809, page.Receive()), S_OK);
    CComPtr<ITextPage> text;
    ASSERT_EQ(page.QueryInterface(text), S_OK);
    BSTR line;
    ULONG pos = 0;
    EXPECT_EQ(text->GetLine(1, &line, &pos), S_OK);
    EXPECT_EQ(line.Str(), u"line two\n");
    EXPECT_EQ(pos, 10u);
    BSTR name;
    EXPECT_EQ(page->GetName(&name), S_OK);
    EXPECT_EQ(name.Str(), u"a.asa");
}

TEST_F(LoadPageTest, LoadsAFilePage) {
    CComPtr<IPage> page;
    ASSERT_EQ(
        CPageRecord::LoadPage(m_folder.Get(), u"taskbar\u00A3off\u00A3ico", 0, page.Receive()),
        S_OK);
    CComPtr<ITextPage> text;
    EXPECT_EQ(page.QueryInterface(text), E_NOINTERFACE);
    BSTR mime;
    EXPECT_EQ(page->GetMimeType(&mime), S_OK);
    EXPECT_EQ(mime.Str(), u"image/x-icon");
    CComPtr<IStream> data;
    ASSERT_EQ(page->GetDataStream(data.Receive()), S_OK);
    BYTE bytes[4];
    ULONG cbRead = 0;
    data->Read(bytes, 4, &cbRead);
    EXPECT_EQ(cbRead, 3u);
}

TEST_F(LoadPageTest, Failures) {
    CComPtr<IPage> page;
    bool fMissing = true;
    EXPECT_EQ(CPageRecord::LoadPage(m_folder.Get(), u"nothing", 0, page.Receive(), &fMissing),
              STG_E_FILENOTFOUND);
    EXPECT_FALSE(fMissing);

    EXPECT_EQ(CPageRecord::LoadPage(m_folder.Get(), u"orphan", 0, page.Receive(), &fMissing),
              STG_E_FILENOTFOUND);
    EXPECT_TRUE(fMissing);
    EXPECT_FALSE(page);

    EXPECT_EQ(CPageRecord::LoadPage(m_folder.Get(), u"unknown", 0, page.Receive(), &fMissing),
              REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(fMissing);
    EXPECT_FALSE(page);
}

}  // namespace
