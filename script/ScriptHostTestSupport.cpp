// Test support for the script host: pages, handler, host object and page builder.
#include "script/ScriptHostTestSupport.h"

#include <algorithm>
#include <mutex>

#include "script/engine/jscript/CJScriptEngine.h"
#include "script/engine/vbscript/VBScriptEngine.h"

namespace script_test {

void RegisterEngines() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterVBScriptEngine();
        RegisterJScriptEngine();
    });
}

HRESULT CTestPage::GetLine(ULONG line, BSTR* text, ULONG* pos) {
    if (line >= m_lineStarts.size())
        return E_INVALIDARG;
    const ULONG start = m_lineStarts[line];
    const ULONG end = line + 1 < m_lineStarts.size() ? m_lineStarts[line + 1] - 1
                                                     : static_cast<ULONG>(m_text.size());
    *text = BSTR(std::u16string_view(m_text).substr(start, end - start));
    *pos = start;
    return S_OK;
}

HRESULT CTestPage::GetLineOfPosition(ULONG pos, ULONG* line) {
    if (pos > m_text.size())
        return E_INVALIDARG;
    auto it = std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), pos);
    *line = static_cast<ULONG>(it - m_lineStarts.begin() - 1);
    return S_OK;
}

HRESULT CTestHandler::OnScriptError(ITextPage* pPage, ULONG ulCharPos, const EXCEPINFO* pei,
                                    bool bCanDebug) {
    RecordedError e;
    e.page = pPage;
    e.position = ulCharPos;
    if (pPage && SUCCEEDED(pPage->GetLineOfPosition(ulCharPos, &e.line))) {
        ULONG start = 0;
        pPage->GetPositionOfLine(e.line, &start);
        e.character = ulCharPos - start;
    }
    if (pei) {
        e.source = pei->bstrSource.Str();
        e.description = pei->bstrDescription.Str();
        e.scode = pei->scode;
    }
    std::lock_guard guard(m_lock);
    m_lastCanDebug = bCanDebug;
    m_errors.push_back(std::move(e));
    return m_answer;
}

const CDispatchTable& CTestObject::GetDispatchTable() {
    static const CDispatchTable table(u"ITestObject",
                                      {
                                          DispGet<&CTestObject::get_Value>(u"Value", 1),
                                          DispPut<&CTestObject::put_Value>(u"Value", 1),
                                          DispMethod<&CTestObject::Ready>(u"Ready", 2),
                                      });
    return table;
}

HRESULT CTestObject::Ready() {
    if (m_ready) {
        m_ready->set_value();
        m_ready = nullptr;
    }
    return S_OK;
}

CPageBuilder::Script& CPageBuilder::ScriptOf(const std::u16string& language) {
    for (Script& s : m_scripts)
        if (s.language == language)
            return s;
    m_scripts.push_back(Script{language, {}, {}});
    return m_scripts.back();
}

CPageBuilder& CPageBuilder::Code(const std::u16string& language, std::u16string_view code) {
    Script& s = ScriptOf(language);
    s.blocks.push_back(CScriptEngine::ScriptBlock{static_cast<ULONG>(s.text.size()),
                                                  static_cast<ULONG>(m_page.size()),
                                                  static_cast<ULONG>(code.size())});
    s.text += code;
    m_page += code;
    return *this;
}

HRESULT CPageBuilder::CompileInto(CScriptEngine* engine, CComPtr<CTestPage>* page,
                                  std::u16string name) const {
    *page = MakeObject<CTestPage>(std::move(name), m_page);
    DWORD context = 0;
    HRESULT hr = engine->AddScriptPage(page->Get(), nullptr, &context);
    if (FAILED(hr))
        return hr;
    for (const Script& s : m_scripts) {
        hr = engine->AddScript(BSTR(s.language), BSTR(s.text), context, s.blocks);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CallProcedure(IScriptInstance* instance, const char16_t* name, std::vector<LONG> args,
                      CComVariant* result) {
    std::vector<CComVariant> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it)
        reversed.emplace_back(*it);
    DISPPARAMS params;
    params.rgvarg = reversed.data();
    params.cArgs = static_cast<UINT>(reversed.size());
    EXCEPINFO info;
    return instance->Invoke(BSTR(name), GUID_NULL, 0x409, DISPATCH_METHOD, &params, result, &info,
                            nullptr);
}

}  // namespace script_test
