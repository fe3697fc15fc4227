// The Response object: body buffering with code-page conversion, status and headers,
// End and Redirect, and the hand-over to the HTTP response.
#include "objects/ResponseObject.h"

#include <algorithm>
#include <ctime>
#include <string>

#include "com/CodePage.h"
#include "com/DiagnosticLog.h"
#include "com/Locale.h"
#include "com/SafeArray.h"
#include "com/TextForms.h"
#include "idl/DispatchIds.h"
#include "pages/MemoryStream.h"

namespace {

// The current local time as an OLE date.
DATE Now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    DateParts parts;
    parts.year = local.tm_year + 1900;
    parts.month = local.tm_mon + 1;
    parts.day = local.tm_mday;
    parts.hour = local.tm_hour;
    parts.minute = local.tm_min;
    parts.second = local.tm_sec;
    double date = 0;
    DateFromParts(parts, &date);
    return date;
}

// Header names and values travel as narrow strings in the ANSI code page (UTF-8).
std::string Narrow(const BSTR& text) {
    return text.ToUtf8();
}

constexpr WORD kLocaleWordsForBooleans = VARIANT_ALPHABOOL | VARIANT_LOCALBOOL;

}  // namespace

const CDispatchTable& CResponseObject::GetDispatchTable() {
    using C = CResponseObject;
    static const CDispatchTable table(
        u"IResponse",
        {
            DispGet<&C::get_ContentType>(u"ContentType", DISPID_IRESPONSE_CONTENTTYPE),
            DispPut<&C::put_ContentType>(u"ContentType", DISPID_IRESPONSE_CONTENTTYPE),
            DispGet<&C::get_Expires>(u"Expires", DISPID_IRESPONSE_EXPIRES),
            DispPut<&C::put_Expires>(u"Expires", DISPID_IRESPONSE_EXPIRES),
            DispGet<&C::get_ExpiresAbsolute>(u"ExpiresAbsolute", DISPID_IRESPONSE_EXPIRESABSOLUTE),
            DispPut<&C::put_ExpiresAbsolute>(u"ExpiresAbsolute", DISPID_IRESPONSE_EXPIRESABSOLUTE),
            DispGet<&C::get_Status>(u"Status", DISPID_IRESPONSE_STATUS),
            DispPut<&C::put_Status>(u"Status", DISPID_IRESPONSE_STATUS),
            DispMethod<&C::AddHeader>(u"AddHeader", DISPID_IRESPONSE_ADDHEADER),
            DispMethod<&C::BinaryWrite>(u"BinaryWrite", DISPID_IRESPONSE_BINARYWRITE),
            DispMethod<&C::Clear>(u"Clear", DISPID_IRESPONSE_CLEAR),
            DispMethod<&C::End>(u"End", DISPID_IRESPONSE_END),
            DispMethod<&C::Redirect>(u"Redirect", DISPID_IRESPONSE_REDIRECT),
            DispMethod<&C::Write>(u"Write", DISPID_IRESPONSE_WRITE),
            DispMethod<&C::DispatchWriteBlock>(u"WriteBlock", DISPID_IRESPONSE_WRITEBLOCK),
            DispGet<&C::get_CharSet>(u"CharSet", DISPID_IRESPONSE_CHARSET),
            DispPut<&C::put_CharSet>(u"CharSet", DISPID_IRESPONSE_CHARSET),
            DispGet<&C::get_CacheControl>(u"CacheControl", DISPID_IRESPONSE_CACHECONTROL),
            DispPut<&C::put_CacheControl>(u"CacheControl", DISPID_IRESPONSE_CACHECONTROL),
            DispMethod<&C::Pics>(u"Pics", DISPID_IRESPONSE_PICS),
            DispGet<&C::get_CodePage>(u"CodePage", DISPID_IRESPONSE_CODEPAGE),
            DispPut<&C::put_CodePage>(u"CodePage", DISPID_IRESPONSE_CODEPAGE),
            DispGet<&C::get_LCID>(u"LCID", DISPID_IRESPONSE_LCID),
            DispPut<&C::put_LCID>(u"LCID", DISPID_IRESPONSE_LCID),
        });
    return table;
}

