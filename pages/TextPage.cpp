// A text page: UTF-16 text with its line table, and the tag parser of the compilers.
#include "pages/TextPage.h"

#include <algorithm>
#include <array>

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "idl/Identifiers.h"
#include "pages/PageEntity.h"
#include "pages/StringStream.h"

namespace {

// Entries read from a stored line table at once.
constexpr ULONG kEntriesPerRead = 512;

bool IsSpace(char16_t ch) {
    return (ch >= 0x09 && ch <= 0x0D) || ch == 0x20;
}

std::u16string Trim(const std::u16string& str) {
    size_t first = 0;
    size_t last = str.size();
    while (first < last && IsSpace(str[first]))
        ++first;
    while (last > first && IsSpace(str[last - 1]))
        --last;
    return str.substr(first, last - first);
}

std::u16string TrimLeft(const std::u16string& str) {
    size_t first = 0;
    while (first < str.size() && IsSpace(str[first]))
        ++first;
    return str.substr(first);
}

}  // namespace

HRESULT CTextPage::RegisterClass() {
    auto& registry = CClassRegistry::Instance();
    HRESULT hr = registry.RegisterClass<CTextPage>(CLSID_TextPage, PROGID_TextPage);
    if (!CheckResult(hr))
        return hr;
    return S_OK;
}

HRESULT CTextPage::ReadArray(IStream* pStream, std::vector<ULONGLONG>& arrLines) {
    if (CheckExpression(!pStream))
        return E_POINTER;
    try {
        BYTE countBytes[4];
        ULONG cbRead = 0;
        HRESULT hr = pStream->Read(countBytes, sizeof countBytes, &cbRead);
        if (CheckExpression(hr != S_OK || cbRead != sizeof countBytes))
            return FAILED(hr) ? hr : E_FAIL;
        ULONG cEntries = countBytes[0] | countBytes[1] << 8 | countBytes[2] << 16 |
                         static_cast<ULONG>(countBytes[3]) << 24;
        std::array<BYTE, 8 * kEntriesPerRead> chunk;
        while (cEntries > 0) {
            const ULONG cWanted = std::min(cEntries, kEntriesPerRead);
            hr = pStream->Read(chunk.data(), 8 * cWanted, &cbRead);
            // Whole entries that did arrive are kept even when the read fails.
            for (ULONG i = 0; i < cbRead / 8; ++i) {
                ULONGLONG value = 0;
                for (int b = 7; b >= 0; --b)
                    value = value << 8 | chunk[8 * i + b];
                arrLines.push_back(value);
            }
            if (CheckExpression(hr != S_OK || cbRead != 8 * cWanted))
                return FAILED(hr) ? hr : E_FAIL;
            cEntries -= cWanted;
        }
        return S_OK;
    } catch (...) {
        return ReportException("CTextPage::ReadArray", CV_HERE);
    }
}

HRESULT CTextPage::WriteArray(IStream* pStream, const std::vector<ULONGLONG>& arrLines) {
    if (CheckExpression(!pStream))
        return E_POINTER;
    if (CheckExpression(arrLines.size() > 0xFFFFFFFFu / 8 - 1))
        return E_INVALIDARG;
    try {
        std::vector<BYTE> bytes;
        bytes.reserve(4 + 8 * arrLines.size());
        const auto count = static_cast<ULONG>(arrLines.size());
        for (int b = 0; b < 4; ++b)
            bytes.push_back(static_cast<BYTE>(count >> (8 * b)));
        for (ULONGLONG value : arrLines)
            for (int b = 0; b < 8; ++b)
                bytes.push_back(static_cast<BYTE>(value >> (8 * b)));
        ULONG cbWritten = 0;
        HRESULT hr = pStream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &cbWritten);
        if (!CheckResult(hr))
            return hr;
        if (CheckExpression(cbWritten != bytes.size()))
            return STG_E_WRITEFAULT;
        return S_OK;
    } catch (...) {
        return ReportException("CTextPage::WriteArray", CV_HERE);
    }
}

