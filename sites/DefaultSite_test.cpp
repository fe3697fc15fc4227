// Tests of the default site as linked into the program: opened from its bytes with the
// compound-file reader, every page loads with the classes and settings it should have.
#include "sites/DefaultSite.h"

#include <gtest/gtest.h>

#include "cfb/MemoryLockBytes.h"
#include "cfb/StgOpen.h"
#include "idl/Identifiers.h"
#include "pages/TextPage.h"
#include "storage/FilePage.h"
#include "storage/PageRecord.h"

namespace {

constexpr DWORD kMode = STGM_READ | STGM_SHARE_EXCLUSIVE;

class DefaultSiteTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CTextPage::RegisterClass(), S_OK);
        ASSERT_EQ(CFilePage::RegisterClass(), S_OK);
        auto lockBytes = MakeObject<CMemoryLockBytes>(DefaultSiteBytes());
        ASSERT_EQ(StgOpenStorageOnILockBytes(lockBytes.Get(), nullptr, kMode, nullptr, 0,
                                             m_root.Receive()),
                  S_OK);
    }

    CComPtr<IStorage> Folder(std::initializer_list<const char16_t*> path) {
        CComPtr<IStorage> folder = m_root;
        for (const char16_t* part : path) {
            CComPtr<IStorage> child;
            EXPECT_EQ(folder->OpenStorage(part, nullptr, kMode, nullptr, 0, child.Receive()), S_OK);
            folder = child;
        }
        return folder;
    }

    CPageRecord Record(IStorage* folder, const std::u16string& element) {
        CComPtr<IStream> stream;
        EXPECT_EQ(folder->OpenStream(element.c_str(), nullptr, kMode, 0, stream.Receive()), S_OK);
        CPageRecord record;
        EXPECT_EQ(record.Read(stream.Get()), S_OK);
        return record;
    }

    CComPtr<IStorage> m_root;
};

TEST_F(DefaultSiteTest, BootScriptSetsTheSite) {
    auto common = Folder({u"Common"});
    const CPageRecord record = Record(common.Get(), u"boot\u00A3asa");
    EXPECT_EQ(record.clsidPage, CLSID_TextPage);
    EXPECT_EQ(record.clsidEntity, CLSID_ASAEntity);
    EXPECT_EQ(record.strName, u"boot.asa");
    EXPECT_EQ(record.strMimeType, u"text/asa");
    EXPECT_EQ(record.nCodePage, 1200);

    CComPtr<IPage> page;
    ASSERT_EQ(CPageRecord::LoadPage(common.Get(), u"boot\u00A3asa", 0x409, page.Receive()), S_OK);
    CComPtr<ITextPage> text;
    ASSERT_EQ(page.QueryInterface(text), S_OK);
    ULONG lines = 0, chars = 0;
    ASSERT_EQ(text->GetSize(&lines, &chars), S_OK);
    BSTR all;
    ASSERT_EQ(text->GetText(0, chars, &all), S_OK);
    for (const char16_t* wanted : {u"Sub Application_OnBoot()", u".DefaultPage = \"404_error.asp\"",
                                   u".FallbackLCID = 1033", u".ExternalSites.Add \"Corvane.dat\""})
        EXPECT_NE(all.Str().find(wanted), std::u16string::npos) << Utf16ToUtf8(wanted);

    // The table ends at the size of the data stream.
    CComPtr<IStream> data;
    ASSERT_EQ(page->GetDataStream(data.Receive()), S_OK);
    STATSTG stat;
    ASSERT_EQ(data->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(2ull * chars, stat.cbSize);

    // Its script tag, as the ASA compiler will parse it.
    std::u16string tag;
    std::map<std::u16string, std::u16string> attributes;
    int end = 0;
    const size_t script = all.Str().find(u"<script");
    ASSERT_TRUE(CTextPage::AttribParse(all.Str().substr(script), tag, attributes, end));
    EXPECT_EQ(tag, u"SCRIPT");
    EXPECT_EQ(attributes[u"LANGUAGE"], u"vbscript");
    EXPECT_EQ(attributes[u"RUNAT"], u"server");
}

TEST_F(DefaultSiteTest, AboutPageIsAnAspPage) {
    auto english = Folder({u"0x809"});
    const CPageRecord record = Record(english.Get(), u"about\u00A3asp");
    EXPECT_EQ(record.clsidEntity, CLSID_ASPEntity);
    EXPECT_EQ(record.strMimeType, u"text/html");
    CComPtr<IPage> page;
    ASSERT_EQ(CPageRecord::LoadPage(english.Get(), u"about\u00A3asp", 0x809, page.Receive()), S_OK);
}

TEST_F(DefaultSiteTest, TrayIconsAreFilePages) {
    auto images = Folder({u"Common", u"images"});
    for (const char16_t* name : {u"images/taskbar.on.ico", u"images/taskbar.off.ico"}) {
        const std::u16string element = CPageRecord::ElementNameOf(name);
        const CPageRecord record = Record(images.Get(), element);
        EXPECT_EQ(record.clsidPage, CLSID_FilePage);
        EXPECT_TRUE(record.clsidEntity.IsNull());
        EXPECT_EQ(record.strName, name);
        EXPECT_EQ(record.strMimeType, u"image/x-icon");
        EXPECT_EQ(record.nCodePage, 0);

        CComPtr<IPage> page;
        ASSERT_EQ(CPageRecord::LoadPage(images.Get(), element, 0, page.Receive()), S_OK);
        CComPtr<IStream> data;
        ASSERT_EQ(page->GetDataStream(data.Receive()), S_OK);
        BYTE header[4] = {};
        ULONG cbRead = 0;
        ASSERT_EQ(data->Read(header, 4, &cbRead), S_OK);
        EXPECT_EQ(std::vector<BYTE>(header, header + 4), (std::vector<BYTE>{0, 0, 1, 0}));
    }
}

}  // namespace
