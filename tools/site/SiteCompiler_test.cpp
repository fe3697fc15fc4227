// End-to-end tests of the site compiler: a small tree compiled by the program, listed,
// and read back with the compound-file reader and the page classes; bad trees stop with
// a message naming the file and leave no site behind.
#include "tools/site/SiteCompiler.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>

#include "cfb/StgOpen.h"
#include "com/ClassRegistry.h"
#include "idl/Identifiers.h"
#include "pages/TextPage.h"
#include "storage/FilePage.h"
#include "storage/PageRecord.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = CORVANE_BINARY_DIR "/tools/site/corvane-site";

// Runs a command; gives its standard output and error together, and its exit status.
std::string RunCommand(const std::string& strCommand, int* pStatus) {
    std::string out;
    FILE* pipe = popen((strCommand + " 2>&1").c_str(), "r");
    if (!pipe) {
        *pStatus = -1;
        return out;
    }
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        out.append(buffer.data(), n);
    const int status = pclose(pipe);
    *pStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

void WriteFile(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
}

class SiteCompilerTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvane-site-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_src = m_dir / "src";
        m_site = m_dir / "out.site";
        ASSERT_EQ(CTextPage::RegisterClass(), S_OK);
        ASSERT_EQ(CFilePage::RegisterClass(), S_OK);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    void WriteSmallTree() {
        WriteFile(m_src / "0x809/about.asp", "<html>\r\n<% x = \"caf\xC3\xA9\" %>\nend");
        WriteFile(m_src / "Common/boot.asa", "\xEF\xBB\xBF<script language=vbscript>\n");
        WriteFile(m_src / "Common/images/taskbar.on.ico", std::string("\0\0\1\0icon", 8));
        WriteFile(m_src / "Common/images/logo",
                  "GIF89a\x01\x00\x01\x00\x80\x00\x00" + std::string(20, '\0'));
        WriteFile(m_src / "Common/site.css", "body { }\n");
        WriteFile(m_src / "Common/.editor-backup", "left out");
    }

    HRESULT Page(IStorage* root, const std::u16string& folder, const std::u16string& page,
                 CPageRecord* pRecord, CComPtr<IPage>* pPage) {
        CComPtr<IStorage> dir(root);
        size_t start = 0;
        const std::u16string path = folder + u"/" + page;
        for (size_t slash; (slash = path.find(u'/', start)) != std::u16string::npos;
             start = slash + 1) {
            CComPtr<IStorage> child;
            HRESULT hr = dir->OpenStorage(path.substr(start, slash - start).c_str(), nullptr,
                                          STGM_SHARE_EXCLUSIVE, nullptr, 0, child.Receive());
            if (FAILED(hr))
                return hr;
            dir = child;
        }
        const std::u16string element = CPageRecord::ElementNameOf(page);
        CComPtr<IStream> stream;
        HRESULT hr =
            dir->OpenStream(element.c_str(), nullptr, STGM_SHARE_EXCLUSIVE, 0, stream.Receive());
        if (FAILED(hr))
            return hr;
        hr = pRecord->Read(stream.Get());
        if (FAILED(hr))
            return hr;
        return CPageRecord::LoadPage(dir.Get(), element, 0x809, pPage->Receive());
    }

    fs::path m_dir, m_src, m_site;
};

