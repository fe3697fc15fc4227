// The property bag of objects declared in application files.
#include "objects/PropertyBag.h"

#include <string_view>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "pages/TextPage.h"

std::size_t CPropertyBag::CNameHash::operator()(const std::u16string& name) const {
    std::size_t h = 0;
    for (char16_t c : name)
        h = h * 33 + c;
    return h;
}

HRESULT CPropertyBag::Init(const std::map<std::u16string, std::u16string>& attribs,
                           const std::u16string& text) {
    try {
        CCritSecLock lock(m_lock);
        for (const auto& [strName, strValue] : attribs)
            m_mapProperties[strName] = CComVariant(std::u16string_view(strValue));

        std::u16string strRest = text;
        for (;;) {
            std::u16string strTag;
            std::map<std::u16string, std::u16string> mapTagAttribs;
            int nEndPos = -1;
            const bool bParsed = CTextPage::AttribParse(strRest, strTag, mapTagAttribs, nEndPos);
            // No further complete tag: the rest (line breaks before the end tag, stray
            // text) ends the bag.
            if (nEndPos <= 0 || static_cast<std::size_t>(nEndPos) > strRest.size())
                break;
            strRest.erase(0, static_cast<std::size_t>(nEndPos));
            // A tag that cannot be read (no attributes) is passed over like any other tag.
            if (!bParsed || strTag != u"PARAM")
                continue;
            const auto itName = mapTagAttribs.find(u"NAME");
            if (CheckExpression(itName == mapTagAttribs.end()))
                return E_UNEXPECTED;
            const auto itValue = mapTagAttribs.find(u"VALUE");
            if (CheckExpression(itValue == mapTagAttribs.end()))
                return E_UNEXPECTED;
            // Stored under the upper-cased name, as Read looks names up: a PARAM is read
            // back whatever the case it was written in.
            m_mapProperties[ToUpperSimple(itName->second)] =
                CComVariant(std::u16string_view(itValue->second));
        }
        return S_OK;
    } catch (...) {
        return ReportException("CPropertyBag::Init", CV_HERE);
    }
}

HRESULT CPropertyBag::Read(const char16_t* pszPropName, VARIANT* pVar, IErrorLog*) {
    if (CheckExpression(!pszPropName || !pVar))
        return E_POINTER;
    try {
        const std::u16string strName = ToUpperSimple(std::u16string_view(pszPropName));
        CComVariant varValue;
        {
            CCritSecLock lock(m_lock);
            const auto it = m_mapProperties.find(strName);
            if (CheckExpression(it == m_mapProperties.end()))
                return E_INVALIDARG;
            varValue = it->second;
        }
        if (pVar->vt != VT_EMPTY) {
            HRESULT hr = CheckResultValue(varValue.ChangeType(pVar->vt));
            if (FAILED(hr))
                return hr;
        }
        return CheckResultValue(VariantCopy(pVar, &varValue));
    } catch (...) {
        return ReportException("CPropertyBag::Read", CV_HERE);
    }
}

HRESULT CPropertyBag::Write(const char16_t*, VARIANT*) {
    // The bag is read-only.
    return CheckResultValue(E_FAIL);
}
