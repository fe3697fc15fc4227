// The ASA entity: compiling an application file and handing out instances of it.
#include "pages/entities/ASAEntity.h"

#include <cstdio>

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "com/HexDigit.h"
#include "com/Strings.h"
#include "idl/Identifiers.h"
#include "objects/ObjectInterfaces1.h"
#include "objects/PropertyBag.h"
#include "pages/TextPage.h"
#include "pages/entities/ASPEntity.h"
#include "storage/StorageManager.h"

namespace {

// In rank order, as the page scanner takes them: a block of the pair at index i has
// kind i + 1.
constexpr CASPCompiler::DelimiterPair kApplicationPairs[] = {
    {u"<SCRIPT", u"</SCRIPT>"},
    {u"<OBJECT", u"</OBJECT>"},
    {u"<!--", u"-->"},
};

// The length of "</OBJECT>": the inner text of an object block ends that far before the
// block's end.
constexpr size_t kObjectEndTagLength = 9;

void LogText(std::string_view strPrefix, std::u16string_view strText, const SourceLocation& where) {
    WriteLog(std::string(strPrefix) + Utf16ToUtf8(strText), &where);
}

// A hexadecimal field of exactly nDigits digits at str[nPos].
bool ReadHex(std::u16string_view str, size_t& nPos, size_t nDigits, unsigned long long* pValue) {
    if (nPos + nDigits > str.size())
        return false;
    unsigned long long value = 0;
    for (size_t i = 0; i < nDigits; ++i) {
        const int nDigit = HexDigitValue(str[nPos + i]);
        if (nDigit < 0)
            return false;
        value = value * 16 + static_cast<unsigned>(nDigit);
    }
    nPos += nDigits;
    *pValue = value;
    return true;
}

bool ReadChar(std::u16string_view str, size_t& nPos, char16_t ch) {
    if (nPos >= str.size() || str[nPos] != ch)
        return false;
    ++nPos;
    return true;
}

// "CLSID:" and the textual form of a class identifier without braces, upper case.
bool ParseClassIdAttribute(std::u16string_view str, CLSID* pclsid) {
    size_t nPos = 0;
    if (str.substr(0, 6) != u"CLSID:")
        return false;
    nPos = 6;
    unsigned long long ullData1 = 0, ullData2 = 0, ullData3 = 0, ullByte = 0;
    if (!ReadHex(str, nPos, 8, &ullData1) || !ReadChar(str, nPos, u'-') ||
        !ReadHex(str, nPos, 4, &ullData2) || !ReadChar(str, nPos, u'-') ||
        !ReadHex(str, nPos, 4, &ullData3) || !ReadChar(str, nPos, u'-'))
        return false;
    CLSID clsid{};
    clsid.Data1 = static_cast<ULONG>(ullData1);
    clsid.Data2 = static_cast<USHORT>(ullData2);
    clsid.Data3 = static_cast<USHORT>(ullData3);
    for (size_t i = 0; i < 8; ++i) {
        if (i == 2 && !ReadChar(str, nPos, u'-'))
            return false;
        if (!ReadHex(str, nPos, 2, &ullByte))
            return false;
        clsid.Data4[i] = static_cast<BYTE>(ullByte);
    }
    if (nPos != str.size())
        return false;
    *pclsid = clsid;
    return true;
}

}  // namespace

HRESULT CASAEntity::RegisterClass() {
    return CheckResultValue(
        CClassRegistry::Instance().RegisterClass<CASAEntity>(CLSID_ASAEntity, PROGID_ASAEntity));
}

CASAEntity::CASAEntity() = default;

CASAEntity::~CASAEntity() = default;

void CASAEntity::FinalRelease() {
    // The engine and its root instance hold each other until the engine is closed.
    if (m_pEngine) {
        m_pEngine->Close();
        m_pEngine.Reset();
    }
}

void CASAEntity::SetPageLoader(CASPCompiler::PageLoader loader) {
    CCritSecLock lock(m_cs);
    m_loader = std::move(loader);
}

