// The Request object: the query string and the URL-encoded form of a request.
#include "objects/RequestObject.h"

#include <unordered_map>
#include <utility>
#include <vector>

#include "com/CodePage.h"
#include "com/DiagnosticLog.h"
#include "com/HexDigit.h"
#include "idl/DispatchIds.h"
#include "objects/StringList.h"

namespace {

// Decoded bytes as text of the ANSI code page.
HRESULT ToText(std::string_view bytes, BSTR* pText) {
    std::u16string text;
    HRESULT hr = CheckResultValue(MultiByteToUnicode(CP_ACP, bytes, &text));
    if (FAILED(hr))
        return hr;
    *pText = BSTR(std::move(text));
    return S_OK;
}

// The dictionary's interface pointer handed out as IDispatch.
HRESULT HandOut(const CComPtr<CRequestDictionary>& ptrDict, IDispatch** ppDisp) {
    *ppDisp = nullptr;
    if (ptrDict) {
        *ppDisp = static_cast<IRequestDictionary*>(ptrDict.Get());
        (*ppDisp)->AddRef();
    }
    return S_OK;
}

}  // namespace

const CDispatchTable& CRequestObject::GetDispatchTable() {
    using C = CRequestObject;
    static const CDispatchTable table(
        u"IRequest",
        {
            DispGet<&C::DispatchItem>(u"Item", DISPID_IREQUEST_ITEM),
            DispGet<&C::DispatchQueryString>(u"QueryString", DISPID_IREQUEST_QUERYSTRING),
            DispGet<&C::DispatchForm>(u"Form", DISPID_IREQUEST_FORM),
            DispGet<&C::DispatchServerVariables>(u"ServerVariables",
                                                 DISPID_IREQUEST_SERVERVARIABLES),
            DispGet<&C::DispatchClientCertificate>(u"ClientCertificate",
                                                   DISPID_IREQUEST_CLIENTCERTIFICATE),
            DispGet<&C::DispatchCookies>(u"Cookies", DISPID_IREQUEST_COOKIES),
            DispGet<&C::get_TotalBytes>(u"TotalBytes", DISPID_IREQUEST_TOTALBYTES),
            DispMethod<&C::DispatchBinaryRead>(u"BinaryRead", DISPID_IREQUEST_BINARYREAD),
        });
    return table;
}

