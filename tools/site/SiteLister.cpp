// Prints the tree of a site file with the fields of every page record.
#include "tools/site/SiteLister.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "cfb/StgOpen.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "idl/Identifiers.h"
#include "pages/TextPage.h"
#include "storage/PageRecord.h"

namespace {

constexpr DWORD kMode = STGM_READ | STGM_SHARE_EXCLUSIVE;

std::string ClassName(const CLSID& clsid) {
    static const std::map<CLSID, std::string> kNames = {
        {CLSID_TextPage, "TextPage"},     {CLSID_FilePage, "FilePage"},
        {CLSID_ASPEntity, "ASPEntity"},   {CLSID_ASAEntity, "ASAEntity"},
        {CLSID_FileEntity, "FileEntity"},
    };
    if (clsid.IsNull())
        return "none (file entity)";
    auto it = kNames.find(clsid);
    return GUID2String(clsid) + (it == kNames.end() ? " (unknown class)" : " " + it->second);
}

std::string LineTable(const std::vector<ULONGLONG>& lines) {
    std::string text = std::to_string(lines.size()) + " entries:";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines.size() > 10 && i == 5) {
            text += ", ...";
            i = lines.size() - 4;
            continue;
        }
        text += (i == 0 ? " " : ", ") + std::to_string(lines[i]);
    }
    return text;
}

struct Element {
    std::u16string strName;
    bool fStorage;
    ULONGLONG cbSize;
};

HRESULT ListFolder(IStorage* pFolder, const std::string& strIndent, std::ostream& out) {
    CComPtr<IEnumSTATSTG> ptrEnum;
    HRESULT hr = pFolder->EnumElements(0, nullptr, 0, ptrEnum.Receive());
    if (!CheckResult(hr))
        return hr;
    std::vector<Element> elements;
    STATSTG stat;
    while (ptrEnum->Next(1, &stat, nullptr) == S_OK)
        elements.push_back({stat.pwcsName.Str(), stat.type == STGTY_STORAGE, stat.cbSize});
    std::sort(elements.begin(), elements.end(),
              [](const Element& a, const Element& b) { return a.strName < b.strName; });

    // First the records, which name the data streams; then everything else.
    std::set<std::u16string> setData;
    std::map<std::u16string, ULONGLONG> mapSizes;
    for (const Element& e : elements)
        if (!e.fStorage)
            mapSizes[ToUpperSimple(e.strName)] = e.cbSize;
    for (const Element& e : elements) {
        if (e.fStorage)
            continue;
        CComPtr<IStream> ptrStream;
        if (FAILED(pFolder->OpenStream(e.strName.c_str(), nullptr, kMode, 0, ptrStream.Receive())))
            continue;
        CPageRecord record;
        if (FAILED(record.Read(ptrStream.Get())))
            continue;
        auto itData = mapSizes.find(ToUpperSimple(record.strDataStream));
        if (itData == mapSizes.end())
            continue;
        setData.insert(itData->first);
        out << strIndent << Utf16ToUtf8(e.strName) << "  page record, " << e.cbSize << " bytes\n";
        const std::string strField = strIndent + "    ";
        out << strField << "page class:   " << ClassName(record.clsidPage) << "\n";
        out << strField << "entity class: " << ClassName(record.clsidEntity) << "\n";
        out << strField << "data stream:  " << Utf16ToUtf8(record.strDataStream) << " ("
            << itData->second << " bytes)\n";
        out << strField << "page name:    " << Utf16ToUtf8(record.strName) << "\n";
        out << strField << "MIME type:    " << Utf16ToUtf8(record.strMimeType) << "\n";
        out << strField << "code page:    " << record.nCodePage << "\n";
        if (record.clsidPage == CLSID_TextPage) {
            std::vector<ULONGLONG> lines;
            if (SUCCEEDED(CTextPage::ReadArray(ptrStream.Get(), lines)))
                out << strField << "line table:   " << LineTable(lines) << "\n";
            else
                out << strField << "line table:   damaged (" << LineTable(lines) << ")\n";
        }
    }
    for (const Element& e : elements) {
        const std::string strName = Utf16ToUtf8(e.strName);
        if (e.fStorage) {
            out << strIndent << strName << "/\n";
            CComPtr<IStorage> ptrChild;
            hr = pFolder->OpenStorage(e.strName.c_str(), nullptr, kMode, nullptr, 0,
                                      ptrChild.Receive());
            if (!CheckResult(hr)) {
                out << strIndent << "    (cannot open: " << HResultToString(hr) << ")\n";
                continue;
            }
            hr = ListFolder(ptrChild.Get(), strIndent + "    ", out);
            if (FAILED(hr))
                return hr;
        } else if (setData.count(ToUpperSimple(e.strName))) {
            out << strIndent << strName << "  data stream, " << e.cbSize << " bytes\n";
        }
    }
    for (const Element& e : elements)
        if (!e.fStorage && !setData.count(ToUpperSimple(e.strName))) {
            // Neither a record whose data stream exists nor a data stream of one.
            CComPtr<IStream> ptrStream;
            CPageRecord record;
            bool fRecord = SUCCEEDED(pFolder->OpenStream(e.strName.c_str(), nullptr, kMode, 0,
                                                         ptrStream.Receive())) &&
                           SUCCEEDED(record.Read(ptrStream.Get()));
            if (fRecord && mapSizes.count(ToUpperSimple(record.strDataStream)))
                continue;
            out << strIndent << Utf16ToUtf8(e.strName) << "  stream, " << e.cbSize << " bytes, "
                << (fRecord ? "page record whose data stream \"" +
                                  Utf16ToUtf8(record.strDataStream) + "\" is missing"
                            : std::string("not a page record"))
                << "\n";
        }
    return S_OK;
}

}  // namespace

HRESULT CSiteLister::List(const std::string& strPath, std::ostream& out) {
    try {
        CComPtr<IStorage> ptrRoot;
        const std::u16string strPath16 = Utf8ToUtf16(strPath);
        HRESULT hr =
            StgOpenStorage(strPath16.c_str(), nullptr, kMode, nullptr, 0, ptrRoot.Receive());
        if (!CheckResult(hr))
            return hr;
        out << strPath << "\n";
        return ListFolder(ptrRoot.Get(), "    ", out);
    } catch (...) {
        return ReportException("CSiteLister::List", CV_HERE);
    }
}