TEST_F(SiteCompilerTest, CompilesListsAndReadsBack) {
    WriteSmallTree();
    int status = -1;
    std::string out = RunCommand(kProgram + " " + m_src.string() + " " + m_site.string(), &status);
    ASSERT_EQ(status, 0) << out;

    out = RunCommand(kProgram + " --list " + m_site.string(), &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("about\u00A3asp  page record"), std::string::npos) << out;
    EXPECT_NE(out.find("entity class: {46B407D1-3C67-4E5D-A025-5C67C657F4AC} ASPEntity"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("page name:    images/taskbar.on.ico"), std::string::npos) << out;
    EXPECT_NE(out.find("line table:   4 entries: 0, 16, 50, 56"), std::string::npos) << out;
    EXPECT_EQ(out.find("editor-backup"), std::string::npos) << out;

    CComPtr<IStorage> root;
    const std::u16string path = Utf8ToUtf16(m_site.string());
    ASSERT_EQ(
        StgOpenStorage(path.c_str(), nullptr, STGM_SHARE_EXCLUSIVE, nullptr, 0, root.Receive()),
        S_OK);

    CPageRecord record;
    CComPtr<IPage> page;
    ASSERT_EQ(Page(root.Get(), u"0x809", u"about.asp", &record, &page), S_OK);
    EXPECT_EQ(record.clsidPage, CLSID_TextPage);
    EXPECT_EQ(record.clsidEntity, CLSID_ASPEntity);
    EXPECT_EQ(record.strMimeType, u"text/html");
    EXPECT_EQ(record.nCodePage, 1200);
    ASSERT_EQ(record.strDataStream.size(), 31u);
    EXPECT_EQ(record.strDataStream.find_first_not_of(u"0123456789ABCDEF"), std::u16string::npos);
    CComPtr<ITextPage> text;
    ASSERT_EQ(page.QueryInterface(text), S_OK);
    BSTR line;
    ULONG pos = 0;
    EXPECT_EQ(text->GetLine(1, &line, &pos), S_OK);
    EXPECT_EQ(line.Str(), u"<% x = \"caf\u00E9\" %>\n");
    ULONG lines = 0, chars = 0;
    EXPECT_EQ(text->GetSize(&lines, &chars), S_OK);
    EXPECT_EQ(lines, 4u);
    EXPECT_EQ(chars, 28u);

    // The byte-order mark is not part of the page.
    ASSERT_EQ(Page(root.Get(), u"Common", u"boot.asa", &record, &page), S_OK);
    EXPECT_EQ(record.clsidEntity, CLSID_ASAEntity);
    EXPECT_EQ(record.strMimeType, u"text/asa");
    ASSERT_EQ(page.QueryInterface(text), S_OK);
    EXPECT_EQ(text->GetText(0, 7, &line), S_OK);
    EXPECT_EQ(line.Str(), u"<script");

    ASSERT_EQ(Page(root.Get(), u"Common", u"site.css", &record, &page), S_OK);
    EXPECT_EQ(record.clsidPage, CLSID_TextPage);
    EXPECT_TRUE(record.clsidEntity.IsNull());
    EXPECT_EQ(record.strMimeType, u"text/css");

    ASSERT_EQ(Page(root.Get(), u"Common", u"images/taskbar.on.ico", &record, &page), S_OK);
    EXPECT_EQ(record.clsidPage, CLSID_FilePage);
    EXPECT_EQ(record.strMimeType, u"image/x-icon");
    EXPECT_EQ(record.nCodePage, 0);
    CComPtr<IStream> data;
    ASSERT_EQ(page->GetDataStream(data.Receive()), S_OK);
    char bytes[16] = {};
    ULONG cbRead = 0;
    data->Read(bytes, sizeof bytes, &cbRead);
    EXPECT_EQ(std::string(bytes, cbRead), std::string("\0\0\1\0icon", 8));

    // No extension: libmagic names the type.
    ASSERT_EQ(Page(root.Get(), u"Common", u"images/logo", &record, &page), S_OK);
    EXPECT_EQ(record.strMimeType, u"image/gif");
}

TEST_F(SiteCompilerTest, SameTreeGivesTheSameSite) {
    WriteSmallTree();
    std::vector<BYTE> first, second;
    std::string error;
    ASSERT_EQ(CSiteCompiler::CompileToBytes(m_src, &first, &error), S_OK) << error;
    ASSERT_EQ(CSiteCompiler::CompileToBytes(m_src, &second, &error), S_OK) << error;
    EXPECT_EQ(first, second);
}

struct BadTree {
    const char* label;
    const char* file;     // relative to the source folder
    std::string content;  // a folder when empty
    const char* message;  // part of the message, after the file's path
};

class BadTreeTest : public SiteCompilerTest, public testing::WithParamInterface<BadTree> {};

TEST_P(BadTreeTest, StopsWithTheFileNamedAndNoSite) {
    const BadTree& c = GetParam();
    WriteFile(m_src / "Common/fine.txt", "fine\n");
    if (c.content.empty())
        fs::create_directories(m_src / c.file);
    else
        WriteFile(m_src / c.file, c.content);

    int status = -1;
    const std::string out =
        RunCommand(kProgram + " " + m_src.string() + " " + m_site.string(), &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find((m_src / c.file).string()), std::string::npos) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(m_site));
    // Nor a temporary file beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, BadTreeTest,
    testing::Values(BadTree{"LongName", "Common/a.name.that.is.far.too.long.for.sites.txt", "x",
                            "site names hold at most 31"},
                    BadTree{"LongFolder", "0x409/a-folder-name-that-is-too-long-for-a-site", "",
                            "site names hold at most 31"},
                    BadTree{"NotUtf8", "0x409/bad.asp", "caf\xE9\n", "not valid UTF-8"},
                    BadTree{"RootFile", "readme.txt", "x", "only language folders"},
                    BadTree{"UpperCaseLanguage", "0X409", "", "only language folders"},
                    BadTree{"LeadingZeroLanguage", "0x0409", "", "only language folders"},
                    BadTree{"ClashIgnoringCase", "Common/FINE.TXT", "x", "clashes"}),
    [](const testing::TestParamInfo<BadTree>& info) { return info.param.label; });

TEST_F(SiteCompilerTest, FailureKeepsAnExistingSite) {
    WriteFile(m_site, "previous site");
    WriteFile(m_src / "Common/bad.js", "\xFF");
    int status = -1;
    RunCommand(kProgram + " " + m_src.string() + " " + m_site.string(), &status);
    EXPECT_EQ(status, 1);
    std::ifstream in(m_site);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "previous site");
}

TEST_F(SiteCompilerTest, CommandLineErrors) {
    int status = -1;
    RunCommand(kProgram, &status);
    EXPECT_EQ(status, 2);
    const std::string out =
        RunCommand(kProgram + " --list " + (m_dir / "none.site").string(), &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("cannot open the site"), std::string::npos) << out;
}

TEST(LanguageFolderTest, SiteForm) {
    for (const char* name : {"0x409", "0x809", "0x1", "0x7fffffff"})
        EXPECT_TRUE(CSiteCompiler::IsLanguageFolder(name)) << name;
    for (const char* name : {"0x", "0x0", "0x0409", "0X409", "0x40G", "409", "Common", "0x409 "})
        EXPECT_FALSE(CSiteCompiler::IsLanguageFolder(name)) << name;
}

}  // namespace
