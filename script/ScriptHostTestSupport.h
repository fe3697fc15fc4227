// Test support for the script host: an in-memory text page, a handler that records
// errors, a small host object, and a builder that lays out a page with script blocks
// the way the page compiler does (page text, generated script per language, blocks).
#pragma once

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "com/CComVariant.h"
#include "com/DispatchTable.h"
#include "script/CScriptEngine.h"

namespace script_test {

// Registers the installed engines once per process.
void RegisterEngines();

class CTestPage : public CComObjectRoot<CTestPage, ITextPage> {
public:
    CTestPage(std::u16string name, std::u16string text)
        : m_name(std::move(name)), m_text(std::move(text)) {
        m_lineStarts.push_back(0);
        for (std::size_t i = 0; i < m_text.size(); ++i)
            if (m_text[i] == u'\n')
                m_lineStarts.push_back(static_cast<ULONG>(i + 1));
    }
    HRESULT Compile(IStream*, IStream*) override { return E_NOTIMPL; }
    HRESULT Load(LCID, IStream*, IStream*, BSTR, BSTR, const CLSID&, LONG) override {
        return E_NOTIMPL;
    }
    HRESULT CreateEntity(const IID&, IApplication*, IUnknown**) override { return E_NOTIMPL; }
    HRESULT GetDataStream(IStream**) override { return E_NOTIMPL; }
    HRESULT GetMimeType(BSTR* p) override {
        *p = BSTR(u"text/html");
        return S_OK;
    }
    HRESULT GetName(BSTR* p) override {
        *p = BSTR(m_name);
        return S_OK;
    }
    HRESULT GetLine(ULONG line, BSTR* text, ULONG* pos) override;
    HRESULT GetText(ULONG pos, ULONG length, BSTR* text) override {
        if (pos > m_text.size())
            return E_INVALIDARG;
        *text = BSTR(std::u16string_view(m_text).substr(pos, length));
        return S_OK;
    }
    HRESULT GetSize(ULONG* lines, ULONG* chars) override {
        *lines = static_cast<ULONG>(m_lineStarts.size());
        *chars = static_cast<ULONG>(m_text.size());
        return S_OK;
    }
    HRESULT GetLineOfPosition(ULONG pos, ULONG* line) override;
    HRESULT GetPositionOfLine(ULONG line, ULONG* pos) override {
        if (line >= m_lineStarts.size())
            return E_INVALIDARG;
        *pos = m_lineStarts[line];
        return S_OK;
    }
    HRESULT GetCodePage(LONG* p) override {
        *p = 1200;
        return S_OK;
    }
    const std::u16string& Text() const { return m_text; }

private:
    std::u16string m_name;
    std::u16string m_text;
    std::vector<ULONG> m_lineStarts;
};

struct RecordedError {
    CComPtr<ITextPage> page;
    ULONG position = 0;
    ULONG line = 0;
    ULONG character = 0;
    std::u16string source;
    std::u16string description;
    SCODE scode = 0;
};

class CTestHandler : public CScriptHandler {
public:
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = 0x409;
        return S_OK;
    }
    HRESULT OnScriptError(ITextPage* pPage, ULONG ulCharPos, const EXCEPINFO* pei,
                          bool bCanDebug) override;
    std::vector<RecordedError> Errors() {
        std::lock_guard guard(m_lock);
        return m_errors;
    }
    HRESULT m_answer = S_OK;
    bool m_lastCanDebug = false;

private:
    std::mutex m_lock;
    std::vector<RecordedError> m_errors;
};

// A host object: a value, a signal that a script has reached a point, and a counter.
class CTestObject : public CComObjectRoot<CTestObject, IDispatchImpl<CTestObject>> {
public:
    static const CDispatchTable& GetDispatchTable();
    HRESULT get_Value(VARIANT* p) { return VariantCopy(p, &m_value); }
    HRESULT put_Value(const VARIANT& v) { return VariantCopy(&m_value, &v); }
    HRESULT Ready();
    CComVariant m_value;
    std::promise<void>* m_ready = nullptr;
};

// A page laid out as the page compiler would: literal text, code copied verbatim into
// the script of its language (one block each), and generated glue in the scripts only.
class CPageBuilder {
public:
    struct Script {
        std::u16string language;
        std::u16string text;
        std::vector<CScriptEngine::ScriptBlock> blocks;
    };
    CPageBuilder& Html(std::u16string_view text) {
        m_page += text;
        return *this;
    }
    CPageBuilder& Code(const std::u16string& language, std::u16string_view code);
    CPageBuilder& Glue(const std::u16string& language, std::u16string_view glue) {
        ScriptOf(language).text += glue;
        return *this;
    }
    const std::u16string& PageText() const { return m_page; }
    const std::vector<Script>& Scripts() const { return m_scripts; }
    // Registers the page and parses every script into the engine.
    HRESULT CompileInto(CScriptEngine* engine, CComPtr<CTestPage>* page,
                        std::u16string name = u"/Common/test.asp") const;

private:
    Script& ScriptOf(const std::u16string& language);
    std::u16string m_page;
    std::vector<Script> m_scripts;
};

// Invokes a script procedure of an instance with integer arguments.
HRESULT CallProcedure(IScriptInstance* instance, const char16_t* name, std::vector<LONG> args,
                      CComVariant* result);

}  // namespace script_test
