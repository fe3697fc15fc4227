// The VBScript engine. See VBScriptEngine.h.
#include "script/engine/vbscript/VBScriptEngine.h"

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "idl/TypeLibrary.h"
#include "script/engine/vbscript/VBScriptCompiler.h"
#include "script/engine/vbscript/VBScriptError.h"
#include "script/engine/vbscript/VBScriptGlobalDispatch.h"
#include "script/engine/vbscript/VBScriptParser.h"
#include "script/engine/vbscript/VBScriptVM.h"

namespace {

BSTR LineOf(const std::u16string& text, ULONG line) {
    std::size_t start = 0;
    for (ULONG i = 0; i < line && start != std::u16string::npos; ++i) {
        start = text.find(u'\n', start);
        if (start != std::u16string::npos)
            ++start;
    }
    if (start == std::u16string::npos)
        return BSTR::Empty();
    std::size_t end = text.find_first_of(u"\r\n", start);
    return BSTR(std::u16string_view(text).substr(
        start, end == std::u16string::npos ? std::u16string::npos : end - start));
}

}  // namespace

CVBScriptEngine::CVBScriptEngine() {
    NewMachine();
}

CVBScriptEngine::~CVBScriptEngine() {
    if (m_vm)
        m_vm->Close();
}

void CVBScriptEngine::NewMachine() {
    if (m_vm)
        m_vm->Close();
    m_vm = std::make_shared<CVBScriptVM>();
    m_vm->SetSite(m_site.Get());
    m_vm->SetErrorHandler([this] { ReportRuntimeError(); });
    FillMachine();
}

void CVBScriptEngine::ForgetCloneLayout() {
    std::lock_guard guard(m_cloneLayoutLock);
    m_cloneLayout = nullptr;
    m_bAsAdopted = false;
}

void CVBScriptEngine::FillMachine() {
    for (const Item& item : m_items)
        m_vm->AddNamedItem(item.name, item.flags);
    for (const auto& [libid, version] : m_typeLibs) {
        std::vector<TypeLibConstantValue> constants;
        if (SUCCEEDED(GetTypeLibConstants(libid, static_cast<WORD>(version.first),
                                          static_cast<WORD>(version.second), &constants)))
            for (const TypeLibConstantValue& c : constants)
                m_vm->AddConstant(c.name, c.value);
    }
    for (Parsed& parsed : m_programs)
        m_vm->AddProgram(parsed.program);
}

HRESULT CVBScriptEngine::SetScriptSite(IActiveScriptSite* pass) {
    if (CheckExpression(!pass))
        return E_POINTER;
    if (CheckExpression(m_site != nullptr))
        return E_UNEXPECTED;
    m_site = pass;
    m_vm->SetSite(pass);
    LCID lcid = 0;
    if (SUCCEEDED(pass->GetLCID(&lcid)) && lcid)
        m_vm->SetLocale(lcid);
    m_state = SCRIPTSTATE_INITIALIZED;
    return S_OK;
}

HRESULT CVBScriptEngine::GetScriptSite(const IID& riid, void** ppvObject) {
    if (CheckExpression(!ppvObject))
        return E_POINTER;
    *ppvObject = nullptr;
    if (!m_site)
        return S_FALSE;
    return m_site->QueryInterface(riid, ppvObject);
}

HRESULT CVBScriptEngine::SetScriptState(SCRIPTSTATE ss) {
    try {
        if (CheckExpression(m_state == SCRIPTSTATE_CLOSED))
            return E_UNEXPECTED;
        switch (ss) {
            case SCRIPTSTATE_STARTED:
            case SCRIPTSTATE_CONNECTED: {
                if (CheckExpression(!m_site))
                    return E_UNEXPECTED;
                m_state = ss;
                HRESULT hr = RunPending();
                if (m_site)
                    m_site->OnStateChange(ss);
                return hr;
            }
            case SCRIPTSTATE_DISCONNECTED:
            case SCRIPTSTATE_INITIALIZED:
                m_state = ss;
                if (m_site)
                    m_site->OnStateChange(ss);
                return S_OK;
            case SCRIPTSTATE_CLOSED:
                return Close();
            default:
                return E_INVALIDARG;
        }
    } catch (...) {
        return ::ReportException("CVBScriptEngine::SetScriptState", CV_HERE);
    }
}

HRESULT CVBScriptEngine::GetScriptState(SCRIPTSTATE* pssState) {
    if (CheckExpression(!pssState))
        return E_POINTER;
    *pssState = m_state;
    return S_OK;
}

HRESULT CVBScriptEngine::RunPending() {
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < m_programs.size(); ++i) {
        if (m_programs[i].ran)
            continue;
        m_programs[i].ran = true;
        VBSProgramPtr program = m_programs[i].program;
        HRESULT hr = m_vm->RunProgram(program, nullptr);
        if (FAILED(hr)) {
            ReportRuntimeError();
            result = SCRIPT_E_REPORTED;
            break;
        }
    }
    return result;
}