HRESULT CResponseObject::Init(CHTTPResponse* pResponse, IHTTPEntity* pEntity) {
    if (CheckExpression(!pResponse))
        return E_POINTER;
    try {
        CCritSecLock guard(m_lock);
        m_pResponse = pResponse;
        m_ptrEntity = pEntity;
        m_ptrASPEntity = ComQuery<IASPEntity>(pEntity);
        HRESULT hr = m_pResponse->PutHeader("Cache-Control", "no-cache");
        if (!CheckResult(hr))
            return hr;
        m_strStatus = BSTR(u"200 OK");
        m_lExpires = 0;
        m_dtExpiresAbsolute = Now();
        m_ptrStream = MakeObject<CMemoryStream>(&hr);
        return CheckResultValue(hr);
    } catch (...) {
        return ReportException("CResponseObject::Init", CV_HERE);
    }
}

HRESULT CResponseObject::Flush() {
    try {
        CCritSecLock guard(m_lock);
        if (CheckExpression(!m_pResponse || !m_ptrStream))
            return E_UNEXPECTED;
        HRESULT hr = m_pResponse->SetEntityStream(m_ptrStream.Get());
        if (!CheckResult(hr))
            return hr;
        // A page that named no media type gets no "Content-Type" rather than an empty one.
        if (m_pResponse->GetHeader("Content-Type").empty() && m_strContentType.Length() != 0) {
            std::string strType = Narrow(m_strContentType);
            if (m_strCharSet.Length() != 0)
                strType += "; charset=" + Narrow(m_strCharSet);
            hr = m_pResponse->PutHeader("Content-Type", strType);
            if (!CheckResult(hr))
                return hr;
        }
        if (m_pResponse->GetHeader("Content-Language").empty() && m_lcid != 0) {
            std::string strLanguage = Rfc1766FromLcid(m_lcid);
            strLanguage = strLanguage.substr(0, strLanguage.find('-'));
            // "und" names no language.
            if (!strLanguage.empty() && strLanguage != "und") {
                hr = m_pResponse->PutHeader("Content-Language", strLanguage);
                if (!CheckResult(hr))
                    return hr;
            }
        }
        return CheckResultValue(m_pResponse->SetStatus(Narrow(m_strStatus)));
    } catch (...) {
        return ReportException("CResponseObject::Flush", CV_HERE);
    }
}

HRESULT CResponseObject::get_ContentType(BSTR* pbstrContentTypeRet) {
    if (CheckExpression(!pbstrContentTypeRet))
        return E_POINTER;
    CCritSecLock guard(m_lock);
    *pbstrContentTypeRet = m_strContentType;
    return S_OK;
}

HRESULT CResponseObject::put_ContentType(BSTR bstrContentType) {
    CCritSecLock guard(m_lock);
    m_strContentType = bstrContentType.IsNull() ? BSTR::Empty() : std::move(bstrContentType);
    return S_OK;
}

HRESULT CResponseObject::get_Expires(VARIANT* pvarExpiresMinutesRet) {
    if (CheckExpression(!pvarExpiresMinutesRet))
        return E_POINTER;
    CCritSecLock guard(m_lock);
    VariantClear(pvarExpiresMinutesRet);
    pvarExpiresMinutesRet->vt = VT_I4;
    pvarExpiresMinutesRet->lVal = m_lExpires;
    return S_OK;
}

HRESULT CResponseObject::put_Expires(LONG lExpiresMinutes) {
    // The earliest expiry wins.
    CCritSecLock guard(m_lock);
    m_lExpires = std::min(m_lExpires, lExpiresMinutes);
    return S_OK;
}

HRESULT CResponseObject::get_ExpiresAbsolute(VARIANT* pvarExpiresRet) {
    if (CheckExpression(!pvarExpiresRet))
        return E_POINTER;
    CCritSecLock guard(m_lock);
    VariantClear(pvarExpiresRet);
    pvarExpiresRet->vt = VT_DATE;
    pvarExpiresRet->date = m_dtExpiresAbsolute;
    return S_OK;
}