HRESULT CASAEntity::Init(LCID lcid, IApplication* pApp, IPage* pPage) {
    if (CheckExpression(!pPage))
        return E_INVALIDARG;
    try {
        CComPtr<ITextPage> ptrPage;
        HRESULT hr = pPage->QueryInterface(IIDOf<ITextPage>(), ptrPage.ReceiveVoid());
        if (!CheckResult(hr))
            return hr;
        BSTR strName;
        hr = ptrPage->GetName(&strName);
        if (!CheckResult(hr))
            return hr;

        CComPtr<CScriptEngine> pEngine = MakeObject<CScriptEngine>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = pEngine->Init(this);
        if (!CheckResult(hr)) {
            pEngine->Close();
            return hr;
        }

        CCritSecLock lock(m_cs);
        if (CheckExpression(m_pEngine)) {
            pEngine->Close();
            return E_UNEXPECTED;
        }
        m_pEngine = pEngine;
        m_lcid = lcid;
        m_ptrApplication.Reset();
        if (pApp) {
            // IApplication derives from IDispatch alone, so its IUnknown is the object's.
            hr = reinterpret_cast<IUnknown*>(pApp)->QueryInterface(IIDOf<IDispatch>(),
                                                                   m_ptrApplication.ReceiveVoid());
            if (!CheckResult(hr)) {
                m_pEngine->Close();
                m_pEngine.Reset();
                return hr;
            }
        }
        if (!m_loader)
            m_loader = CASPEntity::StorageManagerLoader();
        std::list<std::u16string> listIncludes{strName.Str()};
        hr = ParsePage(ptrPage.Get(), nullptr, listIncludes);
        if (!CheckResult(hr)) {
            m_pEngine->Close();
            m_pEngine.Reset();
            return hr;
        }
        return S_OK;
    } catch (...) {
        return ReportException("CASAEntity::Init", CV_HERE);
    }
}

HRESULT CASAEntity::ParsePage(ITextPage* pPage, ITextPage* pParent,
                              std::list<std::u16string>& listIncludes) {
    std::vector<Block> arrBlocks;
    HRESULT hr = CASPCompiler::ScanBlocks(pPage, kApplicationPairs, &arrBlocks);
    if (!CheckResult(hr))
        return hr;
    // There is no body script: the file's scripts are its script blocks, in page order.
    for (const Block& block : arrBlocks) {
        switch (block.nKind) {
            case kScript:
                hr = ParseScriptBlock(block, pPage, pParent);
                if (FAILED(hr)) {
                    CheckResultAt(hr, "ParseScriptBlock(block,ptrPage,pParentPage,listIncludes)",
                                  CV_HERE);
                    return hr;
                }
                break;
            case kObject:
                hr = ParseObjectBlock(block, pPage);
                if (FAILED(hr)) {
                    CheckResultAt(hr, "ParseObjectBlock(block,ptrPage)", CV_HERE);
                    return hr;
                }
                break;
            case kComment:
                hr = ParseCommentBlock(block, pPage, pParent, listIncludes);
                if (FAILED(hr)) {
                    CheckResultAt(hr, "ParseCommentBlock(block,ptrPage,pParentPage,listIncludes)",
                                  CV_HERE);
                    return hr;
                }
                break;
            default:
                break;
        }
    }
    return S_OK;
}

HRESULT CASAEntity::ParseScriptBlock(const Block& block, ITextPage* pPage, ITextPage* pParent) {
    BSTR strText;
    HRESULT hr = pPage->GetText(block.ulCharStart, block.ulLength, &strText);
    if (!CheckResult(hr))
        return hr;
    CASPCompiler::ScriptTag tag;
    if (CheckExpression(!CASPCompiler::ReadScriptTag(strText.View(), block.ulCharStart, &tag)))
        return E_UNEXPECTED;
    // An application file has no client to hand a script to.
    if (!tag.bServer) {
        CheckResultAt(E_UNEXPECTED, "E_UNEXPECTED", CV_HERE);
        return E_UNEXPECTED;
    }
    DWORD dwContext = 0;
    hr = m_pEngine->AddScriptPage(pPage, pParent, &dwContext);
    if (!CheckResult(hr))
        return hr;
    const std::vector<CScriptEngine::ScriptBlock> arrMap{
        {0, tag.ulScriptStart, static_cast<ULONG>(tag.strScript.size())}};
    return CheckResultValue(m_pEngine->AddScript(
        BSTR(tag.strLanguage), BSTR(std::move(tag.strScript)), dwContext, arrMap));
}

