// CScriptInstance: the parsed scripts of an entity in one runnable set of engine objects.
//
// The instance is the site of its engine objects, one per language. Every language
// added after the first gets the others' globals as the global-members item
// "__<ProgID>_GlobalMembers", and the others get its globals the same way, so a VBScript
// block can call a function of a JScript block of the same page and back. Named objects
// ("Response", "User", ...) are visible to every language. The engine's root instance
// receives every parse; each run uses a clone, which gets its own engine objects (they
// share the parsed programs and start with fresh globals) and its own named objects: a
// clone starts with none, and what is added to it stays in it. The script-context table
// (the line positions of each parsed script) is shared read-only between an instance
// and its clones.
//
// An instance is driven by one thread at a time: its lock is held for the whole of
// AddScript, Run, Invoke and Close, and the engine objects' call-backs into the site
// re-enter it on that thread. Halt comes from other threads and must stop a running
// script, so it does not wait for that lock: it interrupts the engine objects it finds
// under a small lock of its own.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com/Bstr.h"
#include "com/CriticalSection.h"
#include "com/Dispatch.h"
#include "com/Unknown.h"
#include "idl/ServiceInterfaces.h"
#include "script/ScriptDebugInterfaces.h"
#include "script/engine/ActiveScript.h"

class CScriptEngine;

class CScriptInstance : public CComObjectRoot<CScriptInstance, IScriptInstance, IActiveScriptSite,
                                              IActiveScriptSiteDebug32, IServiceProvider> {
public:
    // One parsed script: its language, its page document and sub-context there, and the
    // character positions 0, every line feed, and the text's length.
    struct ScriptContext {
        CLSID clsidEngine;
        DWORD dwSourceContext;
        DWORD dwSubContext;
        std::vector<ULONG> arrLines;
    };

    ~CScriptInstance() override;

    HRESULT Init(CScriptEngine* pEngine);
    HRESULT Clone(IScriptInstance** ppSI);
    HRESULT AddScript(const BSTR& strLanguage, const BSTR& strScript, DWORD dwSourceContext,
                      DWORD dwSubContext, IDebugApplicationNode* pDebugAppNode);
    HRESULT AddNamedItem(const BSTR& strName, IDispatch* pDisp, DWORD dwFlags);
    // Adds every named item of this instance to an engine object.
    HRESULT AddNamedItems(IActiveScript* pActiveScript);
    // The CLSID of the installed engine whose ProgID is strName (any case); E_FAIL for
    // an unknown language.
    static HRESULT DetermineScriptLanguage(const BSTR& strName, CLSID* pclsid);
    // 0, the index of every U+000A of the text in ascending order, the text's length.
    static std::vector<ULONG> LinePositions(std::u16string_view strScript);

    // IScriptInstance
    HRESULT Run() override;
    HRESULT Halt() override;
    HRESULT Close() override;
    HRESULT Invoke(BSTR bstrFunction, const IID& riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;
    HRESULT GetNamedObject(BSTR bstrName, IDispatch** ppDisp) override;
    HRESULT AddNamedObject(BSTR bstrName, IDispatch* pDisp) override;

    // IActiveScriptSite
    HRESULT GetLCID(LCID* plcid) override;
    HRESULT GetItemInfo(const BSTR& name, DWORD dwReturnMask, IUnknown** ppiunkItem,
                        ITypeInfo** ppti) override;
    HRESULT GetDocVersionString(BSTR* pbstrVersion) override;
    HRESULT OnScriptTerminate(const VARIANT* pvarResult, const EXCEPINFO* pexcepinfo) override;
    HRESULT OnStateChange(SCRIPTSTATE ssScriptState) override;
    HRESULT OnScriptError(IActiveScriptError* pscripterror) override;
    HRESULT OnEnterScript() override;
    HRESULT OnLeaveScript() override;

    // IActiveScriptSiteDebug32
    HRESULT GetDocumentContextFromPosition(DWORD dwSourceContext, ULONG uCharacterOffset,
                                           ULONG uNumChars, IDebugDocumentContext** ppsc) override;
    HRESULT GetApplication(IDebugApplication32** ppda) override;
    HRESULT GetRootApplicationNode(IDebugApplicationNode** ppdanRoot) override;
    HRESULT OnScriptErrorDebug(IActiveScriptErrorDebug* pErrorDebug, BOOL* pfEnterDebugger,
                               BOOL* pfCallOnScriptErrorWhenContinuing) override;

    // IServiceProvider
    HRESULT QueryService(const GUID& guidService, const IID& riid, void** ppv) override;

private:
    struct NamedItem {
        CComPtr<IDispatch> pDisp;
        DWORD dwFlags;
    };
    using ContextTable = std::vector<ScriptContext>;

    HRESULT ItemInfoOf(IDispatch* pDisp, DWORD dwReturnMask, IUnknown** ppiunkItem,
                       ITypeInfo** ppti);
    void CloseEngines();

    // Guards everything below but m_haltEngines; held for a whole run (re-entrant).
    CComAutoCriticalSection m_lock;
    CComPtr<CScriptEngine> m_pEngine;
    std::map<CLSID, CComPtr<IActiveScript>> m_mapScriptEngines;
    std::map<std::u16string, NamedItem> m_mapNamedItems;
    std::shared_ptr<const ContextTable> m_arrScriptContexts;
    CComPtr<IDebugApplicationNode> m_ptrCurrDAN;

    // The engine objects Halt interrupts; a leaf lock, never held while calling out.
    std::mutex m_haltLock;
    std::vector<CComPtr<IActiveScript>> m_haltEngines;
    // Set by Halt: the engines of the run that have not started yet do not start.
    std::atomic<bool> m_bHalted{false};
};
