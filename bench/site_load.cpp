// Storage manager figures on a generated site of 1,000 text pages in three languages,
// held in a site file on disk as an external site, in one run:
//  - cold: a fresh manager (boot, opening the site file) finds and loads every page in
//    its language and reads its text whole;
//  - cold, site in memory: the same with the site as the embedded one, in memory;
//  - cached: the same lookups again on that manager, answered from the page cache;
//  - baseline: the same page bytes read from plain files, one file per page (open, read
//    whole, close).
// Each figure is pages per second, best of several rounds, with its ratio to the
// baseline (ours / baseline: above 1 is faster than plain files).
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "com/Strings.h"
#include "pages/TextPage.h"
#include "storage/StorageManager.h"
#include "storage/TestSite.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kPages = 1000;
constexpr int kRounds = 5;
constexpr int kCachedPasses = 20;
constexpr LCID kLanguages[] = {0x409, 0x809, 0x407};

struct Page {
    LCID lcid;
    std::string strFolder;
    std::u16string strName;
    std::u16string strText;
};

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads a stream whole from its start; gives the number of bytes.
size_t ReadStream(IStream* pStream, std::vector<char>& buffer) {
    pStream->Seek(0, STREAM_SEEK_SET, nullptr);
    size_t cbTotal = 0;
    ULONG cbRead = 0;
    do {
        cbRead = 0;
        pStream->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &cbRead);
        cbTotal += cbRead;
    } while (cbRead == buffer.size());
    return cbTotal;
}

// Finds every page in its language and reads its text; gives the bytes read, or 0 when
// a page was not found.
size_t LoadAll(CStorageManager& manager, const std::vector<Page>& pages,
               std::vector<char>& buffer) {
    size_t cbTotal = 0;
    for (const Page& page : pages) {
        CComPtr<IPage> ptrPage;
        if (FAILED(manager.LoadPage(page.lcid, page.strName, ptrPage.Receive())))
            return 0;
        CComPtr<IStream> ptrStream;
        if (FAILED(ptrPage->GetDataStream(ptrStream.Receive())))
            return 0;
        cbTotal += ReadStream(ptrStream.Get(), buffer);
    }
    return cbTotal;
}

size_t ReadFiles(const std::vector<fs::path>& files, std::vector<char>& buffer) {
    size_t cbTotal = 0;
    for (const fs::path& file : files) {
        std::FILE* f = std::fopen(file.c_str(), "rb");
        if (!f)
            return 0;
        size_t cb = 0;
        while ((cb = std::fread(buffer.data(), 1, buffer.size(), f)) > 0)
            cbTotal += cb;
        std::fclose(f);
    }
    return cbTotal;
}

}  // namespace

