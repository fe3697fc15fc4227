// Tests of the storage manager: the search order across sites, languages, "Common" and
// the fallback language; names in any case; the page and entity caches; broken and
// missing site files; external site names that lead out of the site directory; many
// threads at once; and the default site.
#include "storage/StorageManager.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <thread>

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "idl/Identifiers.h"
#include "idl/ServiceInterfaces.h"
#include "pages/TextPage.h"
#include "sites/DefaultSite.h"
#include "storage/FilePage.h"
#include "storage/PageRecord.h"
#include "storage/TestSite.h"

namespace {

namespace fs = std::filesystem;

constexpr CLSID CLSID_TestEntity = MakeGUID("{6B1D2C9A-0E57-4F0B-9C55-2D3A41F0E7B1}");

// An entity that records how it was made and closed.
class CTestEntity : public CComObjectRoot<CTestEntity, IHTTPEntity> {
public:
    static inline std::atomic<int> s_nInits{0};
    static inline std::atomic<int> s_nCloses{0};

    HRESULT Init(LCID lcid, IApplication*, IPage* pPage) override {
        ++s_nInits;
        m_lcid = lcid;
        return pPage ? S_OK : E_INVALIDARG;
    }
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = m_lcid;
        return S_OK;
    }
    HRESULT Close() override {
        ++s_nCloses;
        return S_OK;
    }
    HRESULT Get(IRequest*, IUserObject*, IHTTPResponse*) override { return E_NOTIMPL; }

private:
    LCID m_lcid = 0;
};

std::string PageText(IPage* pPage) {
    CComPtr<IStream> ptrStream;
    if (FAILED(pPage->GetDataStream(ptrStream.Receive())))
        return "<no stream>";
    ptrStream->Seek(0, STREAM_SEEK_SET, nullptr);
    std::string text;
    char buffer[4096];
    ULONG cbRead = 0;
    do {
        cbRead = 0;
        ptrStream->Read(buffer, sizeof buffer, &cbRead);
        text.append(buffer, cbRead);
    } while (cbRead == sizeof buffer);
    return text;
}

std::string ReadSource(const char* path) {
    std::ifstream in(std::string(CORVANE_SOURCE_DIR) + "/" + path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A file page whose content names the site, folder and page it came from.
void AddMarked(CTestSite& site, std::string_view tag, std::string_view folder,
               std::string_view name) {
    ASSERT_EQ(S_OK, site.AddFilePage(
                        folder, name,
                        std::string(tag) + ":" + std::string(folder) + "/" + std::string(name)));
}

class StorageManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(S_OK, CTextPage::RegisterClass());
        ASSERT_EQ(S_OK, CFilePage::RegisterClass());
        ASSERT_EQ(S_OK,
                  CClassRegistry::Instance().RegisterClass<CTestEntity>(CLSID_TestEntity, u""));
    }

    void SetUp() override {
        std::string strTemplate = ::testing::TempDir() + "storage_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(strTemplate.data()));
        m_dirTemp = strTemplate;
        m_dirSites = m_dirTemp / "sites";
        fs::create_directories(m_dirSites);
    }
    void TearDown() override { fs::remove_all(m_dirTemp); }

    // The embedded site of the search tests, with two external sites beside it.
    void BuildSearchSites() {
        CTestSite main;
        for (auto [folder, name] : std::initializer_list<std::pair<const char*, const char*>>{
                 {"0x409", "both.asp"},
                 {"0x809", "both.asp"},
                 {"0x809", "about.asp"},
                 {"0x409", "fallback.asp"},
                 {"0x409", "lang.asp"},
                 {"Common", "lang.asp"},
                 {"Common", "common.asp"},
                 {"Common", "images/taskbar.on.ico"},
                 {"0x809", "mixed.asp"},
                 {"0x809", "nodata.asp"},
             })
            AddMarked(main, "M", folder, name);
        ASSERT_EQ(S_OK, main.AddFilePage("Common", "entity.asp", "entity", CLSID_TestEntity));
        ASSERT_EQ(S_OK, main.AddFilePage("Common", "global.asa", "global", CLSID_TestEntity));
        ASSERT_EQ(S_OK, main.WriteToBytes(&m_arrMain));

        CTestSite e1;
        AddMarked(e1, "E1", "0x809", "about.asp");
        AddMarked(e1, "E1", "0x407", "only407.asp");
        ASSERT_EQ(S_OK, e1.WriteToFile((m_dirSites / "e1.dat").string()));
        CTestSite e2;
        AddMarked(e2, "E2", "0x809", "about.asp");
        AddMarked(e2, "E2", "Common", "mixed.asp");
        ASSERT_EQ(S_OK, e2.WriteToFile((m_dirSites / "e2.dat").string()));
    }

    std::unique_ptr<CStorageManager> NewManager(const std::vector<BYTE>& main) {
        auto pManager = std::make_unique<CStorageManager>();
        EXPECT_EQ(S_OK,
                  pManager->SetEmbeddedSite(main, FILETIME::FromValue(1), FILETIME::FromValue(2),
                                            FILETIME::FromValue(3), u"corvane"));
        pManager->SetSiteDirectory(m_dirSites);
        return pManager;
    }

    std::unique_ptr<CStorageManager> NewSearchManager() {
        auto pManager = NewManager(m_arrMain);
        EXPECT_EQ(S_OK, pManager->Add(BSTR(u"e1.dat")));
        EXPECT_EQ(S_OK, pManager->Add(BSTR(u"e2.dat")));
        return pManager;
    }

    fs::path m_dirTemp;
    fs::path m_dirSites;
    std::vector<BYTE> m_arrMain;
};

