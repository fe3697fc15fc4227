// Compiles a directory of pages into a site file.
#include "tools/site/SiteCompiler.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "cfb/CompoundFileWriter.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "idl/Identifiers.h"
#include "pages/MemoryStream.h"
#include "pages/TextPage.h"
#include "storage/PageRecord.h"
#include "tools/site/MimeTypes.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxElementName = 31;
constexpr LONG kCodePageUtf16 = 1200;

struct SourcePage {
    fs::path pathFile;
    std::string strFolder;    // "0x809", "Common"
    std::string strPageName;  // "images/taskbar.on.ico"
};

// Thrown inside the compiler with the message for the user; caught at the top.
struct CompileError {
    HRESULT hr;
    std::string strMessage;
};

[[noreturn]] void Fail(HRESULT hr, const fs::path& path, const std::string& strWhy) {
    throw CompileError{hr, path.string() + ": " + strWhy};
}

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return out;
}

bool IsTextExtension(const std::string& strExt) {
    static const std::set<std::string> kText = {"asp", "asa", "html", "htm", "txt", "css", "js"};
    return kText.count(strExt) > 0;
}

std::vector<fs::directory_entry> SortedEntries(const fs::path& dir) {
    std::vector<fs::directory_entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().front() != '.')
            entries.push_back(*it);
    if (ec)
        Fail(E_FAIL, dir, "cannot read the folder: " + ec.message());
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.path().filename() < b.path().filename();
    });
    return entries;
}

// A name as the site stores it, checked for UTF-8 and length.
std::u16string ElementName(const std::string& strName, const fs::path& path) {
    if (!IsValidUtf8(strName))
        Fail(STG_E_INVALIDNAME, path, "the name is not valid UTF-8");
    std::u16string strElement = Utf8ToUtf16(strName);
    return strElement;
}

void CheckLength(const std::u16string& strElement, const fs::path& path) {
    if (strElement.size() > kMaxElementName)
        Fail(STG_E_INVALIDNAME, path,
             "the name \"" + Utf16ToUtf8(strElement) + "\" is " +
                 std::to_string(strElement.size()) +
                 " characters long in the site; site names hold at most 31");
}

void CollectPages(const fs::path& dir, const std::string& strFolder, const std::string& strPrefix,
                  std::vector<SourcePage>& pages) {
    for (const auto& entry : SortedEntries(dir)) {
        const std::string strName = entry.path().filename().string();
        std::error_code ec;
        if (entry.is_directory(ec)) {
            CheckLength(ElementName(strName, entry.path()), entry.path());
            CollectPages(entry.path(), strFolder, strPrefix + strName + "/", pages);
        } else if (entry.is_regular_file(ec)) {
            ElementName(strName, entry.path());
            pages.push_back({entry.path(), strFolder, strPrefix + strName});
        } else {
            Fail(E_INVALIDARG, entry.path(), "neither a file nor a folder");
        }
    }
}

std::vector<BYTE> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Fail(STG_E_FILENOTFOUND, path, "cannot open the file");
    std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        Fail(STG_E_READFAULT, path, "cannot read the file");
    return bytes;
}

// 31 upper-case hexadecimal digits from the page's place in the site; a clash with a
// name already used is resolved by hashing again with a counter.
std::u16string DataStreamName(const std::string& strPath, std::set<std::u16string>& setUsed) {
    for (unsigned n = 0;; ++n) {
        const std::string strInput = n == 0 ? strPath : strPath + "#" + std::to_string(n);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int cbDigest = 0;
        EVP_Digest(strInput.data(), strInput.size(), digest, &cbDigest, EVP_sha256(), nullptr);
        static const char kHex[] = "0123456789ABCDEF";
        std::u16string strName;
        for (unsigned i = 0; strName.size() < kMaxElementName; ++i) {
            strName += static_cast<char16_t>(kHex[digest[i] >> 4]);
            if (strName.size() < kMaxElementName)
                strName += static_cast<char16_t>(kHex[digest[i] & 15]);
        }
        if (setUsed.insert(strName).second)
            return strName;
    }
}

std::vector<BYTE> Utf16LeBytes(const std::u16string& text) {
    std::vector<BYTE> bytes;
    bytes.reserve(2 * text.size());
    for (char16_t ch : text) {
        bytes.push_back(static_cast<BYTE>(ch));
        bytes.push_back(static_cast<BYTE>(ch >> 8));
    }
    return bytes;
}