std::string CRequestObject::URLDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            HexDigitValue(static_cast<unsigned char>(text[i + 1])) >= 0 &&
            HexDigitValue(static_cast<unsigned char>(text[i + 2])) >= 0) {
            out.push_back(
                static_cast<char>(HexDigitValue(static_cast<unsigned char>(text[i + 1])) * 16 +
                                  HexDigitValue(static_cast<unsigned char>(text[i + 2]))));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

HRESULT CRequestObject::ParseFields(std::string_view source, CComPtr<CRequestDictionary>* pDict) {
    if (CheckExpression(!pDict))
        return E_POINTER;
    try {
        // Names in order of first appearance, each with all its values in order.
        std::vector<std::pair<BSTR, std::vector<BSTR>>> fields;
        std::unordered_map<std::u16string, std::size_t> mapIndex;
        HRESULT hr = S_OK;
        std::size_t nStart = 0;
        while (!source.empty() && nStart <= source.size()) {
            std::size_t nEnd = source.find('&', nStart);
            if (nEnd == std::string_view::npos)
                nEnd = source.size();
            const std::string_view segment = source.substr(nStart, nEnd - nStart);
            nStart = nEnd + 1;
            const std::size_t nEquals = segment.find('=');
            if (nEquals == std::string_view::npos)
                continue;
            BSTR strName;
            BSTR strValue;
            hr = ToText(URLDecode(segment.substr(0, nEquals)), &strName);
            if (FAILED(hr))
                return hr;
            hr = ToText(URLDecode(segment.substr(nEquals + 1)), &strValue);
            if (FAILED(hr))
                return hr;
            const auto [it, bNew] = mapIndex.try_emplace(strName.Str(), fields.size());
            if (bNew)
                fields.emplace_back(std::move(strName), std::vector<BSTR>());
            fields[it->second].second.push_back(std::move(strValue));
        }

        CRequestDictionary::CEntryMap mapEntries;
        for (auto& [strName, values] : fields) {
            CComVariant varValue;
            if (values.size() == 1) {
                varValue = CComVariant(std::move(values.front()));
            } else {
                CComPtr<CStringList> ptrList = MakeObject<CStringList>(&hr);
                if (!CheckResult(hr))
                    return hr;
                hr = CheckResultValue(ptrList->Init(std::move(values)));
                if (FAILED(hr))
                    return hr;
                varValue = CComVariant(static_cast<IDispatch*>(ptrList.Get()));
            }
            mapEntries.emplace(CComVariant(std::move(strName)), std::move(varValue));
        }

        BSTR strWhole;
        hr = ToText(source, &strWhole);
        if (FAILED(hr))
            return hr;
        CComPtr<CRequestDictionary> ptrDict = MakeObject<CRequestDictionary>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = CheckResultValue(ptrDict->Init(std::move(mapEntries), std::move(strWhole)));
        if (FAILED(hr))
            return hr;
        *pDict = std::move(ptrDict);
        return S_OK;
    } catch (...) {
        return ReportException("CRequestObject::ParseFields", CV_HERE);
    }
}

HRESULT CRequestObject::Init(const CHTTPRequest* pRequest, const std::string* pBody) {
    if (CheckExpression(!pRequest))
        return E_POINTER;
    if (CheckExpression(m_pQueryString))
        return E_UNEXPECTED;
    try {
        m_pRequest = pRequest;
        CComPtr<CRequestDictionary> ptrQueryString;
        HRESULT hr = CheckResultValue(InitQueryString(&ptrQueryString));
        if (FAILED(hr))
            return hr;
        CComPtr<CRequestDictionary> ptrForm;
        std::string strContentType;
        if (pBody && pRequest->GetHeader("CONTENT-TYPE", &strContentType) &&
            strContentType == "application/x-www-form-urlencoded") {
            hr = CheckResultValue(ParsePost(*pBody, &ptrForm));
            if (FAILED(hr))
                return hr;
        }
        m_pQueryString = std::move(ptrQueryString);
        m_pFormData = std::move(ptrForm);
        return S_OK;
    } catch (...) {
        return ReportException("CRequestObject::Init", CV_HERE);
    }
}

HRESULT CRequestObject::InitQueryString(CComPtr<CRequestDictionary>* pDict) {
    if (CheckExpression(!m_pRequest))
        return E_UNEXPECTED;
    // The URL cracker has taken the query apart from the path already; leading '?' and
    // '#' are not part of any name.
    std::string_view query = m_pRequest->GetQuery();
    const std::size_t nFirst = query.find_first_not_of("?#");
    query = nFirst == std::string_view::npos ? std::string_view() : query.substr(nFirst);
    return CheckResultValue(ParseFields(query, pDict));
}

HRESULT CRequestObject::ParsePost(std::string_view body, CComPtr<CRequestDictionary>* pDict) {
    return CheckResultValue(ParseFields(body, pDict));
}

HRESULT CRequestObject::get_QueryString(IRequestDictionary** ppDictReturn) {
    if (CheckExpression(!ppDictReturn))
        return E_POINTER;
    *ppDictReturn = m_pQueryString.Get();
    if (*ppDictReturn)
        (*ppDictReturn)->AddRef();
    return S_OK;
}

HRESULT CRequestObject::get_Form(IRequestDictionary** ppDictReturn) {
    if (CheckExpression(!ppDictReturn))
        return E_POINTER;
    *ppDictReturn = m_pFormData.Get();
    if (*ppDictReturn)
        (*ppDictReturn)->AddRef();
    return S_OK;
}

HRESULT CRequestObject::DispatchQueryString(IDispatch** ppDictReturn) {
    if (CheckExpression(!ppDictReturn))
        return E_POINTER;
    return HandOut(m_pQueryString, ppDictReturn);
}

HRESULT CRequestObject::DispatchForm(IDispatch** ppDictReturn) {
    if (CheckExpression(!ppDictReturn))
        return E_POINTER;
    return HandOut(m_pFormData, ppDictReturn);
}

// Members the object does not offer.

HRESULT CRequestObject::get_Item(BSTR, IDispatch**) {
    return E_NOTIMPL;
}
HRESULT CRequestObject::get_ServerVariables(IRequestDictionary**) {
    return E_NOTIMPL;
}
HRESULT CRequestObject::get_ClientCertificate(IRequestDictionary**) {
    return E_NOTIMPL;
}
HRESULT CRequestObject::get_Cookies(IRequestDictionary**) {
    return E_NOTIMPL;
}
HRESULT CRequestObject::get_TotalBytes(LONG*) {
    return E_NOTIMPL;
}
HRESULT CRequestObject::BinaryRead(VARIANT*, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CRequestObject::DispatchItem(BSTR bstrVar, IDispatch** ppObjReturn) {
    return get_Item(std::move(bstrVar), ppObjReturn);
}
HRESULT CRequestObject::DispatchServerVariables(IDispatch**) {
    return E_NOTIMPL;
}
HRESULT CRequestObject::DispatchClientCertificate(IDispatch**) {
    return E_NOTIMPL;
}
HRESULT CRequestObject::DispatchCookies(IDispatch**) {
    return E_NOTIMPL;
}
HRESULT CRequestObject::DispatchBinaryRead(ByRef<VARIANT> varCountToRead, VARIANT* pvarReturn) {
    return BinaryRead(varCountToRead.Get(), pvarReturn);
}