bool CTextPage::AttribParse(const std::u16string& strText, std::u16string& strTag,
                            std::map<std::u16string, std::u16string>& mapAttribs, int& nEndPos) {
    const size_t nOpen = strText.find(u'<');
    if (nOpen == std::u16string::npos)
        return false;
    const size_t nClose = strText.find(u'>', nOpen + 1);
    if (nClose == std::u16string::npos)
        return false;
    nEndPos = static_cast<int>(nClose);
    const std::u16string strInner = Trim(strText.substr(nOpen + 1, nClose - nOpen - 1));
    ++nEndPos;

    const size_t nSep = strInner.find_first_of(u" \t\n");
    if (nSep == std::u16string::npos)
        return false;
    strTag = ToUpperSimple(std::u16string_view(strInner).substr(0, nSep));
    std::u16string strRest = TrimLeft(strInner.substr(nSep + 1));

    for (;;) {
        const size_t nNameEnd = strRest.find_first_of(u" \t\n=");
        if (nNameEnd == std::u16string::npos)
            return true;
        std::u16string strName = strRest.substr(0, nNameEnd);
        if (strRest[nNameEnd] == u'=') {
            strRest = TrimLeft(strRest.substr(nNameEnd + 1));
        } else {
            const size_t nEquals = strRest.find(u'=', nNameEnd);
            if (nEquals == std::u16string::npos)
                return false;
            strRest = TrimLeft(strRest.substr(nEquals + 1));
        }
        strName = ToUpperSimple(strName);

        std::u16string strValue;
        const size_t nValueEnd = strRest.find_first_of(u" \t\n");
        if (nValueEnd == std::u16string::npos) {
            strValue = std::move(strRest);
            strRest.clear();
        } else {
            strValue = strRest.substr(0, nValueEnd);
            strRest = TrimLeft(strRest.substr(nValueEnd + 1));
        }
        const size_t nFirst = strValue.find_first_not_of(u" \"");
        if (nFirst == std::u16string::npos) {
            strValue.clear();
        } else {
            const size_t nLast = strValue.find_last_not_of(u" \"");
            strValue = strValue.substr(nFirst, nLast - nFirst + 1);
        }
        mapAttribs[strName] = std::move(strValue);
    }
}

HRESULT CTextPage::Compile(IStream* pMetaInfo, IStream* pData) {
    if (CheckExpression(!pMetaInfo || !pData))
        return E_POINTER;
    try {
        m_arrLines.clear();
        CStringStream stream(pData);
        std::u16string strLine;
        ULONGLONG ulStart = 0;
        for (;;) {
            HRESULT hr = stream.GetNextLine(strLine, ulStart);
            if (!CheckResult(hr))
                return hr;
            m_arrLines.push_back(ulStart);
            if (hr == S_FALSE) {
                m_arrLines.push_back(ulStart + 2 * static_cast<ULONGLONG>(strLine.size()));
                return CheckResultValue(WriteArray(pMetaInfo, m_arrLines));
            }
        }
    } catch (...) {
        return ReportException("CTextPage::Compile", CV_HERE);
    }
}

HRESULT CTextPage::Load(LCID lcid, IStream* pMetaStream, IStream* pStream, BSTR bstrFullName,
                        BSTR bstrMimeType, const CLSID& clsidEntityType, LONG nCodePage) {
    try {
        if (pMetaStream) {
            m_arrLines.clear();
            HRESULT hr = ReadArray(pMetaStream, m_arrLines);
            if (!CheckResult(hr))
                return hr;
        }
        m_ptrDataStream = pStream;
        m_strFullName = bstrFullName.Str();
        m_strMimeType = bstrMimeType.Str();
        m_clsidEntity = clsidEntityType;
        m_lcid = lcid;
        m_nCodePage = nCodePage;
        return S_OK;
    } catch (...) {
        return ReportException("CTextPage::Load", CV_HERE);
    }
}

HRESULT CTextPage::CreateEntity(const IID& riid, IApplication* pApp, IUnknown** ppEntity) {
    try {
        return CreatePageEntity(m_clsidEntity, m_lcid, pApp, this, riid, ppEntity);
    } catch (...) {
        return ReportException("CTextPage::CreateEntity", CV_HERE);
    }
}

HRESULT CTextPage::GetDataStream(IStream** ppStream) {
    if (CheckExpression(!ppStream))
        return E_POINTER;
    *ppStream = CComPtr<IStream>(m_ptrDataStream).Detach();
    return S_OK;
}

HRESULT CTextPage::GetMimeType(BSTR* pbstrMimeType) {
    if (CheckExpression(!pbstrMimeType))
        return E_POINTER;
    try {
        *pbstrMimeType = BSTR(m_strMimeType);
        return S_OK;
    } catch (...) {
        return ReportException("CTextPage::GetMimeType", CV_HERE);
    }
}

HRESULT CTextPage::GetName(BSTR* pbstrName) {
    if (CheckExpression(!pbstrName))
        return E_POINTER;
    try {
        *pbstrName = BSTR(m_strFullName);
        return S_OK;
    } catch (...) {
        return ReportException("CTextPage::GetName", CV_HERE);
    }
}

