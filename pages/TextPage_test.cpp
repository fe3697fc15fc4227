// Tests of text pages: the line table built by Compile, its stored form, Load, the line
// and position queries and entity creation.
#include "pages/TextPage.h"

#include <gtest/gtest.h>

#include "com/ClassRegistry.h"
#include "idl/Identifiers.h"
#include "idl/ServiceInterfaces.h"
#include "pages/MemoryStream.h"

namespace {

std::vector<BYTE> Utf16Bytes(std::u16string_view text) {
    std::vector<BYTE> bytes;
    for (char16_t ch : text) {
        bytes.push_back(static_cast<BYTE>(ch));
        bytes.push_back(static_cast<BYTE>(ch >> 8));
    }
    return bytes;
}

std::vector<BYTE> TableBytes(const std::vector<ULONGLONG>& lines) {
    auto meta = MakeObject<CMemoryStream>();
    EXPECT_EQ(CTextPage::WriteArray(meta.Get(), lines), S_OK);
    return meta->Bytes();
}

// A page compiled from text, then loaded the way the storage manager loads it.
CComPtr<CTextPage> CompiledPage(std::u16string_view text, std::vector<BYTE>* pMeta = nullptr) {
    auto data = MakeObject<CMemoryStream>(Utf16Bytes(text));
    auto meta = MakeObject<CMemoryStream>();
    auto compiler = MakeObject<CTextPage>();
    EXPECT_EQ(compiler->Compile(meta.Get(), data.Get()), S_OK);
    EXPECT_EQ(meta->Bytes(), TableBytes(compiler->Lines()));
    if (pMeta)
        *pMeta = meta->Bytes();
    auto page = MakeObject<CTextPage>();
    meta->Seek(0, STREAM_SEEK_SET, nullptr);
    EXPECT_EQ(page->Load(0x809, meta.Get(), data.Get(), BSTR(u"page.asp"), BSTR(u"text/html"),
                         CLSID_ASPEntity, 1200),
              S_OK);
    return page;
}

struct CompileCase {
    std::u16string text;
    std::vector<ULONGLONG> lines;
};

class CompileTest : public testing::TestWithParam<CompileCase> {};

TEST_P(CompileTest, BuildsTheLineTable) {
    auto page = CompiledPage(GetParam().text);
    EXPECT_EQ(page->Lines(), GetParam().lines);
}

std::u16string LongLines() {
    // Lines that cross the 1024-character chunks of the reader.
    std::u16string text(1023, u'x');
    text += u"\n";
    text += std::u16string(1500, u'y');
    text += u"\n\n";
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CompileTest,
    testing::Values(CompileCase{u"", {0, 0}}, CompileCase{u"abc", {0, 6}},
                    CompileCase{u"abc\n", {0, 8, 8}}, CompileCase{u"a\r\nb", {0, 6, 8}},
                    CompileCase{u"\n\n", {0, 2, 4, 4}},
                    CompileCase{LongLines(), {0, 2048, 2048 + 3002, 2048 + 3004, 2048 + 3004}}));

TEST(TextPageTest, CompileKeepsAnOddLastByteOut) {
    auto data = MakeObject<CMemoryStream>(std::vector<BYTE>{'a', 0, 'b'});
    auto meta = MakeObject<CMemoryStream>();
    auto page = MakeObject<CTextPage>();
    ASSERT_EQ(page->Compile(meta.Get(), data.Get()), S_OK);
    EXPECT_EQ(page->Lines(), (std::vector<ULONGLONG>{0, 2}));
}

TEST(TextPageTest, LineQueries) {
    auto page = CompiledPage(u"a\r\nb\nlast");
    // Table [0, 6, 10, 18]: lines "a\r\n", "b\n", "last", then the end.
    ULONG cLines = 0, cChars = 0;
    EXPECT_EQ(page->GetSize(&cLines, &cChars), S_OK);
    EXPECT_EQ(cLines, 4u);
    EXPECT_EQ(cChars, 9u);

    BSTR text;
    ULONG pos = 99;
    EXPECT_EQ(page->GetLine(0, &text, &pos), S_OK);
    EXPECT_EQ(text.Str(), u"a\r\n");
    EXPECT_EQ(pos, 0u);
    EXPECT_EQ(page->GetLine(2, &text, &pos), S_OK);
    EXPECT_EQ(text.Str(), u"last");
    EXPECT_EQ(pos, 5u);
    EXPECT_EQ(page->GetLine(1, nullptr, &pos), S_OK);
    EXPECT_EQ(pos, 3u);
    // The end entry gives the number of characters and no text.
    EXPECT_EQ(page->GetLine(3, &text, &pos), S_FALSE);
    EXPECT_EQ(pos, 9u);
    EXPECT_EQ(page->GetLine(4, &text, &pos), E_INVALIDARG);
    EXPECT_EQ(page->GetLine(0, &text, nullptr), E_POINTER);

    EXPECT_EQ(page->GetPositionOfLine(2, &pos), S_OK);
    EXPECT_EQ(pos, 5u);
    EXPECT_EQ(page->GetPositionOfLine(4, &pos), E_INVALIDARG);

    EXPECT_EQ(page->GetText(2, 4, &text), S_OK);
    EXPECT_EQ(text.Str(), u"\nb\nl");
    EXPECT_EQ(page->GetText(7, 100, &text), S_OK);
    EXPECT_EQ(text.Str(), u"st");
    EXPECT_EQ(page->GetText(50, 2, &text), S_OK);
    EXPECT_EQ(text.Str(), u"");

    LONG codePage = 0;
    EXPECT_EQ(page->GetCodePage(&codePage), S_OK);
    EXPECT_EQ(codePage, 1200);
    BSTR name, mime;
    EXPECT_EQ(page->GetName(&name), S_OK);
    EXPECT_EQ(page->GetMimeType(&mime), S_OK);
    EXPECT_EQ(name.Str(), u"page.asp");
    EXPECT_EQ(mime.Str(), u"text/html");
}

TEST(TextPageTest, LineOfPosition) {
    auto page = CompiledPage(u"ab\ncd\nef");  // table [0, 6, 12, 16]
    const struct {
        ULONG pos;
        ULONG line;
    } cases[] = {{0, 0}, {2, 0}, {3, 0}, {4, 1}, {6, 1}, {7, 2}, {8, 2}};
    for (const auto& c : cases) {
        ULONG line = 99;
        EXPECT_EQ(page->GetLineOfPosition(c.pos, &line), S_OK) << c.pos;
        EXPECT_EQ(line, c.line) << c.pos;
    }
    ULONG line = 0;
    EXPECT_TRUE(FAILED(page->GetLineOfPosition(9, &line)));
    EXPECT_EQ(page->GetLineOfPosition(0, nullptr), E_POINTER);

    auto empty = CompiledPage(u"");
    EXPECT_EQ(empty->GetLineOfPosition(0, &line), S_OK);
    EXPECT_EQ(line, 0u);
    BSTR text;
    ULONG pos = 99;
    EXPECT_EQ(empty->GetLine(0, &text, &pos), S_FALSE);
    EXPECT_EQ(pos, 0u);

    // The empty line after a final line feed holds nothing either.
    auto ended = CompiledPage(u"abc\n");
    EXPECT_EQ(ended->GetLine(0, &text, &pos), S_OK);
    EXPECT_EQ(text.Str(), u"abc\n");
    EXPECT_EQ(ended->GetLine(1, &text, &pos), S_FALSE);
    EXPECT_EQ(pos, 4u);
}

TEST(TextPageTest, StoredTableRoundTrips) {
    const std::vector<ULONGLONG> lines = {0, 80, 84, 0x123456789ABCull, 0x123456789ABCull};
    const std::vector<BYTE> bytes = TableBytes(lines);
    ASSERT_EQ(bytes.size(), 4u + 8 * lines.size());
    EXPECT_EQ(bytes[0], 5);
    EXPECT_EQ(bytes[4 + 3 * 8], 0xBC);  // little-endian
    auto stream = MakeObject<CMemoryStream>(bytes);
    std::vector<ULONGLONG> read;
    EXPECT_EQ(CTextPage::ReadArray(stream.Get(), read), S_OK);
    EXPECT_EQ(read, lines);
}

TEST(TextPageTest, TruncatedTableFailsAndKeepsWholeEntries) {
    std::vector<BYTE> bytes = TableBytes({0, 8, 16});
    bytes.erase(bytes.end() - 3, bytes.end());
    auto stream = MakeObject<CMemoryStream>(bytes);
    std::vector<ULONGLONG> read;
    EXPECT_TRUE(FAILED(CTextPage::ReadArray(stream.Get(), read)));
    EXPECT_EQ(read, (std::vector<ULONGLONG>{0, 8}));

    auto shortCount = MakeObject<CMemoryStream>(std::vector<BYTE>{1, 0});
    EXPECT_TRUE(FAILED(CTextPage::ReadArray(shortCount.Get(), read)));

    // A count far beyond the stream fails at the end of the stream, not in allocation.
    auto hugeCount = MakeObject<CMemoryStream>(std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF, 1, 2});
    std::vector<ULONGLONG> none;
    EXPECT_TRUE(FAILED(CTextPage::ReadArray(hugeCount.Get(), none)));
    EXPECT_TRUE(none.empty());
}

