// CJScriptEngine: the JScript language engine, Duktape behind IActiveScript.
//
// Script text is compiled when it is parsed (so syntax errors are reported at once) and
// kept as Duktape bytecode; starting the engine runs the kept programs in order, and
// text parsed while the engine runs is run at once. Persistent programs and named items
// travel to clones: a clone loads the same bytecode into a fresh heap, so it shares the
// compiled program and starts with fresh globals. Named items are global properties
// whose objects are asked of the site on first use; type-library constants are
// read-only globals. The members of named items added with SCRIPTITEM_GLOBALMEMBERS
// (for instance the globals of another language of the same page) are reachable as
// globals: before global code runs and before the script dispatch is handed out, every
// identifier of the parsed texts that is not a global yet and that such an item knows
// becomes a global accessor that reads or writes that member, or, when the scripts
// only ever call the name, a global function that calls it. Errors go to the site with the
// script's cookie and the line within its text; an interrupt stops the script through
// Duktape's execution time-out hook and is not reported.
//
// Clones share a pool of Duktape heaps with the engine they came from: a closed clone's
// heap is reset and kept, and the next clone loads the compiled programs into it instead
// of creating a heap (see CJScriptHeapPool).
//
// Locks: the engine's lock guards its own fields only and is never held while the
// engine calls out (to its site, to named items, or into script); the heap's lock is
// held while script runs, and the script's calls to host objects are made under it. So
// a host that holds its own locks while it drives the engine (the instance's lock for a
// whole run) always takes them before the engine's.
#pragma once
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>
#include "com/CComVariant.h"
#include "com/Unknown.h"
#include "script/engine/ActiveScript.h"

class CJScriptHeap;
class CJScriptHeapPool;
struct CJScriptErrorDetails;

class CJScriptEngine : public CComObjectRoot<CJScriptEngine, IActiveScript, IActiveScriptParse> {
public:
    CJScriptEngine();
    ~CJScriptEngine() override;

    // IActiveScript
    HRESULT SetScriptSite(IActiveScriptSite* pass) override;
    HRESULT GetScriptSite(const IID& riid, void** ppvObject) override;
    HRESULT SetScriptState(SCRIPTSTATE ss) override;
    HRESULT GetScriptState(SCRIPTSTATE* pssState) override;
    HRESULT Close() override;
    HRESULT AddNamedItem(const BSTR& pstrName, DWORD dwFlags) override;
    HRESULT AddTypeLib(const GUID& rguidTypeLib, DWORD dwMajor, DWORD dwMinor,
                       DWORD dwFlags) override;
    HRESULT GetScriptDispatch(const BSTR& pstrItemName, IDispatch** ppdisp) override;
    HRESULT GetCurrentScriptThreadID(SCRIPTTHREADID* pstidThread) override;
    HRESULT GetScriptThreadID(DWORD dwWin32ThreadId, SCRIPTTHREADID* pstidThread) override;
    HRESULT GetScriptThreadState(SCRIPTTHREADID stidThread, SCRIPTTHREADSTATE* pstsState) override;
    HRESULT InterruptScriptThread(SCRIPTTHREADID stidThread, const EXCEPINFO* pexcepinfo,
                                  DWORD dwFlags) override;
    HRESULT Clone(IActiveScript** ppscript) override;

    // IActiveScriptParse
    HRESULT InitNew() override;
    HRESULT AddScriptlet(const BSTR& pstrDefaultName, const BSTR& pstrCode,
                         const BSTR& pstrItemName, const BSTR& pstrSubItemName,
                         const BSTR& pstrEventName, const BSTR& pstrDelimiter,
                         DWORD dwSourceContextCookie, ULONG ulStartingLineNumber, DWORD dwFlags,
                         BSTR* pbstrName, EXCEPINFO* pexcepinfo) override;
    HRESULT ParseScriptText(const BSTR& pstrCode, const BSTR& pstrItemName, IUnknown* punkContext,
                            const BSTR& pstrDelimiter, DWORD dwSourceContextCookie,
                            ULONG ulStartingLineNumber, DWORD dwFlags, VARIANT* pvarResult,
                            EXCEPINFO* pexcepinfo) override;

    // A name a script text uses; call-only when every use of it is a call.
    struct Identifier {
        std::u16string name;
        bool callOnly;
    };
    // A compiled script text.
    struct Program {
        std::string name;  // the file name it was compiled under (unique per text)
        std::vector<unsigned char> bytecode;
        std::u16string text;
        std::vector<Identifier> identifiers;  // names the text uses, each once
        DWORD cookie = 0;
        ULONG startLine = 0;
        bool persistent = false;
    };
    struct NamedItem {
        std::u16string name;
        DWORD flags = 0;
    };

private:
    // The following are called without the engine's lock.
    HRESULT Compile(CJScriptHeap& heap, const BSTR& code, DWORD cookie, ULONG startLine,
                    bool expression, bool persistent, std::shared_ptr<const Program>* pProgram,
                    EXCEPINFO* pexcepinfo);
    HRESULT Execute(CJScriptHeap& heap, IActiveScriptSite* site, const Program& program,
                    VARIANT* pvarResult, EXCEPINFO* pexcepinfo);
    HRESULT RunPending();
    HRESULT Report(const CJScriptErrorDetails& details, const Program* program,
                   EXCEPINFO* pexcepinfo);
    void ResolveGlobalMembers();
    // Called under the engine's lock (they do not call out).
    HRESULT EnsureHeap();
    HRESULT SetUpGlobals();
    void DefineNamedItem(const NamedItem& item);

    std::recursive_mutex m_lock;  // guards the fields below; taken before the heap's lock
    CComPtr<IActiveScriptSite> m_ptrSite;
    LCID m_lcid = 0x0409;  // the site's locale
    // Heaps of closed clones, shared with the engine this one came from and its clones.
    std::shared_ptr<CJScriptHeapPool> m_pool;
    bool m_bIsClone = false;  // a clone's heap goes back to the pool when it closes
    SCRIPTSTATE m_state = SCRIPTSTATE_UNINITIALIZED;
    std::shared_ptr<CJScriptHeap> m_heap;
    // The heap a running script uses, read without m_lock by InterruptScriptThread
    // (atomic shared-pointer access).
    std::shared_ptr<CJScriptHeap> m_heapForInterrupt;
    std::vector<std::shared_ptr<const Program>> m_programs;  // every program, in parse order
    size_t m_ranPrograms = 0;                                // how many of them have run
    std::vector<NamedItem> m_items;
    std::vector<std::pair<std::u16string, CComVariant>> m_constants;
    struct TypeLib {
        GUID libid;
        DWORD major, minor;
    };
    std::vector<TypeLib> m_typeLibs;
};

// Registers the engine in the class registry as "JScript" (parsing-engine category).
HRESULT RegisterJScriptEngine();
