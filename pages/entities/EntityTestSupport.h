// Test support for the page compiler and the entities: text pages made from strings, a
// compiler target that records what it is given, and doubles of the Response and
// Request script objects.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "com/CComVariant.h"
#include "com/DispatchTable.h"
#include "idl/ServiceInterfaces.h"
#include "pages/TextPage.h"
#include "pages/entities/ASPCompiler.h"

namespace entity_test {

// Registers the script engines and the page and entity classes once per process.
void RegisterClasses();

// A text page of code page 1200 holding `text`, as the storage manager would load it.
CComPtr<ITextPage> MakeTextPage(std::u16string_view name, std::u16string_view text,
                                std::u16string_view mime = u"text/asp", LCID lcid = 0x409,
                                const CLSID& clsidEntity = CLSID());

// Records pages and scripts instead of parsing them.
class CRecordingTarget : public CASPCompiler::Target {
public:
    struct Script {
        std::u16string language;
        std::u16string text;
        DWORD context;
        std::vector<CScriptEngine::ScriptBlock> blocks;
    };
    HRESULT AddScriptPage(ITextPage* pPage, ITextPage* pParentPage, DWORD* pdwContext) override;
    HRESULT AddScript(const BSTR& strLanguage, const BSTR& strScript, DWORD dwContext,
                      const std::vector<CScriptEngine::ScriptBlock>& arrBlocks) override;

    std::vector<CComPtr<ITextPage>> pages;
    std::vector<Script> scripts;
};

// A page loader over named pages (exact names).
class CPageSet {
public:
    void Add(std::u16string name, std::u16string_view text, LONG nCodePage = 1200);
    CASPCompiler::PageLoader Loader();

private:
    std::map<std::u16string, CComPtr<ITextPage>> m_pages;
};

// The Response object as a page sees it: Write, WriteBlock (through the entity), End,
// LCID; and the entity's view of the HTTP response.
class CTestResponse
    : public CComObjectRoot<CTestResponse, IDispatchImpl<CTestResponse>, IHTTPResponse> {
public:
    static const CDispatchTable& GetDispatchTable();
    HRESULT Write(const VARIANT& var);
    HRESULT WriteBlock(LONG nBlock);
    HRESULT End();
    HRESULT get_LCID(LONG* pVal) {
        *pVal = m_lLcid;
        return S_OK;
    }

    // IHTTPResponse
    HRESULT get_ContentType(BSTR* pVal) override {
        *pVal = BSTR(m_strContentType);
        return S_OK;
    }
    HRESULT put_ContentType(BSTR newVal) override {
        m_strContentType = newVal.Str();
        return S_OK;
    }
    HRESULT put_CodePage(LONG newVal) override {
        m_lCodePage = newVal;
        return S_OK;
    }
    HRESULT put_LCID(LONG newVal) override {
        m_lLcid = newVal;
        return S_OK;
    }
    HRESULT SetStream(IStream* pStream) override {
        m_ptrStream = pStream;
        return S_OK;
    }

    IASPEntity* m_pEntity = nullptr;  // not counted: the entity outlives its runs
    std::function<void()> m_onWrite;  // called by every Write
    std::u16string m_strOutput;
    std::u16string m_strContentType;
    LONG m_lCodePage = -1;
    LONG m_lLcid = 0;
    CComPtr<IStream> m_ptrStream;
};

// The Request object: QueryString(name) from a fixed table.
class CTestRequest : public CComObjectRoot<CTestRequest, IDispatchImpl<CTestRequest>> {
public:
    static const CDispatchTable& GetDispatchTable();
    HRESULT QueryString(BSTR bstrName, VARIANT* pVal);
    std::map<std::u16string, std::u16string> m_mapQuery;
};

// The bytes of a stream from its start.
std::string ReadAll(IStream* pStream);

}  // namespace entity_test
