// CASPEntity: the runnable form of one ASP page in one language.
//
// `Init` compiles the page (CASPCompiler) into the entity's own script engine, once;
// every request then runs a fresh clone of the compiled scripts (`Get`) with the named
// objects "Response", "Request", "Application", "Server" and "User". The generated
// script writes literal text by block number; the response fetches it back through
// `GetBlockText`. `Response.End` reaches `End`, which halts the running clone.
//
// Script errors come back through the handler interface with a page position: during a
// run the message ("<source>: <description> at line L, character C of file F.") is
// written into the response where output stopped; during compilation it is a critical
// error, written to the diagnostic log and the journal and handed to the tray hook.
//
// The entity lock is re-entrant and held for the whole of Init and Get, so one page in
// one language serves one request at a time and the script's call-backs (WriteBlock,
// End, GetLCID, errors) re-enter it on the same thread. Lock order: entity, then the
// script instance, then the storage manager (includes are loaded while compiling).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "com/CriticalSection.h"
#include "com/Dispatch.h"
#include "idl/ServiceInterfaces.h"
#include "pages/entities/ASPCompiler.h"
#include "script/CScriptEngine.h"
#include "script/CScriptHandler.h"

class CASPEntity : public CComObjectRoot<CASPEntity, IASPEntity>, public CScriptHandler {
public:
    // Creates the "Server" object of one request.
    using ServerObjectFactory = std::function<HRESULT(IDispatch** ppServer)>;
    // Shows a critical error (title, text) to the user's tray program.
    using CriticalErrorNotifier = std::function<void(std::u16string_view, std::u16string_view)>;

    // Registers the class under its class id and ProgID.
    static HRESULT RegisterClass();
    // Until a server object exists, runs go without "Server"; the program (and tests)
    // set the factory here. Process-wide.
    static void SetServerObjectFactory(ServerObjectFactory factory);
    // The tray notification of critical errors; does nothing until one is set.
    static void SetCriticalErrorNotifier(CriticalErrorNotifier notifier);

    // What the entities of application files share with this one:
    // included pages found through the storage manager,
    static CASPCompiler::PageLoader StorageManagerLoader();
    // a new "Server" object from the factory (S_FALSE and null when none is set),
    static HRESULT CreateServerObject(IDispatch** ppServer);
    // the text of a script error at a page position ("<source>: <description> at line L,
    // character C of file F."),
    static HRESULT FormatScriptError(ITextPage* pPage, ULONG ulCharPos, const EXCEPINFO* pei,
                                     std::u16string* pstrText);
    // and the report of an error that no response can show: the diagnostic log, the
    // journal and the tray program.
    static HRESULT ReportCriticalError(const std::u16string& strErrorText, bool bCanDebug);

    CASPEntity();
    ~CASPEntity() override;
    void FinalRelease();

    // Where included pages come from; the storage manager unless set before Init.
    void SetPageLoader(CASPCompiler::PageLoader loader);

    // IEntity
    HRESULT Init(LCID lcid, IApplication* pApp, IPage* pPage) override;
    // Also the script engine's handler call: during a run, the response's LCID.
    HRESULT GetLCID(LCID* plcid) override;
    HRESULT Close() override;
    // IHTTPEntity
    HRESULT Get(IRequest* pRequest, IUserObject* pSession, IHTTPResponse* pResponse) override;
    // IASPEntity
    HRESULT GetBlockText(ULONG ulBlockNumber, BSTR* pbstrText) override;
    HRESULT End() override;

    // CScriptHandler
    HRESULT OnScriptError(ITextPage* pPage, ULONG ulCharPos, const EXCEPINFO* pei,
                          bool bCanDebug) override;

    // The compiled state, for tests and diagnostics.
    const std::u16string& Language() const { return m_strLanguage; }
    UINT CodePage() const { return m_uCodePage; }
    size_t WriteBlockCount() const { return m_arrWriteBlocks.size(); }

private:
    HRESULT AddNamedObjects(IDispatch* pResponse, IRequest* pRequest, IUserObject* pSession);
    void EndRun();

    std::u16string m_strLanguage;
    CComPtr<CScriptEngine> m_pEngine;
    CComPtr<ITextPage> m_ptrPage;
    CComPtr<IDispatch> m_ptrApplication;
    LCID m_lcid = 0;
    UINT m_uCodePage = 0;
    bool m_bRunning = false;
    CComPtr<IScriptInstance> m_ptrSI;
    CComPtr<IDispatch> m_ptrRunningResponse;
    std::vector<CASPCompiler::WriteBlock> m_arrWriteBlocks;
    CASPCompiler::PageLoader m_loader;
    CComAutoCriticalSection m_cs;
};