HRESULT CASAEntity::ClassOfObjectTag(const Attributes& attribs, CLSID* pclsid) {
    if (const auto it = attribs.find(u"PROGID"); it != attribs.end())
        return CheckResultValue(CLSIDFromProgID(it->second.c_str(), pclsid));
    const auto it = attribs.find(u"CLASSID");
    if (CheckExpression(it == attribs.end()))
        return E_UNEXPECTED;
    if (CheckExpression(!ParseClassIdAttribute(ToUpperSimple(it->second), pclsid)))
        return E_UNEXPECTED;
    return S_OK;
}

HRESULT CASAEntity::ParseObjectBlock(const Block& block, ITextPage* pPage) {
    BSTR strText;
    HRESULT hr = pPage->GetText(block.ulCharStart, block.ulLength, &strText);
    if (!CheckResult(hr))
        return hr;
    const std::u16string strScript(strText.View());
    std::u16string strTag;
    Attributes attribs;
    int nEndPos = -1;
    if (CheckExpression(!CTextPage::AttribParse(strScript, strTag, attribs, nEndPos) ||
                        strTag != u"OBJECT"))
        return E_UNEXPECTED;
    const auto itRunAt = attribs.find(u"RUNAT");
    const auto itId = attribs.find(u"ID");
    if (itRunAt == attribs.end() || ToUpperSimple(itRunAt->second) != u"SERVER" ||
        itId == attribs.end()) {
        CheckResultAt(E_UNEXPECTED, "E_UNEXPECTED", CV_HERE);
        return E_UNEXPECTED;
    }
    const std::u16string strId = itId->second;
    const auto itScope = attribs.find(u"SCOPE");
    if (CheckExpression(itScope == attribs.end()))
        return E_UNEXPECTED;
    const std::u16string strScope = itScope->second;

    CLSID clsid{};
    hr = ClassOfObjectTag(attribs, &clsid);
    if (!CheckResult(hr))
        return hr;
    CComPtr<IPersistPropertyBag> ptrPersist;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IIDOf<IPersistPropertyBag>(),
                          ptrPersist.ReceiveVoid());
    if (!CheckResult(hr))
        return hr;

    // What is left of the tag, SCOPE among it, and the PARAM tags of the inner text are
    // the object's properties.
    for (const char16_t* pszName : {u"RUNAT", u"ID", u"PROGID", u"CLASSID"})
        attribs.erase(pszName);
    const size_t nLength = strScript.size();
    const size_t nStart = std::min(static_cast<size_t>(std::max(nEndPos, 0)), nLength);
    const size_t nInner =
        nLength - nStart >= kObjectEndTagLength ? nLength - nStart - kObjectEndTagLength : 0;
    CComPtr<CPropertyBag> ptrBag = MakeObject<CPropertyBag>(&hr);
    if (!CheckResult(hr))
        return hr;
    hr = ptrBag->Init(attribs, strScript.substr(nStart, nInner));
    if (!CheckResult(hr))
        return hr;
    hr = ptrPersist->Load(ptrBag.Get(), nullptr);
    if (!CheckResult(hr))
        return hr;

    // Only application scope keeps the object; the comparison is exact.
    if (strScope != u"APPLICATION")
        return S_OK;
    CComPtr<IApplicationEx> ptrAppEx;
    if (m_ptrApplication)
        ptrAppEx = ComQuery<IApplicationEx>(m_ptrApplication.Get());
    if (CheckExpression(!ptrAppEx))
        return E_UNEXPECTED;
    CComPtr<IDispatch> ptrDisp;
    hr = ptrPersist->QueryInterface(IIDOf<IDispatch>(), ptrDisp.ReceiveVoid());
    if (!CheckResult(hr))
        return hr;
    return CheckResultValue(ptrAppEx->AddStaticObject(BSTR(strId), ptrDisp.Get()));
}