void CVBScriptEngine::ReportRuntimeError() {
    const VBScriptErrorRecord& e = m_vm->LastError();
    const CVBScriptProgram* program = m_vm->ErrorProgram();
    ReportError(e.Result(), std::u16string(e.source.View()), std::u16string(e.description.View()),
                program ? program->cookie : 0,
                (program ? program->startLine : 0) + m_vm->ErrorLine(), m_vm->ErrorCharacter(),
                nullptr);
}

HRESULT CVBScriptEngine::ReportError(HRESULT hr, const std::u16string& source,
                                     const std::u16string& description, DWORD cookie, ULONG line,
                                     ULONG character, EXCEPINFO* pexcepinfo) {
    if (pexcepinfo) {
        *pexcepinfo = EXCEPINFO();
        pexcepinfo->bstrSource = source;
        pexcepinfo->bstrDescription = description;
        pexcepinfo->scode = hr;
    }
    BSTR lineText;
    for (const Parsed& parsed : m_programs)
        if (parsed.program->cookie == cookie)
            lineText = LineOf(parsed.program->text, line - parsed.program->startLine);
    CComPtr<CVBScriptError> error = MakeObject<CVBScriptError>(
        BSTR(source), BSTR(description), hr, cookie, line, static_cast<LONG>(character), lineText);
    if (m_site && error)
        m_site->OnScriptError(error.Get());
    return SCRIPT_E_REPORTED;
}

HRESULT CVBScriptEngine::Close() {
    ForgetCloneLayout();
    if (m_vm)
        m_vm->Close();
    m_programs.clear();
    m_items.clear();
    if (m_site) {
        CComPtr<IActiveScriptSite> site = m_site;
        m_site = nullptr;
        m_state = SCRIPTSTATE_CLOSED;
        site->OnStateChange(SCRIPTSTATE_CLOSED);
    }
    m_state = SCRIPTSTATE_CLOSED;
    return S_OK;
}

HRESULT CVBScriptEngine::AddNamedItem(const BSTR& pstrName, DWORD dwFlags) {
    if (CheckExpression(pstrName.Length() == 0))
        return E_INVALIDARG;
    if (CheckExpression(m_state == SCRIPTSTATE_CLOSED))
        return E_UNEXPECTED;
    try {
        bool found = false;
        for (Item& item : m_items) {
            if (EqualsNoCase(item.name, pstrName.View())) {
                item.flags = dwFlags;
                found = true;
            }
        }
        if (!found)
            m_items.push_back({std::u16string(pstrName.View()), dwFlags});
        ForgetCloneLayout();
        m_vm->AddNamedItem(pstrName.View(), dwFlags);
        return S_OK;
    } catch (...) {
        return ::ReportException("CVBScriptEngine::AddNamedItem", CV_HERE);
    }
}

HRESULT CVBScriptEngine::AddTypeLib(const GUID& rguidTypeLib, DWORD dwMajor, DWORD dwMinor, DWORD) {
    try {
        std::vector<TypeLibConstantValue> constants;
        HRESULT hr = GetTypeLibConstants(rguidTypeLib, static_cast<WORD>(dwMajor),
                                         static_cast<WORD>(dwMinor), &constants);
        if (!CheckResult(hr))
            return hr;
        m_typeLibs.push_back({rguidTypeLib, {dwMajor, dwMinor}});
        ForgetCloneLayout();
        for (const TypeLibConstantValue& c : constants)
            m_vm->AddConstant(c.name, c.value);
        return S_OK;
    } catch (...) {
        return ::ReportException("CVBScriptEngine::AddTypeLib", CV_HERE);
    }
}

HRESULT CVBScriptEngine::GetScriptDispatch(const BSTR&, IDispatch** ppdisp) {
    if (CheckExpression(!ppdisp))
        return E_POINTER;
    *ppdisp = nullptr;
    if (CheckExpression(m_state == SCRIPTSTATE_CLOSED))
        return E_UNEXPECTED;
    HRESULT hr = S_OK;
    CComPtr<CVBScriptGlobalDispatch> disp = MakeObject<CVBScriptGlobalDispatch>(&hr, m_vm);
    if (!disp)
        return hr;
    *ppdisp = disp.Detach();
    return S_OK;
}

HRESULT CVBScriptEngine::GetCurrentScriptThreadID(SCRIPTTHREADID* pstidThread) {
    if (CheckExpression(!pstidThread))
        return E_POINTER;
    *pstidThread = 0;
    return S_OK;
}

HRESULT CVBScriptEngine::GetScriptThreadID(DWORD, SCRIPTTHREADID* pstidThread) {
    return GetCurrentScriptThreadID(pstidThread);
}

HRESULT CVBScriptEngine::GetScriptThreadState(SCRIPTTHREADID, SCRIPTTHREADSTATE* pstsState) {
    if (CheckExpression(!pstsState))
        return E_POINTER;
    *pstsState = m_vm->IsRunning() ? SCRIPTTHREADSTATE_RUNNING : SCRIPTTHREADSTATE_NOTINSCRIPT;
    return S_OK;
}

HRESULT CVBScriptEngine::InterruptScriptThread(SCRIPTTHREADID, const EXCEPINFO*, DWORD) {
    m_vm->Interrupt();
    return S_OK;
}

