// Test support for the page compiler and the entities.
#include "pages/entities/EntityTestSupport.h"

#include <mutex>

#include "com/Strings.h"
#include "idl/DispatchIds.h"
#include "pages/MemoryStream.h"
#include "pages/entities/ASAEntity.h"
#include "pages/entities/ASPEntity.h"
#include "pages/entities/FileEntity.h"
#include "script/engine/jscript/CJScriptEngine.h"
#include "script/engine/vbscript/VBScriptEngine.h"

namespace entity_test {

void RegisterClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterVBScriptEngine();
        RegisterJScriptEngine();
        CTextPage::RegisterClass();
        CASPEntity::RegisterClass();
        CASAEntity::RegisterClass();
        CFileEntity::RegisterClass();
    });
}

CComPtr<ITextPage> MakeTextPage(std::u16string_view name, std::u16string_view text,
                                std::u16string_view mime, LCID lcid, const CLSID& clsidEntity) {
    std::vector<BYTE> bytes;
    for (char16_t ch : text) {
        bytes.push_back(static_cast<BYTE>(ch & 0xFF));
        bytes.push_back(static_cast<BYTE>(ch >> 8));
    }
    CComPtr<CMemoryStream> ptrData = MakeObject<CMemoryStream>(std::move(bytes));
    CComPtr<CMemoryStream> ptrMeta = MakeObject<CMemoryStream>();
    CComPtr<CTextPage> ptrPage = MakeObject<CTextPage>();
    if (FAILED(ptrPage->Compile(ptrMeta.Get(), ptrData.Get())))
        return nullptr;
    ptrMeta->Seek(0, STREAM_SEEK_SET, nullptr);
    if (FAILED(ptrPage->Load(lcid, ptrMeta.Get(), ptrData.Get(), BSTR(name), BSTR(mime),
                             clsidEntity, 1200)))
        return nullptr;
    return CComPtr<ITextPage>(ptrPage.Get());
}

HRESULT CRecordingTarget::AddScriptPage(ITextPage* pPage, ITextPage* pParentPage,
                                        DWORD* pdwContext) {
    (void)pParentPage;
    for (size_t i = 0; i < pages.size(); ++i) {
        if (pages[i].Get() == pPage) {
            *pdwContext = static_cast<DWORD>(i);
            return S_OK;
        }
    }
    pages.emplace_back(pPage);
    *pdwContext = static_cast<DWORD>(pages.size() - 1);
    return S_OK;
}

HRESULT CRecordingTarget::AddScript(const BSTR& strLanguage, const BSTR& strScript, DWORD dwContext,
                                    const std::vector<CScriptEngine::ScriptBlock>& arrBlocks) {
    scripts.push_back({strLanguage.Str(), strScript.Str(), dwContext, arrBlocks});
    return S_OK;
}

void CPageSet::Add(std::u16string name, std::u16string_view text, LONG nCodePage) {
    CComPtr<ITextPage> ptrPage = MakeTextPage(name, text);
    if (nCodePage != 1200) {
        // Reload with another code page.
        CComPtr<IStream> ptrData;
        ptrPage->GetDataStream(ptrData.Receive());
        CComPtr<CTextPage> ptrOther = MakeObject<CTextPage>();
        CComPtr<CMemoryStream> ptrMeta = MakeObject<CMemoryStream>();
        ptrOther->Compile(ptrMeta.Get(), ptrData.Get());
        ptrMeta->Seek(0, STREAM_SEEK_SET, nullptr);
        ptrOther->Load(0x409, ptrMeta.Get(), ptrData.Get(), BSTR(name), BSTR(u"text/asp"), CLSID(),
                       nCodePage);
        ptrPage = CComPtr<ITextPage>(ptrOther.Get());
    }
    m_pages[std::move(name)] = ptrPage;
}

CASPCompiler::PageLoader CPageSet::Loader() {
    return [this](LCID, std::u16string_view strName, IPage** ppPage) -> HRESULT {
        const auto it = m_pages.find(std::u16string(strName));
        if (it == m_pages.end())
            return STG_E_FILENOTFOUND;
        return it->second->QueryInterface(IIDOf<IPage>(), reinterpret_cast<void**>(ppPage));
    };
}

const CDispatchTable& CTestResponse::GetDispatchTable() {
    static const CDispatchTable table(
        u"IResponse",
        {
            DispMethod<&CTestResponse::End>(u"End", DISPID_IRESPONSE_END),
            DispMethod<&CTestResponse::Write>(u"Write", DISPID_IRESPONSE_WRITE),
            DispMethod<&CTestResponse::WriteBlock>(u"WriteBlock", DISPID_IRESPONSE_WRITEBLOCK),
            DispGet<&CTestResponse::get_LCID>(u"LCID", DISPID_IRESPONSE_LCID),
            DispPut<&CTestResponse::put_LCID>(u"LCID", DISPID_IRESPONSE_LCID),
        });
    return table;
}

HRESULT CTestResponse::Write(const VARIANT& var) {
    CComVariant varText;
    HRESULT hr = VariantChangeType(&varText, &var, 0, VT_BSTR);
    if (FAILED(hr))
        return hr;
    m_strOutput += VariantBstr(varText).Str();
    if (m_onWrite)
        m_onWrite();
    return S_OK;
}

HRESULT CTestResponse::WriteBlock(LONG nBlock) {
    if (!m_pEntity)
        return E_UNEXPECTED;
    BSTR strText;
    HRESULT hr = m_pEntity->GetBlockText(static_cast<ULONG>(nBlock), &strText);
    if (FAILED(hr))
        return hr;
    m_strOutput += strText.Str();
    return S_OK;
}

HRESULT CTestResponse::End() {
    return m_pEntity ? m_pEntity->End() : E_UNEXPECTED;
}

const CDispatchTable& CTestRequest::GetDispatchTable() {
    static const CDispatchTable table(
        u"IRequest",
        {
            DispMethod<&CTestRequest::QueryString>(u"QueryString", DISPID_IREQUEST_QUERYSTRING),
        });
    return table;
}

HRESULT CTestRequest::QueryString(BSTR bstrName, VARIANT* pVal) {
    const auto it = m_mapQuery.find(bstrName.Str());
    CComVariant var(it == m_mapQuery.end() ? std::u16string_view() : it->second);
    return VariantCopy(pVal, &var);
}

std::string ReadAll(IStream* pStream) {
    std::string text;
    if (!pStream)
        return text;
    pStream->Seek(0, STREAM_SEEK_SET, nullptr);
    char buffer[4096];
    ULONG cbRead = 0;
    do {
        cbRead = 0;
        pStream->Read(buffer, sizeof buffer, &cbRead);
        text.append(buffer, cbRead);
    } while (cbRead == sizeof buffer);
    return text;
}

}  // namespace entity_test
