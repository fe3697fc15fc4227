// The script-engine interface: what the script host asks of every language engine.
//
// The operations and their meanings are those of Active Scripting. A host creates an
// engine by ProgID ("VBScript", "JScript") through the class registry, gives it a site
// (`IActiveScriptSite`: locale, named items, error reports), adds named items and type
// libraries, parses script text with a source-context cookie and a start line, and
// moves it to the started or connected state to run the global code. `Clone` gives an
// engine that shares the parsed program and starts with fresh globals (the host clones
// a compiled page for every request, so a clone must be cheap). `InterruptScriptThread`
// stops a running script from any thread: the engine tests the request at every
// statement, loop back-edge and return from a host call; the interrupt unwinds past
// error handlers, reports no error, and the interrupted call returns S_OK.
#pragma once

#include "com/Bstr.h"
#include "com/Dispatch.h"
#include "com/Guid.h"
#include "com/HResult.h"
#include "com/Unknown.h"
#include "com/Variant.h"

enum SCRIPTSTATE : int {
    SCRIPTSTATE_UNINITIALIZED = 0,
    SCRIPTSTATE_STARTED = 1,
    SCRIPTSTATE_CONNECTED = 2,
    SCRIPTSTATE_DISCONNECTED = 3,
    SCRIPTSTATE_CLOSED = 4,
    SCRIPTSTATE_INITIALIZED = 5,
};

enum SCRIPTTHREADSTATE : int {
    SCRIPTTHREADSTATE_NOTINSCRIPT = 0,
    SCRIPTTHREADSTATE_RUNNING = 1,
};

using SCRIPTTHREADID = DWORD;
constexpr SCRIPTTHREADID SCRIPTTHREADID_CURRENT = static_cast<SCRIPTTHREADID>(-1);
constexpr SCRIPTTHREADID SCRIPTTHREADID_BASE = static_cast<SCRIPTTHREADID>(-2);
constexpr SCRIPTTHREADID SCRIPTTHREADID_ALL = static_cast<SCRIPTTHREADID>(-3);

// AddNamedItem flags.
constexpr DWORD SCRIPTITEM_ISVISIBLE = 0x00000002;
constexpr DWORD SCRIPTITEM_ISSOURCE = 0x00000004;
constexpr DWORD SCRIPTITEM_GLOBALMEMBERS = 0x00000008;
constexpr DWORD SCRIPTITEM_ISPERSISTENT = 0x00000040;
constexpr DWORD SCRIPTITEM_CODEONLY = 0x00000200;
constexpr DWORD SCRIPTITEM_NOCODE = 0x00000400;

// AddTypeLib flags.
constexpr DWORD SCRIPTTYPELIB_ISCONTROL = 0x00000010;
constexpr DWORD SCRIPTTYPELIB_ISPERSISTENT = 0x00000040;

// ParseScriptText flags.
constexpr DWORD SCRIPTTEXT_DELAYEXECUTION = 0x00000001;
constexpr DWORD SCRIPTTEXT_ISVISIBLE = 0x00000002;
constexpr DWORD SCRIPTTEXT_ISEXPRESSION = 0x00000020;
constexpr DWORD SCRIPTTEXT_ISPERSISTENT = 0x00000040;
constexpr DWORD SCRIPTTEXT_HOSTMANAGESSOURCE = 0x00000080;

// GetItemInfo masks.
constexpr DWORD SCRIPTINFO_IUNKNOWN = 0x00000001;
constexpr DWORD SCRIPTINFO_ITYPEINFO = 0x00000002;

// InterruptScriptThread flags.
constexpr DWORD SCRIPTINTERRUPT_DEBUG = 0x00000001;
constexpr DWORD SCRIPTINTERRUPT_RAISEEXCEPTION = 0x00000002;

// Statuses of the engines.
constexpr HRESULT SCRIPT_E_REPORTED = MakeHResult(0x80020101);
constexpr HRESULT SCRIPT_E_RECORDED = MakeHResult(0x86664004);

// The error of a script, as the engine reports it to its site.
struct IActiveScriptError : IUnknown {
    DECLARE_IID("{EAE1BA61-A4ED-11CF-8F20-00805F2CD064}");
    // Source ("VBScript runtime error"), description, HRESULT in scode.
    virtual HRESULT GetExceptionInfo(EXCEPINFO* pexcepinfo) = 0;
    // Cookie of the script text, 0-based line within it (counting from the start line
    // given to ParseScriptText), 0-based character within the line.
    virtual HRESULT GetSourcePosition(DWORD* pdwSourceContext, ULONG* pulLineNumber,
                                      LONG* plCharacterPosition) = 0;
    virtual HRESULT GetSourceLineText(BSTR* pbstrSourceLine) = 0;
};