TEST(TextPageTest, LoadWithAnEmptyTable) {
    auto meta = MakeObject<CMemoryStream>(std::vector<BYTE>{0, 0, 0, 0});
    auto data = MakeObject<CMemoryStream>(Utf16Bytes(u"text"));
    auto page = MakeObject<CTextPage>();
    ASSERT_EQ(
        page->Load(0, meta.Get(), data.Get(), BSTR(u"x.txt"), BSTR(u"text/plain"), GUID_NULL, 1200),
        S_OK);
    ULONG cLines = 9, cChars = 9, pos = 0;
    EXPECT_EQ(page->GetSize(&cLines, &cChars), S_OK);
    EXPECT_EQ(cLines, 0u);
    EXPECT_EQ(cChars, 0u);
    EXPECT_EQ(page->GetLine(0, nullptr, &pos), E_INVALIDARG);
}

TEST(TextPageTest, DamagedTableFailsTheLineRead) {
    // The table claims more text than the stream holds, and runs backwards after it.
    auto meta = MakeObject<CMemoryStream>(TableBytes({0, 1000000, 4}));
    auto data = MakeObject<CMemoryStream>(Utf16Bytes(u"ab"));
    auto page = MakeObject<CTextPage>();
    ASSERT_EQ(page->Load(0, meta.Get(), data.Get(), BSTR(), BSTR(), GUID_NULL, 1200), S_OK);
    BSTR text;
    ULONG pos = 0;
    EXPECT_TRUE(FAILED(page->GetLine(0, &text, &pos)));
    EXPECT_EQ(page->GetLine(1, &text, &pos), E_UNEXPECTED);
}