HRESULT CResponseObject::put_ExpiresAbsolute(DATE dtExpires) {
    CCritSecLock guard(m_lock);
    m_dtExpiresAbsolute = std::min(m_dtExpiresAbsolute, dtExpires);
    return S_OK;
}

HRESULT CResponseObject::get_Status(BSTR* pbstrStatusRet) {
    if (CheckExpression(!pbstrStatusRet))
        return E_POINTER;
    CCritSecLock guard(m_lock);
    *pbstrStatusRet = m_strStatus;
    return S_OK;
}

HRESULT CResponseObject::put_Status(BSTR bstrStatus) {
    // Any text goes, except a line break: it would split the status line and let the
    // rest pass for headers.
    if (CheckExpression(bstrStatus.View().find_first_of(u"\r\n") != std::u16string_view::npos))
        return E_INVALIDARG;
    CCritSecLock guard(m_lock);
    m_strStatus = bstrStatus.IsNull() ? BSTR::Empty() : std::move(bstrStatus);
    return S_OK;
}

HRESULT CResponseObject::GetHeaderString(const char* pszName, BSTR* pbstrValue) {
    if (CheckExpression(!pbstrValue))
        return E_POINTER;
    try {
        CCritSecLock guard(m_lock);
        if (CheckExpression(!m_pResponse))
            return E_UNEXPECTED;
        *pbstrValue = BSTR::FromUtf8(m_pResponse->GetHeader(pszName));
        return S_OK;
    } catch (...) {
        return ReportException("CResponseObject::GetHeaderString", CV_HERE);
    }
}

HRESULT CResponseObject::PutHeaderString(const char* pszName, const BSTR& bstrValue) {
    try {
        CCritSecLock guard(m_lock);
        if (CheckExpression(!m_pResponse))
            return E_UNEXPECTED;
        return CheckResultValue(m_pResponse->PutHeader(pszName, Narrow(bstrValue)));
    } catch (...) {
        return ReportException("CResponseObject::PutHeaderString", CV_HERE);
    }
}

HRESULT CResponseObject::AddHeader(BSTR bstrHeaderName, BSTR bstrHeaderValue) {
    try {
        CCritSecLock guard(m_lock);
        if (CheckExpression(!m_pResponse))
            return E_UNEXPECTED;
        // The HTTP response refuses names that are not tokens and values with line breaks.
        return CheckResultValue(
            m_pResponse->PutHeader(Narrow(bstrHeaderName), Narrow(bstrHeaderValue)));
    } catch (...) {
        return ReportException("CResponseObject::AddHeader", CV_HERE);
    }
}

HRESULT CResponseObject::get_CacheControl(BSTR* pbstrCacheControl) {
    return GetHeaderString("Cache-Control", pbstrCacheControl);
}

HRESULT CResponseObject::put_CacheControl(BSTR bstrCacheControl) {
    return PutHeaderString("Cache-Control", bstrCacheControl);
}

HRESULT CResponseObject::Pics(BSTR bstrHeaderValue) {
    return PutHeaderString("PICS-label", bstrHeaderValue);
}

HRESULT CResponseObject::AppendBody(const void* pv, std::size_t cb) {
    if (CheckExpression(!m_ptrStream))
        return E_UNEXPECTED;
    if (CheckExpression(cb > 0xFFFFFFFFu))
        return E_OUTOFMEMORY;
    ULONG cbWritten = 0;
    HRESULT hr = m_ptrStream->Write(pv, static_cast<ULONG>(cb), &cbWritten);
    if (!CheckResult(hr))
        return hr;
    if (CheckExpression(cbWritten != cb))
        return STG_E_MEDIUMFULL;
    return S_OK;
}

