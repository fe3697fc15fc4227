// The VBScript engine: IActiveScript and IActiveScriptParse over the compiler and the
// virtual machine.
//
// Parsed programs are kept (persistent ones travel to clones, which share them and
// start with fresh globals); global code runs on the move to started or connected.
// Errors go to the site as an IActiveScriptError with the program's cookie and the
// line (counted from the start line given at parse time) and character.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "script/engine/ActiveScript.h"
#include "script/engine/vbscript/VBScriptProgram.h"
#include "script/engine/vbscript/VBScriptVM.h"

class CVBScriptVM;

class CVBScriptEngine : public CComObjectRoot<CVBScriptEngine, IActiveScript, IActiveScriptParse> {
public:
    CVBScriptEngine();
    ~CVBScriptEngine() override;

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

    HRESULT InitNew() override;
    HRESULT AddScriptlet(const BSTR&, const BSTR&, const BSTR&, const BSTR&, const BSTR&,
                         const BSTR&, DWORD, ULONG, DWORD, BSTR*, EXCEPINFO*) override;
    HRESULT ParseScriptText(const BSTR& pstrCode, const BSTR& pstrItemName, IUnknown* punkContext,
                            const BSTR& pstrDelimiter, DWORD dwSourceContextCookie,
                            ULONG ulStartingLineNumber, DWORD dwFlags, VARIANT* pvarResult,
                            EXCEPINFO* pexcepinfo) override;

    CVBScriptVM* VM() const { return m_vm.get(); }

private:
    struct Item {
        std::u16string name;
        DWORD flags;
    };
    struct Parsed {
        VBSProgramPtr program;
        bool persistent;
        bool ran;
    };
    HRESULT RunPending();
    void ReportRuntimeError();
    HRESULT ReportError(HRESULT hr, const std::u16string& source, const std::u16string& description,
                        DWORD cookie, ULONG line, ULONG character, EXCEPINFO* pexcepinfo);
    void NewMachine();
    // Gives the machine the engine's named items, type library constants and programs.
    void FillMachine();
    // The engine's named items, type libraries or persistent programs changed: clones made
    // from now on need a new layout.
    void ForgetCloneLayout();

    // An engine is driven from one thread at a time (the one running its page); only
    // InterruptScriptThread comes from others, and it touches nothing but an atomic flag.
    std::shared_ptr<CVBScriptVM> m_vm;
    CComPtr<IActiveScriptSite> m_site;
    SCRIPTSTATE m_state = SCRIPTSTATE_UNINITIALIZED;
    std::vector<Item> m_items;
    std::vector<Parsed> m_programs;
    std::vector<std::pair<GUID, std::pair<DWORD, DWORD>>> m_typeLibs;
    // How the machine of a clone starts, made by the first clone and shared by the rest.
    std::shared_ptr<const CVBScriptVM::Layout> m_cloneLayout;
    // A clone's machine that is still as it adopted its layout: its own clones adopt that
    // layout too (read from the machine, so that a clone holds no second reference to it).
    bool m_bAsAdopted = false;
    std::mutex m_cloneLayoutLock;  // a leaf lock; guards m_cloneLayout and m_bAsAdopted
};

// Registers the engine with the class registry: ProgID "VBScript", CLSID_VBScript, in
// the category of parsing engines.
HRESULT RegisterVBScriptEngine();