TEST(TextPageTest, QueriesWithoutDataStream) {
    auto page = MakeObject<CTextPage>();
    BSTR text;
    ULONG pos = 0;
    EXPECT_EQ(page->GetLine(0, &text, &pos), E_UNEXPECTED);
    EXPECT_EQ(page->GetText(0, 1, &text), E_UNEXPECTED);
    CComPtr<IStream> stream;
    EXPECT_EQ(page->GetDataStream(stream.Receive()), S_OK);
    EXPECT_FALSE(stream);
}

// An entity that records how it was initialised.
class CRecordingEntity : public CComObjectRoot<CRecordingEntity, IHTTPEntity> {
public:
    static inline LCID s_lcid = 0;
    static inline IPage* s_pPage = nullptr;
    static inline CLSID s_clsidCreated;
    HRESULT Init(LCID lcid, IApplication*, IPage* pPage) override {
        s_lcid = lcid;
        s_pPage = pPage;
        return S_OK;
    }
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = s_lcid;
        return S_OK;
    }
    HRESULT Close() override { return S_OK; }
    HRESULT Get(IRequest*, IUserObject*, IHTTPResponse*) override { return S_OK; }
};

class EntityTest : public testing::Test {
protected:
    void SetUp() override {
        for (const CLSID* clsid : {&CLSID_FileEntity, &CLSID_ASPEntity})
            CClassRegistry::Instance().Register(*clsid, {}, [clsid](const IID& riid, void** ppv) {
                CRecordingEntity::s_clsidCreated = *clsid;
                auto entity = MakeObject<CRecordingEntity>();
                return entity->QueryInterface(riid, ppv);
            });
    }
    void TearDown() override {
        CClassRegistry::Instance().Unregister(CLSID_FileEntity);
        CClassRegistry::Instance().Unregister(CLSID_ASPEntity);
    }
};

TEST_F(EntityTest, CreatesTheRecordedClassOrTheFileEntity) {
    auto asp = CompiledPage(u"<% x %>");
    CComPtr<IUnknown> entity;
    ASSERT_EQ(asp->CreateEntity(IIDOf<IHTTPEntity>(), nullptr, entity.Receive()), S_OK);
    EXPECT_EQ(CRecordingEntity::s_clsidCreated, CLSID_ASPEntity);
    EXPECT_EQ(CRecordingEntity::s_lcid, 0x809u);
    EXPECT_EQ(CRecordingEntity::s_pPage, static_cast<IPage*>(asp.Get()));

    auto plain = MakeObject<CTextPage>();
    ASSERT_EQ(plain->Load(0x409, nullptr, nullptr, BSTR(), BSTR(), GUID_NULL, 1200), S_OK);
    ASSERT_EQ(plain->CreateEntity(IIDOf<IEntity>(), nullptr, entity.Receive()), S_OK);
    EXPECT_EQ(CRecordingEntity::s_clsidCreated, CLSID_FileEntity);
    EXPECT_EQ(plain->CreateEntity(IIDOf<IASPEntity>(), nullptr, entity.Receive()), E_NOINTERFACE);
    EXPECT_EQ(plain->CreateEntity(IIDOf<IEntity>(), nullptr, nullptr), E_POINTER);
}

TEST_F(EntityTest, UnregisteredEntityClassFails) {
    auto page = MakeObject<CTextPage>();
    ASSERT_EQ(page->Load(0, nullptr, nullptr, BSTR(), BSTR(), CLSID_ASAEntity, 1200), S_OK);
    CComPtr<IUnknown> entity;
    EXPECT_EQ(page->CreateEntity(IIDOf<IEntity>(), nullptr, entity.Receive()), REGDB_E_CLASSNOTREG);
}

TEST(TextPageTest, RegisteredUnderItsClassId) {
    ASSERT_EQ(CTextPage::RegisterClass(), S_OK);
    CComPtr<ITextPage> page;
    EXPECT_EQ(CoCreateInstance(CLSID_TextPage, nullptr, CLSCTX_ALL, IIDOf<ITextPage>(),
                               page.ReceiveVoid()),
              S_OK);
    CComPtr<IPage> asPage;
    EXPECT_EQ(page.QueryInterface(asPage), S_OK);
}

}  // namespace