HRESULT CResponseObject::Write(const VARIANT& varText) {
    try {
        CCritSecLock guard(m_lock);
        CComVariant varString;
        HRESULT hr =
            VariantChangeTypeEx(&varString, &varText, m_lcid, kLocaleWordsForBooleans, VT_BSTR);
        if (!CheckResult(hr))
            return hr;
        const std::u16string_view text = varString.Text();
        if (!m_cpConverter || text.empty()) {
            std::string bytes;
            bytes.reserve(text.size() * 2);
            for (char16_t c : text) {
                bytes.push_back(static_cast<char>(c & 0xFF));
                bytes.push_back(static_cast<char>(c >> 8));
            }
            return AppendBody(bytes.data(), bytes.size());
        }
        // The converted text is as long as it needs to be: UTF-8 takes up to three bytes
        // for one UTF-16 unit.
        std::string bytes;
        hr = UnicodeToMultiByte(*m_cpConverter, text, &bytes);
        if (!CheckResult(hr))
            return hr;
        return AppendBody(bytes.data(), bytes.size());
    } catch (...) {
        return ReportException("CResponseObject::Write", CV_HERE);
    }
}

HRESULT CResponseObject::BinaryWrite(const VARIANT& varInput) {
    try {
        const VARIANT* pvar = &varInput;
        if (pvar->vt == (VT_VARIANT | VT_BYREF) && pvar->pvarVal)
            pvar = pvar->pvarVal;
        SAFEARRAY* psa = nullptr;
        if (pvar->vt == (VT_ARRAY | VT_UI1))
            psa = pvar->parray;
        else if (pvar->vt == (VT_ARRAY | VT_UI1 | VT_BYREF) && pvar->pparray)
            psa = *pvar->pparray;
        else if (CheckExpression(pvar->vt != (VT_ARRAY | VT_UI1)))
            return DISP_E_TYPEMISMATCH;
        if (CheckExpression(!psa))
            return E_POINTER;
        if (CheckExpression(SafeArrayGetDim(psa) != 1))
            return DISP_E_TYPEMISMATCH;
        LONG lLower = 0, lUpper = -1;
        HRESULT hr = SafeArrayGetLBound(psa, 1, &lLower);
        if (!CheckResult(hr))
            return hr;
        hr = SafeArrayGetUBound(psa, 1, &lUpper);
        if (!CheckResult(hr))
            return hr;
        const std::size_t cb =
            lUpper >= lLower ? static_cast<std::size_t>(LONGLONG(lUpper) - lLower + 1) : 0;
        void* pvData = nullptr;
        hr = SafeArrayAccessData(psa, &pvData);
        if (!CheckResult(hr))
            return hr;
        CCritSecLock guard(m_lock);
        hr = cb ? AppendBody(pvData, cb) : S_OK;
        SafeArrayUnaccessData(psa);
        return hr;
    } catch (...) {
        return ReportException("CResponseObject::BinaryWrite", CV_HERE);
    }
}

HRESULT CResponseObject::Clear() {
    CCritSecLock guard(m_lock);
    if (CheckExpression(!m_ptrStream))
        return E_UNEXPECTED;
    HRESULT hr = m_ptrStream->Seek(0, STREAM_SEEK_SET, nullptr);
    if (!CheckResult(hr))
        return hr;
    return CheckResultValue(m_ptrStream->SetSize(0));
}

CComPtr<IASPEntity> CResponseObject::RunningEntity() {
    CCritSecLock guard(m_lock);
    return m_ptrASPEntity;
}

HRESULT CResponseObject::End() {
    // The entity halts the script; our lock is not held while it does.
    CComPtr<IASPEntity> ptrEntity = RunningEntity();
    if (CheckExpression(!ptrEntity))
        return E_UNEXPECTED;
    return CheckResultValue(ptrEntity->End());
}

HRESULT CResponseObject::Redirect(BSTR bstrURL) {
    try {
        // A URL with a line break would split the response; refused before anything changes.
        if (CheckExpression(bstrURL.View().find_first_of(u"\r\n") != std::u16string_view::npos))
            return E_INVALIDARG;
        {
            CCritSecLock guard(m_lock);
            if (CheckExpression(!m_pResponse))
                return E_UNEXPECTED;
            HRESULT hr = Clear();
            if (FAILED(hr))
                return hr;
            m_strStatus = BSTR(u"302 Found");
            m_pResponse->ClearHeaders();
            hr = m_pResponse->PutHeader("Location", Narrow(bstrURL));
            if (!CheckResult(hr))
                return hr;
        }
        return End();
    } catch (...) {
        return ReportException("CResponseObject::Redirect", CV_HERE);
    }
}

