// Building site files for tests and benchmarks.
#include "storage/TestSite.h"

#include <cstdio>

#include "com/Strings.h"
#include "idl/Identifiers.h"
#include "storage/PageRecord.h"

namespace {

void AppendLe(std::vector<BYTE>& bytes, ULONGLONG value, int cb) {
    for (int b = 0; b < cb; ++b)
        bytes.push_back(static_cast<BYTE>(value >> (8 * b)));
}

}  // namespace

HRESULT CTestSite::FolderId(const std::string& strPath, ULONG* pId) {
    if (strPath.empty()) {
        *pId = CCompoundFileWriter::kRoot;
        return S_OK;
    }
    if (const auto it = m_mapFolders.find(strPath); it != m_mapFolders.end()) {
        *pId = it->second;
        return S_OK;
    }
    const size_t nSlash = strPath.rfind('/');
    ULONG idParent = CCompoundFileWriter::kRoot;
    if (nSlash != std::string::npos) {
        const HRESULT hr = FolderId(strPath.substr(0, nSlash), &idParent);
        if (FAILED(hr))
            return hr;
    }
    const std::string strLast = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
    const HRESULT hr = m_writer.AddStorage(idParent, Utf8ToUtf16(strLast), pId);
    if (SUCCEEDED(hr))
        m_mapFolders[strPath] = *pId;
    return hr;
}

HRESULT CTestSite::AddRecord(std::string_view folder, std::string_view name,
                             std::vector<BYTE> record, std::u16string_view strDataStream,
                             std::vector<BYTE> data) {
    std::string strFolder(folder);
    const size_t nSlash = name.rfind('/');
    if (nSlash != std::string_view::npos)
        strFolder += "/" + std::string(name.substr(0, nSlash));
    ULONG idFolder = 0;
    HRESULT hr = FolderId(strFolder, &idFolder);
    if (FAILED(hr))
        return hr;
    hr = m_writer.AddStream(idFolder, CPageRecord::ElementNameOf(Utf8ToUtf16(name)),
                            std::move(record));
    if (FAILED(hr) || strDataStream.empty())
        return hr;
    return m_writer.AddStream(idFolder, strDataStream, std::move(data));
}

HRESULT CTestSite::AddPage(std::string_view folder, std::string_view name, const CLSID& clsidPage,
                           const CLSID& clsidEntity, std::string_view mime, LONG nCodePage,
                           std::vector<BYTE> tail, std::vector<BYTE> data) {
    char szData[32];
    std::snprintf(szData, sizeof szData, "D%030X", ++m_nDataStreams);
    CPageRecord record;
    record.clsidPage = clsidPage;
    record.clsidEntity = clsidEntity;
    record.strDataStream = Utf8ToUtf16(szData);
    record.strName = Utf8ToUtf16(name);
    record.strMimeType = Utf8ToUtf16(mime);
    record.nCodePage = nCodePage;
    std::vector<BYTE> bytes = record.ToBytes();
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return AddRecord(folder, name, std::move(bytes), record.strDataStream, std::move(data));
}

HRESULT CTestSite::AddTextPage(std::string_view folder, std::string_view name,
                               std::u16string_view text, const CLSID& clsidEntity) {
    // The line table: where each line starts, then the end of the text.
    std::vector<ULONGLONG> lines{0};
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == u'\n')
            lines.push_back(2 * (i + 1));
    lines.push_back(2 * text.size());
    std::vector<BYTE> tail;
    AppendLe(tail, lines.size(), 4);
    for (ULONGLONG offset : lines)
        AppendLe(tail, offset, 8);
    std::vector<BYTE> data;
    for (char16_t ch : text)
        AppendLe(data, ch, 2);
    return AddPage(folder, name, CLSID_TextPage, clsidEntity, "text/html", 1200, std::move(tail),
                   std::move(data));
}

HRESULT CTestSite::AddFilePage(std::string_view folder, std::string_view name,
                               std::string_view content, const CLSID& clsidEntity) {
    return AddPage(folder, name, CLSID_FilePage, clsidEntity, "application/octet-stream", 0, {},
                   std::vector<BYTE>(content.begin(), content.end()));
}

HRESULT CTestSite::WriteToBytes(std::vector<BYTE>* pBytes) const {
    return m_writer.WriteToBytes(pBytes);
}

HRESULT CTestSite::WriteToFile(const std::string& strPath) const {
    return m_writer.WriteToFile(strPath);
}