TEST_F(StorageManagerTest, SearchOrderAcrossSitesLanguagesAndCommon) {
    BuildSearchSites();
    auto pManager = NewSearchManager();
    ASSERT_EQ(S_OK, pManager->put_DefaultPage(BSTR(u"about.asp")));

    struct Case {
        LCID lcid;
        std::u16string_view name;
        HRESULT hr;
        std::string_view text;
    } const cases[] = {
        // External sites come first, in the order added.
        {0x809, u"about.asp", S_OK, "E1:0x809/about.asp"},
        // Names compare as the compound file compares them.
        {0x809, u"About.ASP", S_OK, "E1:0x809/about.asp"},
        {0x809, u"IMAGES/Taskbar.On.ICO", S_OK, "M:Common/images/taskbar.on.ico"},
        {0x407, u"common.asp", S_OK, "M:Common/common.asp"},
        {0x809, u"fallback.asp", S_OK, "M:0x409/fallback.asp"},
        // Within a site the language folder comes before "Common", and "Common" before
        // the fallback language.
        {0x409, u"lang.asp", S_OK, "M:0x409/lang.asp"},
        {0x407, u"lang.asp", S_OK, "M:Common/lang.asp"},
        // An earlier site's "Common" comes before a later site's language folder.
        {0x809, u"mixed.asp", S_OK, "E2:Common/mixed.asp"},
        {0x407, u"only407.asp", S_OK, "E1:0x407/only407.asp"},
        {0x809, u"only407.asp", STG_E_FILENOTFOUND, ""},
        {0x809, u"missing.asp", STG_E_FILENOTFOUND, ""},
        {0x809, u"../0x409/fallback.asp", STG_E_FILENOTFOUND, ""},
        {0x809, u"/", S_OK, "E1:0x809/about.asp"},
        // Names that no site can hold are not found, whatever the format thinks of them.
        {0x809, u"", STG_E_FILENOTFOUND, ""},
        {0x809, u"images/", STG_E_FILENOTFOUND, ""},
        {0x809, u"images//taskbar.on.ico", STG_E_FILENOTFOUND, ""},
        {0x809, u"a-name-longer-than-thirty-one-characters.asp", STG_E_FILENOTFOUND, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.name) + " " + std::to_string(c.lcid));
        CComPtr<IPage> ptrPage;
        ASSERT_EQ(c.hr, pManager->LoadPage(c.lcid, c.name, ptrPage.Receive()));
        if (SUCCEEDED(c.hr)) {
            EXPECT_EQ(c.text, PageText(ptrPage.Get()));
        } else {
            EXPECT_FALSE(ptrPage);
        }
    }
}