HRESULT CTextPage::ReadText(ULONGLONG ulOffset, ULONGLONG cbWanted, std::u16string* pstrText,
                            ULONGLONG* pcbRead) {
    *pcbRead = 0;
    std::lock_guard guard(m_lockStream);
    // Allocate no more than the stream holds, whatever a damaged line table claims.
    STATSTG stat;
    HRESULT hr = m_ptrDataStream->Stat(&stat, STATFLAG_NONAME);
    if (!CheckResult(hr))
        return hr;
    const ULONGLONG cbAvailable = stat.cbSize > ulOffset ? stat.cbSize - ulOffset : 0;
    const ULONGLONG cb = std::min({cbWanted, cbAvailable, ULONGLONG{0xFFFFFFFE}});
    if (CheckExpression(ulOffset > 0x7FFFFFFFFFFFFFFFull))
        return STG_E_INVALIDFUNCTION;
    hr = m_ptrDataStream->Seek(static_cast<LONGLONG>(ulOffset), STREAM_SEEK_SET, nullptr);
    if (!CheckResult(hr))
        return hr;
    std::vector<BYTE> bytes(cb);
    ULONG cbRead = 0;
    hr = m_ptrDataStream->Read(bytes.data(), static_cast<ULONG>(cb), &cbRead);
    if (!CheckResult(hr))
        return hr;
    pstrText->resize(cbRead / 2);
    for (size_t i = 0; i < pstrText->size(); ++i)
        (*pstrText)[i] =
            static_cast<char16_t>(bytes[2 * i] | static_cast<unsigned>(bytes[2 * i + 1]) << 8);
    *pcbRead = cbRead;
    return S_OK;
}

HRESULT CTextPage::GetLine(ULONG ulLine, BSTR* pbstrText, ULONG* pulCharPos) {
    if (CheckExpression(!pulCharPos))
        return E_POINTER;
    if (CheckExpression(!m_ptrDataStream))
        return E_UNEXPECTED;
    if (CheckExpression(ulLine >= m_arrLines.size()))
        return E_INVALIDARG;
    try {
        *pulCharPos = static_cast<ULONG>(m_arrLines[ulLine] / 2);
        // A line that starts at the end of the text holds nothing: the end entry itself,
        // and the empty line after a final line feed.
        if (m_arrLines[ulLine] == m_arrLines.back())
            return S_FALSE;
        if (pbstrText) {
            const ULONGLONG ulStart = m_arrLines[ulLine];
            const ULONGLONG ulEnd = m_arrLines[ulLine + 1];
            if (CheckExpression(ulEnd < ulStart))
                return E_UNEXPECTED;
            std::u16string strText;
            ULONGLONG cbRead = 0;
            HRESULT hr = ReadText(ulStart, ulEnd - ulStart, &strText, &cbRead);
            if (!CheckResult(hr))
                return hr;
            // The table promised the whole line: a shorter stream is a damaged page.
            if (CheckExpression(cbRead != ulEnd - ulStart))
                return STG_E_READFAULT;
            *pbstrText = BSTR(std::move(strText));
        }
        return S_OK;
    } catch (...) {
        return ReportException("CTextPage::GetLine", CV_HERE);
    }
}

HRESULT CTextPage::GetText(ULONG ulCharPos, ULONG ulLength, BSTR* pbstrText) {
    if (CheckExpression(!pbstrText))
        return E_POINTER;
    if (CheckExpression(!m_ptrDataStream))
        return E_UNEXPECTED;
    try {
        std::u16string strText;
        ULONGLONG cbRead = 0;
        HRESULT hr = ReadText(2 * static_cast<ULONGLONG>(ulCharPos),
                              2 * static_cast<ULONGLONG>(ulLength), &strText, &cbRead);
        if (!CheckResult(hr))
            return hr;
        *pbstrText = BSTR(std::move(strText));
        return S_OK;
    } catch (...) {
        return ReportException("CTextPage::GetText", CV_HERE);
    }
}

HRESULT CTextPage::GetSize(ULONG* pcNumLines, ULONG* pcNumChars) {
    if (pcNumLines)
        *pcNumLines = static_cast<ULONG>(m_arrLines.size());
    if (pcNumChars)
        *pcNumChars = m_arrLines.empty() ? 0 : static_cast<ULONG>(m_arrLines.back() / 2);
    return S_OK;
}

HRESULT CTextPage::GetLineOfPosition(ULONG ulCharPos, ULONG* pulLine) {
    if (CheckExpression(!pulLine))
        return E_POINTER;
    try {
        size_t nLine = 0;
        // A position past the end of the text walks off the table: `at` throws and the
        // operation fails rather than reading beyond it.
        while (nLine < m_arrLines.size() && ulCharPos > m_arrLines.at(nLine + 1) / 2)
            ++nLine;
        *pulLine = static_cast<ULONG>(nLine);
        return S_OK;
    } catch (...) {
        return ReportException("CTextPage::GetLineOfPosition", CV_HERE);
    }
}

HRESULT CTextPage::GetPositionOfLine(ULONG ulLineNumber, ULONG* pulCharPos) {
    if (CheckExpression(!pulCharPos))
        return E_POINTER;
    if (CheckExpression(ulLineNumber >= m_arrLines.size()))
        return E_INVALIDARG;
    *pulCharPos = static_cast<ULONG>(m_arrLines[ulLineNumber] / 2);
    return S_OK;
}

HRESULT CTextPage::GetCodePage(LONG* pnCodePage) {
    if (CheckExpression(!pnCodePage))
        return E_POINTER;
    *pnCodePage = m_nCodePage;
    return S_OK;
}
