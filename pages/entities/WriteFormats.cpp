// The write formats of the ASP compiler: built-in rows and the registry's engine table.
#include "pages/entities/WriteFormats.h"

#include <vector>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "registry/RegistryStore.h"

namespace {

// Registry names and values longer than this are not read (the table's buffers).
constexpr size_t kMaxRegistryText = 255;

}  // namespace

CWriteFormats& CWriteFormats::Process() {
    static CWriteFormats s_formats(REGISTRY_STORE::instance());
    return s_formats;
}

void CWriteFormats::Fill() {
    m_mapWrite = {
        {u"VBSCRIPT", u"Response.Write | \r\n"},
        {u"JSCRIPT", u"Response.Write(|);"},
    };
    m_mapWriteBlock = {
        {u"VBSCRIPT", u"Response.WriteBlock | \r\n"},
        {u"JSCRIPT", u"Response.WriteBlock(|);"},
    };
    try {
        ReadRegistry();
    } catch (...) {
        // The built-in rows stay usable whatever the registry held.
        ReportException("CWriteFormats::Fill", CV_HERE);
    }
}

void CWriteFormats::ReadRegistry() {
    if (!m_pStore)
        return;
    const std::string strKey(kLanguageEnginesKey);
    std::vector<std::string> arrSubkeys;
    // A missing key (or store) leaves the built-in rows alone; it is not a failure.
    if (FAILED(m_pStore->EnumSubkeys(strKey, &arrSubkeys)))
        return;
    for (const std::string& strSubkey : arrSubkeys) {
        if (strSubkey.size() > kMaxRegistryText)
            continue;
        const std::string strPath = strKey + "\\" + strSubkey;
        const std::u16string strName = ToUpperSimple(Utf8ToUtf16(strSubkey));
        std::string strFormat;
        HRESULT hr = m_pStore->GetString(strPath, "Write", &strFormat);
        if (FAILED(hr) || strFormat.size() > kMaxRegistryText ||
            strFormat.find('|') == std::string::npos)
            continue;
        m_mapWrite[strName] = Utf8ToUtf16(strFormat);
        hr = m_pStore->GetString(strPath, "WriteBlock", &strFormat);
        if (SUCCEEDED(hr) && strFormat.size() <= kMaxRegistryText &&
            strFormat.find('|') != std::string::npos)
            m_mapWriteBlock[strName] = Utf8ToUtf16(strFormat);
    }
}

HRESULT CWriteFormats::LookupWrite(std::u16string_view strLanguage, std::u16string* pstrFormat) {
    if (CheckExpression(!pstrFormat))
        return E_POINTER;
    try {
        std::call_once(m_once, [this] { Fill(); });
        const auto it = m_mapWrite.find(ToUpperSimple(strLanguage));
        if (CheckExpression(it == m_mapWrite.end()))
            return E_UNEXPECTED;
        *pstrFormat = it->second;
        return S_OK;
    } catch (...) {
        return ReportException("CWriteFormats::LookupWrite", CV_HERE);
    }
}

HRESULT CWriteFormats::LookupWriteBlock(std::u16string_view strLanguage,
                                        std::u16string* pstrFormat) {
    if (CheckExpression(!pstrFormat))
        return E_POINTER;
    try {
        std::call_once(m_once, [this] { Fill(); });
        const auto it = m_mapWriteBlock.find(ToUpperSimple(strLanguage));
        if (CheckExpression(it == m_mapWriteBlock.end()))
            return E_UNEXPECTED;
        *pstrFormat = it->second;
        return S_OK;
    } catch (...) {
        return ReportException("CWriteFormats::LookupWriteBlock", CV_HERE);
    }
}