TEST_F(StorageManagerTest, PageCacheReturnsTheSameObjectPerLanguage) {
    BuildSearchSites();
    auto pManager = NewSearchManager();
    CComPtr<IPage> ptrFirst, ptrAgain, ptrOtherCase;
    ASSERT_EQ(S_OK, pManager->LoadPage(0x407, u"both.asp", ptrFirst.Receive()));
    ASSERT_EQ(S_OK, pManager->LoadPage(0x407, u"both.asp", ptrAgain.Receive()));
    ASSERT_EQ(S_OK, pManager->LoadPage(0x407, u"BOTH.asp", ptrOtherCase.Receive()));
    EXPECT_EQ(ptrFirst, ptrAgain);
    EXPECT_EQ(ptrFirst, ptrOtherCase);
    EXPECT_EQ("M:0x409/both.asp", PageText(ptrFirst.Get()));

    // What was found in the fallback language for 0x407 must not answer for 0x809,
    // which has its own page.
    CComPtr<IPage> ptr809;
    ASSERT_EQ(S_OK, pManager->LoadPage(0x809, u"both.asp", ptr809.Receive()));
    EXPECT_EQ("M:0x809/both.asp", PageText(ptr809.Get()));
}

TEST_F(StorageManagerTest, EntityCacheCreatesOneEntityPerPageAndLanguage) {
    BuildSearchSites();
    auto pManager = NewSearchManager();
    CComPtr<IUnknown> ptrA, ptrB, ptrOther;
    ASSERT_EQ(S_OK,
              pManager->LoadEntity(0x809, u"entity.asp", IIDOf<IHTTPEntity>(), ptrA.Receive()));
    ASSERT_EQ(S_OK,
              pManager->LoadEntity(0x809, u"Entity.asp", IIDOf<IHTTPEntity>(), ptrB.Receive()));
    ASSERT_EQ(S_OK,
              pManager->LoadEntity(0x407, u"entity.asp", IIDOf<IHTTPEntity>(), ptrOther.Receive()));
    EXPECT_EQ(ptrA, ptrB);
    EXPECT_NE(ptrA, ptrOther);
    // Each language's entity runs in that language, though both share "Common".
    LCID lcid = 0;
    ComQuery<IEntity>(ptrA.Get())->GetLCID(&lcid);
    EXPECT_EQ(0x809u, lcid);
    ComQuery<IEntity>(ptrOther.Get())->GetLCID(&lcid);
    EXPECT_EQ(0x407u, lcid);

    // A page whose entity class is not registered fails at the entity, not the page.
    CComPtr<IUnknown> ptrNone;
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              pManager->LoadEntity(0x809, u"nodata.asp", IIDOf<IHTTPEntity>(), ptrNone.Receive()));
    EXPECT_FALSE(ptrNone);
}

TEST_F(StorageManagerTest, GlobalAsaFailureIsACriticalFailure) {
    CTestSite empty;
    AddMarked(empty, "M", "0x409", "index.asp");
    std::vector<BYTE> bytes;
    ASSERT_EQ(S_OK, empty.WriteToBytes(&bytes));
    auto pManager = NewManager(bytes);
    std::vector<std::u16string> shown;
    pManager->SetCriticalFailureHandler([&](std::u16string_view title, std::u16string_view text) {
        shown.push_back(std::u16string(title) + u"|" + std::u16string(text));
    });
    CComPtr<IUnknown> ptrEntity;
    EXPECT_EQ(STG_E_FILENOTFOUND, pManager->LoadEntity(0x409, u"missing.asp", IIDOf<IHTTPEntity>(),
                                                       ptrEntity.Receive()));
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(STG_E_FILENOTFOUND, pManager->LoadEntity(0x409, u"Global.ASA", IIDOf<IScriptEntity>(),
                                                       ptrEntity.Receive()));
    EXPECT_EQ(
        STG_E_FILENOTFOUND,
        pManager->LoadEntity_i(0x409, u"global.asa", IIDOf<IScriptEntity>(), ptrEntity.Receive()));
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(
        u"Critical Failure|Failed to load global.asa successfully.\n\nContact your support "
        u"line for further advice.",
        shown[0]);
}