int main() {
    if (FAILED(CTextPage::RegisterClass()))
        return 1;
    std::string strTemplate = (fs::temp_directory_path() / "site_load_XXXXXX").string();
    if (!mkdtemp(strTemplate.data()))
        return 1;
    const fs::path dir = strTemplate;
    // Removes the generated files however the run ends.
    struct RemoveOnExit {
        fs::path dir;
        ~RemoveOnExit() {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    } const cleanup{dir};

    // The pages: lines of 40 to 120 characters, 2 to 8 KB of text each.
    std::vector<Page> pages;
    CTestSite site;
    std::vector<fs::path> files;
    size_t cbText = 0;
    for (int i = 0; i < kPages; ++i) {
        Page page;
        page.lcid = kLanguages[i % 3];
        char szFolder[16];
        std::snprintf(szFolder, sizeof szFolder, "%#x", static_cast<unsigned>(page.lcid));
        page.strFolder = szFolder;
        const std::string strName = "page" + std::to_string(i) + ".asp";
        page.strName = Utf8ToUtf16(strName);
        const int nLines = 30 + i % 50;
        for (int line = 0; line < nLines; ++line)
            page.strText += std::u16string(40 + (i * 7 + line * 13) % 80,
                                           static_cast<char16_t>(u'a' + line % 26)) +
                            u"\n";
        if (FAILED(site.AddTextPage(page.strFolder, strName, page.strText)))
            return 1;
        std::vector<char> bytes;
        for (char16_t ch : page.strText) {
            bytes.push_back(static_cast<char>(ch & 0xFF));
            bytes.push_back(static_cast<char>(ch >> 8));
        }
        fs::create_directories(dir / "files" / page.strFolder);
        files.push_back(dir / "files" / page.strFolder / strName);
        std::ofstream(files.back(), std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        cbText += bytes.size();
        pages.push_back(std::move(page));
    }
    if (FAILED(site.WriteToFile((dir / "Corvane.dat").string())))
        return 1;
    std::vector<BYTE> siteBytes;
    if (FAILED(site.WriteToBytes(&siteBytes)))
        return 1;
    CTestSite embedded;
    embedded.AddTextPage("Common", "boot.asa", u"<SCRIPT LANGUAGE=VBScript RUNAT=Server>\n");
    std::vector<BYTE> embeddedBytes;
    if (FAILED(embedded.WriteToBytes(&embeddedBytes)))
        return 1;

    std::vector<char> buffer(64 * 1024);
    double bestCold = 1e9, bestMemory = 1e9, bestCached = 1e9, bestFiles = 1e9;
    size_t checksum = 0;
    for (int round = 0; round < kRounds; ++round) {
        // Interleaved, so that load on the machine touches all three alike.
        auto start = Clock::now();
        size_t cbFiles = ReadFiles(files, buffer);
        bestFiles = std::min(bestFiles, Seconds(start));

        start = Clock::now();
        CStorageManager manager;
        manager.SetEmbeddedSite(embeddedBytes, FILETIME(), FILETIME(), FILETIME());
        manager.SetSiteDirectory(dir);
        if (FAILED(manager.Add(BSTR(u"Corvane.dat"))))
            return 1;
        const size_t cbCold = LoadAll(manager, pages, buffer);
        bestCold = std::min(bestCold, Seconds(start));

        // The same site as the embedded one, read from memory: how much of the cold
        // figure is the file reads.
        start = Clock::now();
        CStorageManager memoryManager;
        memoryManager.SetEmbeddedSite(siteBytes, FILETIME(), FILETIME(), FILETIME());
        const size_t cbMemory = LoadAll(memoryManager, pages, buffer);
        bestMemory = std::min(bestMemory, Seconds(start));

        start = Clock::now();
        size_t cbCached = 0;
        for (int pass = 0; pass < kCachedPasses; ++pass)
            cbCached += LoadAll(manager, pages, buffer);
        bestCached = std::min(bestCached, Seconds(start) / kCachedPasses);

        if (cbFiles != cbText || cbCold != cbText || cbMemory != cbText ||
            cbCached != cbText * kCachedPasses) {
            std::fprintf(stderr, "site_load: bytes read differ (%zu %zu %zu, want %zu)\n", cbFiles,
                         cbCold, cbCached, cbText);
            return 1;
        }
        checksum += cbCold;
    }

    const double filesRate = kPages / bestFiles;
    const double coldRate = kPages / bestCold;
    const double cachedRate = kPages / bestCached;
    std::printf("site of %d text pages in 3 languages, %zu bytes of text\n", kPages, cbText);
    std::printf("plain files (open, read, close): %.0f pages/s\n", filesRate);
    std::printf(
        "storage manager cold (fresh manager, find, load, read): %.0f pages/s, ratio %.3f\n",
        coldRate, coldRate / filesRate);
    const double memoryRate = kPages / bestMemory;
    std::printf("storage manager cold, site in memory: %.0f pages/s, ratio %.3f\n", memoryRate,
                memoryRate / filesRate);
    std::printf("storage manager cached (find in cache, read): %.0f pages/s, ratio %.3f\n",
                cachedRate, cachedRate / filesRate);
    std::printf("(checksum %zu)\n", checksum);
    return 0;
}