void Check(HRESULT hr, const fs::path& path, const std::string& strWhat) {
    if (FAILED(hr))
        Fail(hr, path, strWhat + " (" + HResultToString(hr) + ")");
}

std::string WriterProblem(HRESULT hr) {
    if (hr == STG_E_FILEALREADYEXISTS)
        return "its name clashes with another name in the same folder (site names ignore case)";
    if (hr == STG_E_INVALIDNAME)
        return "its name cannot be stored in a site";
    return "cannot be added to the site";
}

void BuildSite(const fs::path& dirSource, CCompoundFileWriter& writer) {
    std::error_code ec;
    if (!fs::is_directory(dirSource, ec))
        Fail(STG_E_PATHNOTFOUND, dirSource, "not a folder");

    std::vector<SourcePage> pages;
    for (const auto& entry : SortedEntries(dirSource)) {
        const std::string strName = entry.path().filename().string();
        if (!entry.is_directory(ec) ||
            (strName != "Common" && !CSiteCompiler::IsLanguageFolder(strName)))
            Fail(E_INVALIDARG, entry.path(),
                 "the top of a site holds only language folders (such as \"0x409\") and "
                 "\"Common\"");
        CollectPages(entry.path(), strName, "", pages);
    }

    // Every name already in the site, upper-cased, so that data streams clash with none.
    std::set<std::u16string> setUsed;
    for (const SourcePage& page : pages)
        setUsed.insert(ToUpperSimple(CPageRecord::ElementNameOf(Utf8ToUtf16(page.strPageName))));

    std::map<std::string, ULONG> mapFolders = {{"", CCompoundFileWriter::kRoot}};
    auto folderId = [&](const std::string& strPath, const fs::path& pathFile) {
        // strPath is "0x809" or "Common/images"; parents are made first.
        ULONG idParent = CCompoundFileWriter::kRoot;
        std::string strSoFar;
        size_t nStart = 0;
        while (nStart <= strPath.size()) {
            const size_t nEnd = std::min(strPath.find('/', nStart), strPath.size());
            const std::string strPart = strPath.substr(nStart, nEnd - nStart);
            strSoFar += (strSoFar.empty() ? "" : "/") + strPart;
            auto it = mapFolders.find(strSoFar);
            if (it == mapFolders.end()) {
                ULONG id = 0;
                HRESULT hr = writer.AddStorage(idParent, Utf8ToUtf16(strPart), &id);
                if (FAILED(hr))
                    Fail(hr, pathFile.parent_path(), WriterProblem(hr));
                it = mapFolders.emplace(strSoFar, id).first;
            }
            idParent = it->second;
            nStart = nEnd + 1;
        }
        return idParent;
    };

    // Record names by folder, upper-cased as the site compares them, with their files.
    std::map<std::pair<std::string, std::u16string>, fs::path> mapRecords;
    for (const SourcePage& page : pages) {
        const std::u16string strPageName = Utf8ToUtf16(page.strPageName);
        const std::u16string strElement = CPageRecord::ElementNameOf(strPageName);
        CheckLength(strElement, page.pathFile);
        const size_t nSlash = page.strPageName.rfind('/');
        const std::string strFolderPath =
            page.strFolder +
            (nSlash == std::string::npos ? "" : "/" + page.strPageName.substr(0, nSlash));
        auto [itRecord, fNew] = mapRecords.emplace(
            std::make_pair(strFolderPath, ToUpperSimple(strElement)), page.pathFile);
        if (!fNew)
            Fail(STG_E_FILEALREADYEXISTS, page.pathFile,
                 "its name in the site clashes with that of " + itRecord->second.string() +
                     " (site names ignore case, and \".\" is stored as \"\u00A3\")");
        const ULONG idFolder = folderId(strFolderPath, page.pathFile);

        const std::string strExt = Lower(
            page.pathFile.extension().string().substr(page.pathFile.extension().empty() ? 0 : 1));
        std::vector<BYTE> data = ReadFile(page.pathFile);

        CPageRecord record;
        record.strDataStream = DataStreamName(page.strFolder + "/" + page.strPageName, setUsed);
        record.strName = strPageName;
        std::vector<BYTE> recordBytes;
        if (IsTextExtension(strExt)) {
            std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
            if (text.starts_with("\xEF\xBB\xBF"))
                text.remove_prefix(3);
            if (!IsValidUtf8(text))
                Fail(E_INVALIDARG, page.pathFile, "the text is not valid UTF-8");
            data = Utf16LeBytes(Utf8ToUtf16(text));
            record.clsidPage = CLSID_TextPage;
            record.clsidEntity = strExt == "asp"   ? CLSID_ASPEntity
                                 : strExt == "asa" ? CLSID_ASAEntity
                                                   : GUID_NULL;
            record.strMimeType = Utf8ToUtf16(CMimeTypes::ForExtension(strExt));
            record.nCodePage = kCodePageUtf16;
            auto meta = MakeObject<CMemoryStream>(record.ToBytes());
            auto dataStream = MakeObject<CMemoryStream>(data);
            Check(meta->Seek(0, STREAM_SEEK_END, nullptr), page.pathFile,
                  "cannot build the record");
            auto compiler = MakeObject<CTextPage>();
            Check(compiler->Compile(meta.Get(), dataStream.Get()), page.pathFile,
                  "cannot build the line table");
            recordBytes = meta->Bytes();
        } else {
            std::string strType = CMimeTypes::ForExtension(strExt);
            if (strType.empty())
                strType = CMimeTypes::ForContent(data.data(), data.size());
            record.clsidPage = CLSID_FilePage;
            record.strMimeType = Utf8ToUtf16(strType);
            record.nCodePage = 0;
            recordBytes = record.ToBytes();
        }
        HRESULT hr = writer.AddStream(idFolder, strElement, std::move(recordBytes));
        if (FAILED(hr))
            Fail(hr, page.pathFile, WriterProblem(hr));
        hr = writer.AddStream(idFolder, record.strDataStream, std::move(data));
        if (FAILED(hr))
            Fail(hr, page.pathFile, WriterProblem(hr));
    }
}

}  // namespace