TEST_F(StorageManagerTest, BrokenSiteFilesAreRefusedAndTheOthersStillSearched) {
    BuildSearchSites();
    auto pManager = NewSearchManager();

    std::vector<BYTE> good;
    {
        std::ifstream in(m_dirSites / "e1.dat", std::ios::binary);
        good.assign(std::istreambuf_iterator<char>(in), {});
    }
    auto write = [&](const char* name, const std::vector<BYTE>& bytes) {
        std::ofstream(m_dirSites / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    };
    write("empty.dat", {});
    write("garbage.dat", std::vector<BYTE>(4096, 'x'));
    write("truncated.dat", std::vector<BYTE>(good.begin(), good.begin() + 600));
    fs::create_directory(m_dirSites / "folder.dat");
    for (const char16_t* name :
         {u"nosuch.dat", u"empty.dat", u"garbage.dat", u"truncated.dat", u"folder.dat"}) {
        SCOPED_TRACE(Utf16ToUtf8(name));
        const HRESULT hr = pManager->Add(BSTR(name));
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    }
    LONG nCount = 0;
    ASSERT_EQ(S_OK, pManager->get_Count(&nCount));
    EXPECT_EQ(2, nCount);

    // A site that opens but holds a damaged record and a record without its data: both
    // are passed over for the later sites; a page only the damaged record could give
    // fails with the record's error rather than "not found".
    CTestSite broken;
    ASSERT_EQ(S_OK, broken.AddRecord("0x409", "common.asp", {1, 0, 0, 0}));
    ASSERT_EQ(S_OK, broken.AddRecord("0x809", "badrecord.asp", {1, 0, 0, 0}));
    // A record naming a data stream that the site does not have.
    CPageRecord record;
    record.clsidPage = CLSID_FilePage;
    record.strDataStream = u"NOSUCHSTREAM";
    record.strName = u"nodata.asp";
    record.strMimeType = u"text/plain";
    ASSERT_EQ(S_OK, broken.AddRecord("0x809", "nodata.asp", record.ToBytes()));
    ASSERT_EQ(S_OK, broken.WriteToFile((m_dirSites / "broken.dat").string()));
    auto pFresh = NewManager(m_arrMain);
    ASSERT_EQ(S_OK, pFresh->Add(BSTR(u"broken.dat")));

    struct Case {
        LCID lcid;
        std::u16string_view name;
        HRESULT hr;
        std::string_view text;
    } const cases[] = {
        {0x409, u"common.asp", S_OK, "M:Common/common.asp"},
        {0x809, u"nodata.asp", S_OK, "M:0x809/nodata.asp"},
        {0x809, u"badrecord.asp", E_FAIL, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.name));
        CComPtr<IPage> ptrPage;
        ASSERT_EQ(c.hr, pFresh->LoadPage(c.lcid, c.name, ptrPage.Receive()));
        if (SUCCEEDED(c.hr)) {
            EXPECT_EQ(c.text, PageText(ptrPage.Get()));
        }
    }
    CComPtr<IPage> ptrPage;
    ASSERT_EQ(S_OK, pManager->LoadPage(0x809, u"about.asp", ptrPage.Receive()));
    EXPECT_EQ("E1:0x809/about.asp", PageText(ptrPage.Get()));
}

TEST_F(StorageManagerTest, ExternalSiteNamesStayInTheSiteDirectory) {
    CTestSite site;
    AddMarked(site, "S", "0x409", "a.asp");
    fs::create_directories(m_dirSites / "sub");
    fs::create_directories(m_dirTemp / "outside");
    ASSERT_EQ(S_OK, site.WriteToFile((m_dirSites / "site.dat").string()));
    ASSERT_EQ(S_OK, site.WriteToFile((m_dirTemp / "outside" / "site.dat").string()));
    fs::create_symlink(m_dirTemp / "outside" / "site.dat", m_dirSites / "link.dat");
    fs::create_directory_symlink(m_dirTemp / "outside", m_dirSites / "linkdir");
    auto pManager = NewManager(m_arrMain);

    const std::u16string strOutside = Utf8ToUtf16((m_dirTemp / "outside" / "site.dat").string());
    struct Case {
        std::u16string name;
        HRESULT hr;
    } const cases[] = {
        {u"../outside/site.dat", E_ACCESSDENIED},
        {strOutside, E_ACCESSDENIED},
        {u"sub/../../outside/site.dat", E_ACCESSDENIED},
        {u"link.dat", E_ACCESSDENIED},
        {u"linkdir/site.dat", E_ACCESSDENIED},
        {u".", E_ACCESSDENIED},
        {u"", E_INVALIDARG},
        {u"sub/../site.dat", S_OK},
        // The same file again, however it is named.
        {u"./site.dat", E_INVALIDARG},
        {u"site.dat", E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.name));
        EXPECT_EQ(c.hr, pManager->Add(BSTR(c.name)));
    }
    CComVariant varName;
    ASSERT_EQ(S_OK, pManager->get_Item(CComVariant(1L), &varName));
    EXPECT_EQ(Utf8ToUtf16((fs::canonical(m_dirSites) / "site.dat").string()), varName.Text());
}