HRESULT CVBScriptEngine::Clone(IActiveScript** ppscript) {
    if (CheckExpression(!ppscript))
        return E_POINTER;
    *ppscript = nullptr;
    try {
        HRESULT hr = S_OK;
        CComPtr<CVBScriptEngine> clone = MakeObject<CVBScriptEngine>(&hr);
        if (!clone)
            return hr;
        // Room for the items that the clone's host adds for its run (a request's objects).
        clone->m_items.reserve(m_items.size() + CVBScriptVM::kRoomForItems);
        for (const Item& item : m_items)
            if (item.flags & SCRIPTITEM_ISPERSISTENT)
                clone->m_items.push_back(item);
        clone->m_typeLibs = m_typeLibs;
        for (const Parsed& parsed : m_programs)
            if (parsed.persistent)
                clone->m_programs.push_back({parsed.program, true, false});
        // Its machine is new and empty. Every clone of this engine is filled the same way,
        // so the first one's machine, as filled, is the layout the later ones adopt.
        std::shared_ptr<const CVBScriptVM::Layout> layout;
        {
            std::lock_guard guard(m_cloneLayoutLock);
            layout = m_bAsAdopted ? m_vm->AdoptedLayout() : m_cloneLayout;
        }
        if (layout) {
            if (CheckResult(clone->m_vm->Adopt(layout)))
                clone->m_bAsAdopted = true;  // its own clones are filled as it was
            else
                clone->NewMachine();
        } else {
            clone->FillMachine();
            layout = clone->m_vm->MakeLayout();
            {
                std::lock_guard guard(m_cloneLayoutLock);
                m_cloneLayout = layout;
            }
            clone->m_cloneLayout = layout;  // its own clones are filled as it was
        }
        *ppscript = static_cast<IActiveScript*>(clone.Detach());
        return S_OK;
    } catch (...) {
        return ::ReportException("CVBScriptEngine::Clone", CV_HERE);
    }
}

HRESULT CVBScriptEngine::InitNew() {
    return S_OK;
}

HRESULT CVBScriptEngine::AddScriptlet(const BSTR&, const BSTR&, const BSTR&, const BSTR&,
                                      const BSTR&, const BSTR&, DWORD, ULONG, DWORD, BSTR*,
                                      EXCEPINFO*) {
    return E_NOTIMPL;
}

HRESULT CVBScriptEngine::ParseScriptText(const BSTR& pstrCode, const BSTR&, IUnknown*, const BSTR&,
                                         DWORD dwSourceContextCookie, ULONG ulStartingLineNumber,
                                         DWORD dwFlags, VARIANT* pvarResult,
                                         EXCEPINFO* pexcepinfo) {
    if (CheckExpression(m_state == SCRIPTSTATE_CLOSED))
        return E_UNEXPECTED;
    try {
        bool isExpression = (dwFlags & SCRIPTTEXT_ISEXPRESSION) != 0;
        CVBScriptAst ast;
        CVBScriptCompileError error;
        HRESULT hr = isExpression ? CVBScriptParser::ParseExpression(pstrCode.View(), ast, error)
                                  : CVBScriptParser::ParseProgram(pstrCode.View(), ast, error);
        if (hr == E_OUTOFMEMORY)
            return hr;
        auto program = std::make_shared<CVBScriptProgram>();
        program->text = pstrCode.View();
        program->startLine = ulStartingLineNumber;
        program->cookie = dwSourceContextCookie;
        if (FAILED(hr)) {
            m_programs.push_back({program, false, true});  // for the line text only
            ReportError(error.Result(), error.Source(), error.Description(), dwSourceContextCookie,
                        ulStartingLineNumber + error.m_ulLine, error.m_ulCharacter, pexcepinfo);
            m_programs.pop_back();
            return SCRIPT_E_REPORTED;
        }
        hr = CVBScriptCompiler::Compile(ast, isExpression, *program);
        if (!CheckResult(hr))
            return hr;
        hr = m_vm->AddProgram(program);
        if (!CheckResult(hr))
            return hr;
        ForgetCloneLayout();
        bool persistent = (dwFlags & SCRIPTTEXT_ISPERSISTENT) != 0 && !isExpression;
        bool runNow =
            m_state == SCRIPTSTATE_STARTED || m_state == SCRIPTSTATE_CONNECTED || isExpression;
        m_programs.push_back({program, persistent, runNow});
        if (!runNow)
            return S_OK;
        hr = m_vm->RunProgram(program, isExpression ? pvarResult : nullptr);
        if (FAILED(hr)) {
            ReportRuntimeError();
            return SCRIPT_E_REPORTED;
        }
        return S_OK;
    } catch (...) {
        return ::ReportException("CVBScriptEngine::ParseScriptText", CV_HERE);
    }
}

HRESULT RegisterVBScriptEngine() {
    return CClassRegistry::Instance().RegisterClass<CVBScriptEngine>(
        CLSID_VBScript, u"VBScript", {CATID_ActiveScript, CATID_ActiveScriptParse});
}