HRESULT CASAEntity::ParseCommentBlock(const Block& block, ITextPage* pPage, ITextPage* pParent,
                                      std::list<std::u16string>& listIncludes) {
    BSTR strText;
    HRESULT hr = pPage->GetText(block.ulCharStart, block.ulLength, &strText);
    if (!CheckResult(hr))
        return hr;
    std::u16string strKeyword;
    std::u16string strName;
    // Any other comment is simply skipped: an application file has no output.
    if (!CASPCompiler::ReadIncludeComment(strText.View(), &strKeyword, &strName))
        return S_OK;
    DWORD dwContext = 0;
    hr = m_pEngine->AddScriptPage(pPage, pParent, &dwContext);
    if (!CheckResult(hr))
        return hr;
    if (strKeyword == u"FILE")
        return CheckResultValue(IncludeFile(false, strName, pPage, listIncludes));
    if (strKeyword == u"VIRTUAL")
        return CheckResultValue(IncludeFile(true, strName, pPage, listIncludes));
    LogText("Unusual comment ", strKeyword, CV_HERE);
    return E_UNEXPECTED;
}

HRESULT CASAEntity::IncludeFile(bool bVirtual, const std::u16string& strName, ITextPage* pPage,
                                std::list<std::u16string>& listIncludes) {
    CComPtr<ITextPage> ptrTextPage;
    HRESULT hr = CASPCompiler::LoadIncludedPage(m_loader, m_lcid, bVirtual, strName, listIncludes,
                                                ptrTextPage.Receive());
    if (!CheckResult(hr))
        return hr;
    listIncludes.push_back(strName);
    hr = ParsePage(ptrTextPage.Get(), pPage, listIncludes);
    listIncludes.pop_back();
    return hr;
}

HRESULT CASAEntity::GetLCID(LCID* plcid) {
    if (CheckExpression(!plcid))
        return E_POINTER;
    CCritSecLock lock(m_cs);
    *plcid = m_lcid;
    return S_OK;
}

HRESULT CASAEntity::Close() {
    try {
        CCritSecLock lock(m_cs);
        if (!m_pEngine)
            return S_OK;
        const HRESULT hr = m_pEngine->Close();
        if (!CheckResult(hr))
            return hr;
        m_pEngine.Reset();
        return S_OK;
    } catch (...) {
        return ReportException("CASAEntity::Close", CV_HERE);
    }
}

HRESULT CASAEntity::Instantiate(IScriptInstance** ppInstance) {
    if (CheckExpression(!ppInstance))
        return E_POINTER;
    *ppInstance = nullptr;
    try {
        // Only the engine's part runs under the entity's lock: classifications on every
        // pool thread instantiate the same entity, and the named objects are the new
        // instance's own business.
        CComPtr<IScriptInstance> ptrSI;
        CComPtr<IDispatch> ptrApplication;
        HRESULT hr;
        {
            CCritSecLock lock(m_cs);
            if (CheckExpression(!m_pEngine))
                return E_UNEXPECTED;
            hr = m_pEngine->Instantiate(ptrSI.Receive());
            if (!CheckResult(hr))
                return hr;
            ptrApplication = m_ptrApplication;
        }
        if (ptrApplication) {
            hr = ptrSI->AddNamedObject(BSTR(u"Application"), ptrApplication.Get());
            if (!CheckResult(hr)) {
                ptrSI->Close();
                return hr;
            }
        }
        CComPtr<IDispatch> ptrServer;
        hr = CASPEntity::CreateServerObject(ptrServer.Receive());
        if (SUCCEEDED(hr) && ptrServer)
            hr = ptrSI->AddNamedObject(BSTR(u"Server"), ptrServer.Get());
        if (!CheckResult(hr)) {
            ptrSI->Close();
            return hr;
        }
        *ppInstance = ptrSI.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CASAEntity::Instantiate", CV_HERE);
    }
}

HRESULT CASAEntity::OnScriptError(ITextPage* pPage, ULONG ulCharPos, const EXCEPINFO* pei,
                                  bool bCanDebug) {
    try {
        std::u16string strErrorText;
        const HRESULT hr = CASPEntity::FormatScriptError(pPage, ulCharPos, pei, &strErrorText);
        if (!CheckResult(hr))
            return hr;
        return CASPEntity::ReportCriticalError(strErrorText, bCanDebug);
    } catch (...) {
        return ReportException("CASAEntity::OnScriptError", CV_HERE);
    }
}
