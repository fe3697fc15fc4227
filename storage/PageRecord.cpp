// The page record of a site: reading, writing and loading a page from it.
#include "storage/PageRecord.h"

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"

namespace {

// Reads exactly cb bytes; a read that stops short is a failure.
HRESULT ReadExact(IStream* pStream, void* pv, ULONG cb, ULONG* pcbRead) {
    ULONG cbRead = 0;
    HRESULT hr = pStream->Read(pv, cb, &cbRead);
    if (pcbRead)
        *pcbRead = cbRead;
    if (FAILED(hr))
        return hr;
    return hr == S_OK && cbRead == cb ? S_OK : E_FAIL;
}

void AppendBytes(std::vector<BYTE>& bytes, ULONG value) {
    for (int b = 0; b < 4; ++b)
        bytes.push_back(static_cast<BYTE>(value >> (8 * b)));
}

}  // namespace

HRESULT CPageRecord::ReadCountedString(IStream* pStream, std::u16string* pstr) {
    if (CheckExpression(!pStream || !pstr))
        return E_POINTER;
    try {
        BYTE countBytes[4];
        HRESULT hr = ReadExact(pStream, countBytes, sizeof countBytes, nullptr);
        if (!CheckResult(hr))
            return hr;
        const ULONG n = countBytes[0] | countBytes[1] << 8 | countBytes[2] << 16 |
                        static_cast<ULONG>(countBytes[3]) << 24;
        // A count must hold whole UTF-16 units and the terminator.
        if (CheckExpression(n == 1 || n % 2 != 0 || n > kMaxStringBytes))
            return E_FAIL;
        pstr->clear();
        if (n == 0)
            return S_OK;
        std::vector<BYTE> text(n);
        ULONG cbRead = 0;
        hr = ReadExact(pStream, text.data(), n, &cbRead);
        if (!CheckResult(hr)) {
            // Put the stream back before the count, so that it can be read again.
            pStream->Seek(-static_cast<LONGLONG>(4 + cbRead), STREAM_SEEK_CUR, nullptr);
            return hr;
        }
        // The stored terminator takes the terminator's place and is not part of the text.
        pstr->resize(n / 2 - 1);
        for (size_t i = 0; i < pstr->size(); ++i)
            (*pstr)[i] =
                static_cast<char16_t>(text[2 * i] | static_cast<unsigned>(text[2 * i + 1]) << 8);
        return S_OK;
    } catch (...) {
        return ReportException("CPageRecord::ReadCountedString", CV_HERE);
    }
}

void CPageRecord::AppendCountedString(std::vector<BYTE>& bytes, std::u16string_view str) {
    if (str.empty()) {
        AppendBytes(bytes, 0);
        return;
    }
    AppendBytes(bytes, static_cast<ULONG>(2 * (str.size() + 1)));
    for (char16_t ch : str) {
        bytes.push_back(static_cast<BYTE>(ch));
        bytes.push_back(static_cast<BYTE>(ch >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
}

HRESULT CPageRecord::Read(IStream* pStream) {
    if (CheckExpression(!pStream))
        return E_POINTER;
    BYTE guid[16];
    HRESULT hr = ReadExact(pStream, guid, sizeof guid, nullptr);
    if (!CheckResult(hr))
        return hr;
    clsidPage = GUID::FromBytes(guid);
    hr = ReadExact(pStream, guid, sizeof guid, nullptr);
    if (!CheckResult(hr))
        return hr;
    clsidEntity = GUID::FromBytes(guid);
    hr = ReadCountedString(pStream, &strDataStream);
    if (!CheckResult(hr))
        return hr;
    hr = ReadCountedString(pStream, &strName);
    if (!CheckResult(hr))
        return hr;
    hr = ReadCountedString(pStream, &strMimeType);
    if (!CheckResult(hr))
        return hr;
    BYTE codePage[4];
    hr = ReadExact(pStream, codePage, sizeof codePage, nullptr);
    if (!CheckResult(hr))
        return hr;
    nCodePage = static_cast<LONG>(codePage[0] | codePage[1] << 8 | codePage[2] << 16 |
                                  static_cast<ULONG>(codePage[3]) << 24);
    return S_OK;
}

std::vector<BYTE> CPageRecord::ToBytes() const {
    std::vector<BYTE> bytes;
    for (const CLSID* clsid : {&clsidPage, &clsidEntity}) {
        const auto guid = clsid->ToBytes();
        bytes.insert(bytes.end(), guid.begin(), guid.end());
    }
    AppendCountedString(bytes, strDataStream);
    AppendCountedString(bytes, strName);
    AppendCountedString(bytes, strMimeType);
    AppendBytes(bytes, static_cast<ULONG>(nCodePage));
    return bytes;
}

std::u16string CPageRecord::ElementNameOf(std::u16string_view strPageName) {
    const size_t nSlash = strPageName.rfind(u'/');
    std::u16string strElement(nSlash == std::u16string_view::npos ? strPageName
                                                                  : strPageName.substr(nSlash + 1));
    for (char16_t& ch : strElement)
        if (ch == u'.')
            ch = u'\u00A3';
    return strElement;
}

HRESULT CPageRecord::LoadPage(IStorage* pFolder, std::u16string_view strElement, LCID lcid,
                              IPage** ppPage, bool* pfDataStreamMissing) {
    if (pfDataStreamMissing)
        *pfDataStreamMissing = false;
    if (CheckExpression(!pFolder || !ppPage))
        return E_POINTER;
    *ppPage = nullptr;
    try {
        constexpr DWORD kMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
        CComPtr<IStream> ptrRecord;
        const std::u16string strRecord(strElement);
        HRESULT hr = pFolder->OpenStream(strRecord.c_str(), nullptr, kMode, 0, ptrRecord.Receive());
        // A missing record is the ordinary answer that the page is not in this folder.
        if (hr == STG_E_FILENOTFOUND)
            return hr;
        if (!CheckResult(hr))
            return hr;

        CPageRecord record;
        hr = record.Read(ptrRecord.Get());
        if (!CheckResult(hr))
            return hr;

        CComPtr<IStream> ptrData;
        hr =
            pFolder->OpenStream(record.strDataStream.c_str(), nullptr, kMode, 0, ptrData.Receive());
        if (!CheckResult(hr)) {
            if (pfDataStreamMissing)
                *pfDataStreamMissing = true;
            return hr;
        }

        CComPtr<IPage> ptrPage;
        hr = CoCreateInstance(record.clsidPage, nullptr, CLSCTX_ALL, IIDOf<IPage>(),
                              ptrPage.ReceiveVoid());
        if (!CheckResult(hr))
            return hr;
        hr = ptrPage->Load(lcid, ptrRecord.Get(), ptrData.Get(), BSTR(record.strName),
                           BSTR(record.strMimeType), record.clsidEntity, record.nCodePage);
        if (!CheckResult(hr))
            return hr;
        *ppPage = ptrPage.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CPageRecord::LoadPage", CV_HERE);
    }
}
