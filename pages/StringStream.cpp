// Splits a stream of UTF-16LE text into lines.
#include "pages/StringStream.h"

#include "com/DiagnosticLog.h"

namespace {
constexpr ULONG kChunkBytes = 2048;
}

HRESULT CStringStream::Append(std::u16string& strTarget) {
    if (CheckExpression(!m_ptrStream))
        return E_UNEXPECTED;
    BYTE scratch[kChunkBytes];
    ULONG cbRead = 0;
    HRESULT hr = m_ptrStream->Read(scratch, kChunkBytes, &cbRead);
    if (!CheckResult(hr))
        return hr;
    // A read that stops short at the end of the stream still delivered text; only a
    // read that delivered nothing ends the stream.
    if (cbRead == 0)
        return S_FALSE;
    const size_t cch = cbRead / 2;
    const size_t cchOld = strTarget.size();
    strTarget.resize(cchOld + cch);
    for (size_t i = 0; i < cch; ++i)
        strTarget[cchOld + i] =
            static_cast<char16_t>(scratch[2 * i] | static_cast<unsigned>(scratch[2 * i + 1]) << 8);
    return S_OK;
}

HRESULT CStringStream::GetNextLine(std::u16string& strLine, ULONGLONG& ulStart) {
    ulStart = m_ulPosition;
    size_t nSearch = 0;
    for (;;) {
        const size_t nFound = m_strBuffer.find(u'\n', nSearch);
        if (nFound != std::u16string::npos) {
            strLine.assign(m_strBuffer, 0, nFound + 1);
            m_strBuffer.erase(0, nFound + 1);
            m_ulPosition += 2 * static_cast<ULONGLONG>(nFound + 1);
            return S_OK;
        }
        nSearch = m_strBuffer.size();
        HRESULT hr = Append(m_strBuffer);
        if (hr != S_OK) {
            strLine = std::move(m_strBuffer);
            m_strBuffer.clear();
            m_ulPosition += 2 * static_cast<ULONGLONG>(strLine.size());
            return hr;
        }
    }
}