TEST_F(StorageManagerTest, ConcurrentLookupsShareOnePagePerKey) {
    BuildSearchSites();
    auto pManager = NewSearchManager();
    struct Lookup {
        LCID lcid;
        std::u16string_view name;
    };
    const Lookup lookups[] = {{0x809, u"about.asp"},
                              {0x407, u"common.asp"},
                              {0x809, u"fallback.asp"},
                              {0x809, u"missing.asp"},
                              {0x409, u"images/taskbar.on.ico"}};
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    std::vector<std::vector<IPage*>> seen(kThreads, std::vector<IPage*>(std::size(lookups)));
    std::vector<std::vector<IUnknown*>> entities(kThreads, std::vector<IUnknown*>(2));
    std::atomic<int> nFailures{0};
    const int nInitsBefore = CTestEntity::s_nInits;
    const int nClosesBefore = CTestEntity::s_nCloses;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                for (size_t i = 0; i < std::size(lookups); ++i) {
                    CComPtr<IPage> ptrPage;
                    const HRESULT hr =
                        pManager->LoadPage(lookups[i].lcid, lookups[i].name, ptrPage.Receive());
                    if (FAILED(hr) != (lookups[i].name == u"missing.asp") ||
                        (seen[t][i] && seen[t][i] != ptrPage.Get()))
                        ++nFailures;
                    seen[t][i] = ptrPage.Get();
                }
                for (LCID lcid : {0x809u, 0x407u}) {
                    CComPtr<IUnknown> ptrEntity;
                    if (FAILED(pManager->LoadEntity(lcid, u"entity.asp", IIDOf<IHTTPEntity>(),
                                                    ptrEntity.Receive())))
                        ++nFailures;
                    IUnknown*& first = entities[t][lcid == 0x809u ? 0 : 1];
                    if (first && first != ptrEntity.Get())
                        ++nFailures;
                    first = ptrEntity.Get();
                }
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, nFailures.load());
    for (int t = 1; t < kThreads; ++t) {
        EXPECT_EQ(seen[0], seen[t]);
        EXPECT_EQ(entities[0], entities[t]);
    }
    // Entities created by threads that lost the race were closed: two stay open.
    EXPECT_EQ(2, (CTestEntity::s_nInits - nInitsBefore) - (CTestEntity::s_nCloses - nClosesBefore));
}

TEST_F(StorageManagerTest, TracingWritesTheRequestsPathsAndSites) {
    BuildSearchSites();
    const fs::path log = m_dirTemp / "trace.log";
    CDiagnosticLog::Instance().ResetForTest();
    CDiagnosticLog::Instance().SetPathSource(
        [&]() -> std::optional<std::string> { return log.string(); });
    {
        auto pManager = NewManager(m_arrMain);
        pManager->SetTracing(true);
        ASSERT_EQ(S_OK, pManager->Add(BSTR(u"e1.dat")));
        CComPtr<IPage> ptrPage;
        ASSERT_EQ(S_OK, pManager->LoadPage(0x809, u"fallback.asp", ptrPage.Receive()));
    }
    CDiagnosticLog::Instance().ResetForTest();
    CDiagnosticLog::Instance().SetPathSource(nullptr);

    std::ifstream in(log);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    const std::string expected[] = {
        "Added storage: " + (fs::canonical(m_dirSites) / "e1.dat").string(),
        "Loading fallback.asp, for lcid: 0x809...",
        "Trying 0x809/fallback.asp...",
        "Trying Common/fallback.asp...",
        "Trying 0x409/fallback.asp...",
        "Loaded 0x409/fallback.asp",
    };
    size_t nPos = 0;
    for (const std::string& line : expected) {
        nPos = text.find(line, nPos);
        ASSERT_NE(std::string::npos, nPos) << line << "\nin:\n" << text;
    }
}