bool CSiteCompiler::IsLanguageFolder(std::string_view strName) {
    if (strName.size() < 3 || strName.size() > 10 || !strName.starts_with("0x"))
        return false;
    unsigned long lcid = 0;
    for (char ch : strName.substr(2)) {
        const bool fDigit = ch >= '0' && ch <= '9';
        const bool fLower = ch >= 'a' && ch <= 'f';
        if (!fDigit && !fLower)
            return false;
        lcid = lcid * 16 + static_cast<unsigned long>(fDigit ? ch - '0' : ch - 'a' + 10);
    }
    // The site's form ("%#x") has no leading zeros, and language 0 stands for "Common".
    return lcid != 0 && strName[2] != '0';
}

HRESULT CSiteCompiler::CompileToBytes(const fs::path& dirSource, std::vector<BYTE>* pBytes,
                                      std::string* pstrError) {
    if (CheckExpression(!pBytes || !pstrError))
        return E_POINTER;
    try {
        CCompoundFileWriter writer;
        BuildSite(dirSource, writer);
        HRESULT hr = writer.WriteToBytes(pBytes);
        if (FAILED(hr))
            Fail(hr, dirSource, "cannot write the site (" + HResultToString(hr) + ")");
        return S_OK;
    } catch (const CompileError& error) {
        *pstrError = error.strMessage;
        return error.hr;
    } catch (...) {
        *pstrError = dirSource.string() + ": the site could not be compiled";
        return ReportException("CSiteCompiler::CompileToBytes", CV_HERE);
    }
}

HRESULT CSiteCompiler::Compile(const fs::path& dirSource, const fs::path& pathSite,
                               std::string* pstrError) {
    if (CheckExpression(!pstrError))
        return E_POINTER;
    try {
        CCompoundFileWriter writer;
        BuildSite(dirSource, writer);
        HRESULT hr = writer.WriteToFile(pathSite.string());
        if (FAILED(hr))
            Fail(hr, pathSite, "cannot write the site file (" + HResultToString(hr) + ")");
        return S_OK;
    } catch (const CompileError& error) {
        *pstrError = error.strMessage;
        return error.hr;
    } catch (...) {
        *pstrError = dirSource.string() + ": the site could not be compiled";
        return ReportException("CSiteCompiler::Compile", CV_HERE);
    }
}