struct IActiveScriptSite : IUnknown {
    DECLARE_IID("{DB01A1E3-A42B-11CF-8F20-00805F2CD064}");
    virtual HRESULT GetLCID(LCID* plcid) = 0;
    // The object (mask SCRIPTINFO_IUNKNOWN) or type information of a named item.
    virtual HRESULT GetItemInfo(const BSTR& name, DWORD dwReturnMask, IUnknown** ppiunkItem,
                                ITypeInfo** ppti) = 0;
    virtual HRESULT GetDocVersionString(BSTR* pbstrVersion) = 0;
    virtual HRESULT OnScriptTerminate(const VARIANT* pvarResult, const EXCEPINFO* pexcepinfo) = 0;
    virtual HRESULT OnStateChange(SCRIPTSTATE ssScriptState) = 0;
    // A run-time or compile error; the engine stops the running script afterwards
    // unless the site answers S_OK for "continue" where the language allows it.
    virtual HRESULT OnScriptError(IActiveScriptError* pscripterror) = 0;
    virtual HRESULT OnEnterScript() = 0;
    virtual HRESULT OnLeaveScript() = 0;
};

struct IActiveScript : IUnknown {
    DECLARE_IID("{BB1A2AE1-A4F9-11CF-8F20-00805F2CD064}");
    virtual HRESULT SetScriptSite(IActiveScriptSite* pass) = 0;
    virtual HRESULT GetScriptSite(const IID& riid, void** ppvObject) = 0;
    virtual HRESULT SetScriptState(SCRIPTSTATE ss) = 0;
    virtual HRESULT GetScriptState(SCRIPTSTATE* pssState) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT AddNamedItem(const BSTR& pstrName, DWORD dwFlags) = 0;
    virtual HRESULT AddTypeLib(const GUID& rguidTypeLib, DWORD dwMajor, DWORD dwMinor,
                               DWORD dwFlags) = 0;
    // The global functions and variables (pstrItemName null) or those of a named item's
    // code, as an IDispatch.
    virtual HRESULT GetScriptDispatch(const BSTR& pstrItemName, IDispatch** ppdisp) = 0;
    virtual HRESULT GetCurrentScriptThreadID(SCRIPTTHREADID* pstidThread) = 0;
    virtual HRESULT GetScriptThreadID(DWORD dwWin32ThreadId, SCRIPTTHREADID* pstidThread) = 0;
    virtual HRESULT GetScriptThreadState(SCRIPTTHREADID stidThread,
                                         SCRIPTTHREADSTATE* pstsState) = 0;
    virtual HRESULT InterruptScriptThread(SCRIPTTHREADID stidThread, const EXCEPINFO* pexcepinfo,
                                          DWORD dwFlags) = 0;
    virtual HRESULT Clone(IActiveScript** ppscript) = 0;
};

struct IActiveScriptParse : IUnknown {
    DECLARE_IID("{C7EF7658-E1EE-480E-97EA-D52CB4D76D17}");
    virtual HRESULT InitNew() = 0;
    virtual HRESULT AddScriptlet(const BSTR& pstrDefaultName, const BSTR& pstrCode,
                                 const BSTR& pstrItemName, const BSTR& pstrSubItemName,
                                 const BSTR& pstrEventName, const BSTR& pstrDelimiter,
                                 DWORD dwSourceContextCookie, ULONG ulStartingLineNumber,
                                 DWORD dwFlags, BSTR* pbstrName, EXCEPINFO* pexcepinfo) = 0;
    // Parses (and, unless delayed or persistent-only, runs when the engine is started)
    // script text. With SCRIPTTEXT_ISEXPRESSION the text is an expression whose value is
    // returned in pvarResult.
    virtual HRESULT ParseScriptText(const BSTR& pstrCode, const BSTR& pstrItemName,
                                    IUnknown* punkContext, const BSTR& pstrDelimiter,
                                    DWORD dwSourceContextCookie, ULONG ulStartingLineNumber,
                                    DWORD dwFlags, VARIANT* pvarResult,
                                    EXCEPINFO* pexcepinfo) = 0;
};

// Class identities of the engines.
constexpr CLSID CLSID_VBScript = MakeGUID("{B54F3741-5B07-11CF-A4B0-00AA004A55E8}");
constexpr CLSID CLSID_JScript = MakeGUID("{F414C260-6AC0-11CF-B6D1-00AA00BBBB58}");