HRESULT CResponseObject::WriteBlock(ULONG ulBlockNumber) {
    try {
        CComPtr<IASPEntity> ptrEntity = RunningEntity();
        if (CheckExpression(!ptrEntity))
            return E_UNEXPECTED;
        BSTR bstrText;
        HRESULT hr = ptrEntity->GetBlockText(ulBlockNumber, &bstrText);
        if (!CheckResult(hr))
            return hr;
        return Write(CComVariant(std::move(bstrText)));
    } catch (...) {
        return ReportException("CResponseObject::WriteBlock", CV_HERE);
    }
}

HRESULT CResponseObject::DispatchWriteBlock(LONGLONG llBlockNumber) {
    if (CheckExpression(llBlockNumber < 0 || llBlockNumber > 0xFFFFFFFFll))
        return E_INVALIDARG;
    return WriteBlock(static_cast<ULONG>(llBlockNumber));
}

HRESULT CResponseObject::get_CharSet(BSTR* pbstrCharSetRet) {
    if (CheckExpression(!pbstrCharSetRet))
        return E_POINTER;
    CCritSecLock guard(m_lock);
    *pbstrCharSetRet = m_strCharSet;
    return S_OK;
}

HRESULT CResponseObject::put_CharSet(BSTR bstrCharSet) {
    try {
        const CodePageEntry* entry = FindCodePageByLabel(Narrow(bstrCharSet));
        if (CheckExpression(!entry))
            return E_INVALIDARG;
        CCritSecLock guard(m_lock);
        m_cpConverter = entry->codePage;
        m_lCodePage = static_cast<LONG>(entry->codePage);
        m_strCharSet = std::move(bstrCharSet);
        return S_OK;
    } catch (...) {
        return ReportException("CResponseObject::put_CharSet", CV_HERE);
    }
}

HRESULT CResponseObject::get_CodePage(LONG* plvar) {
    if (CheckExpression(!plvar))
        return E_POINTER;
    CCritSecLock guard(m_lock);
    *plvar = m_lCodePage;
    return S_OK;
}

HRESULT CResponseObject::put_CodePage(LONG lvar) {
    try {
        // The ANSI code page (0) stands for the platform's, UTF-8.
        const CodePageEntry* entry = FindCodePage(static_cast<UINT>(lvar));
        if (CheckExpression(!entry))
            return E_INVALIDARG;
        CCritSecLock guard(m_lock);
        m_strCharSet = BSTR::FromUtf8(entry->webLabel);
        m_cpConverter = entry->codePage;
        m_lCodePage = static_cast<LONG>(entry->codePage);
        return S_OK;
    } catch (...) {
        return ReportException("CResponseObject::put_CodePage", CV_HERE);
    }
}

HRESULT CResponseObject::get_LCID(LONG* plvar) {
    if (CheckExpression(!plvar))
        return E_POINTER;
    CCritSecLock guard(m_lock);
    *plvar = static_cast<LONG>(m_lcid);
    return S_OK;
}

HRESULT CResponseObject::put_LCID(LONG lvar) {
    try {
        LCID lcid = static_cast<LCID>(lvar);
        // A neutral sublanguage that is no locale of its own means the language's default.
        constexpr LCID kSubLanguageMask = 0xFC00;
        constexpr LCID kSubLanguageDefault = 0x0400;
        if ((lcid & kSubLanguageMask) == 0 && !IsValidLocale(lcid, LCID_SUPPORTED))
            lcid |= kSubLanguageDefault;
        if (CheckExpression(!IsValidLocale(lcid, LCID_INSTALLED)))
            return E_INVALIDARG;
        CCritSecLock guard(m_lock);
        m_lcid = lcid;
        return S_OK;
    } catch (...) {
        return ReportException("CResponseObject::put_LCID", CV_HERE);
    }
}

HRESULT CResponseObject::SetStream(IStream* pStream) {
    if (CheckExpression(!pStream))
        return E_POINTER;
    CCritSecLock guard(m_lock);
    m_ptrStream = pStream;
    return S_OK;
}