TEST_F(StorageManagerTest, DefaultSiteAboutPageAndFallback) {
    const std::span<const BYTE> bytes = DefaultSiteBytes();
    CStorageManager manager;
    ASSERT_EQ(S_OK, manager.SetEmbeddedSite(bytes, FILETIME(), FILETIME(), FILETIME()));
    // The entity classes live above this library: the boot script cannot run here, which
    // the first call reports; the site is open all the same and stays so.
    EXPECT_EQ(REGDB_E_CLASSNOTREG, manager.CheckStarted());
    EXPECT_EQ(S_OK, manager.CheckStarted());

    CComPtr<IPage> ptrAbout;
    ASSERT_EQ(S_OK, manager.LoadPage(0x809, u"about.asp", ptrAbout.Receive()));
    CComPtr<ITextPage> ptrText = ComQuery<ITextPage>(ptrAbout.Get());
    ASSERT_TRUE(ptrText);
    // The page is the source file's text, with a line table to match.
    const std::string strSource = ReadSource("sites/default/0x809/about.asp");
    const std::u16string strText = Utf8ToUtf16(strSource);
    ULONG cLines = 0, cChars = 0;
    ASSERT_EQ(S_OK, ptrText->GetSize(&cLines, &cChars));
    EXPECT_EQ(strText.size(), cChars);
    EXPECT_EQ(static_cast<ULONG>(std::count(strText.begin(), strText.end(), u'\n')) + 2, cLines);
    BSTR bstrAll;
    ASSERT_EQ(S_OK, ptrText->GetText(0, cChars, &bstrAll));
    EXPECT_EQ(strText, bstrAll.View());
    BSTR bstrName, bstrMime;
    ASSERT_EQ(S_OK, ptrAbout->GetName(&bstrName));
    ASSERT_EQ(S_OK, ptrAbout->GetMimeType(&bstrMime));
    EXPECT_EQ(u"about.asp", bstrName.View());
    EXPECT_EQ(u"text/html", bstrMime.View());

    // 0x407 has no page of its own; with the fallback 1033 neither, with 0x809 it has.
    CComPtr<IPage> ptrGerman;
    EXPECT_EQ(STG_E_FILENOTFOUND, manager.LoadPage(0x407, u"about.asp", ptrGerman.Receive()));
    ASSERT_EQ(S_OK, manager.put_FallbackLCID(0x809));
    ASSERT_EQ(S_OK, manager.LoadPage(0x407, u"about.asp", ptrGerman.Receive()));
    ASSERT_EQ(S_OK, ptrGerman->GetName(&bstrName));
    EXPECT_EQ(u"about.asp", bstrName.View());

    CComPtr<IPage> ptrIcon;
    ASSERT_EQ(S_OK, manager.LoadPage(0x40C, u"images/taskbar.on.ico", ptrIcon.Receive()));
    EXPECT_EQ(ReadSource("sites/default/Common/images/taskbar.on.ico"), PageText(ptrIcon.Get()));
}

TEST_F(StorageManagerTest, BootNeedsAnEmbeddedSiteAndHappensOnce) {
    CStorageManager manager;
    CComPtr<IPage> ptrPage;
    EXPECT_EQ(E_UNEXPECTED, manager.LoadPage(0x409, u"a.asp", ptrPage.Receive()));

    // A site that cannot be opened fails the request; the boot is tried again later.
    const std::vector<BYTE> garbage(2048, 'x');
    ASSERT_EQ(S_OK, manager.SetEmbeddedSite(garbage, FILETIME(), FILETIME(), FILETIME()));
    EXPECT_EQ(STG_E_INVALIDHEADER, manager.LoadPage(0x409, u"a.asp", ptrPage.Receive()));

    CTestSite site;
    AddMarked(site, "M", "0x409", "a.asp");
    std::vector<BYTE> bytes;
    ASSERT_EQ(S_OK, site.WriteToBytes(&bytes));
    ASSERT_EQ(S_OK, manager.SetEmbeddedSite(bytes, FILETIME(), FILETIME(), FILETIME()));
    ASSERT_EQ(S_OK, manager.LoadPage(0x409, u"a.asp", ptrPage.Receive()));
    EXPECT_EQ("M:0x409/a.asp", PageText(ptrPage.Get()));
    EXPECT_EQ(E_UNEXPECTED, manager.SetEmbeddedSite(bytes, FILETIME(), FILETIME(), FILETIME()));
}

}  // namespace
