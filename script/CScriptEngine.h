// CScriptEngine: the script host of one entity.
//
// An entity (a compiled page or application script) owns one engine. The page compilers
// register every page the scripts come from (`AddScriptPage`, one document per page
// however often it is included) and parse each generated script into the root
// instance (`AddScript`) together with its blocks: the stretches of generated script
// that are verbatim copies of page text. One script may copy text from several pages (a
// page's body script holds the code of the pages it includes, in place), so each block
// names the document it was copied from. The root instance is never run; every run uses
// a clone (`Instantiate`). When an engine object reports an error, the instance turns
// its line and character into a position in the generated script and the engine maps
// that through the blocks to a position in the block's page, which the entity's handler
// turns into a message.
//
// When the registry value "Debugging" under the product key is 1 and a process debug
// manager can be created, every page also gets a debug document and an application
// node, and the debugger hooks below answer; otherwise they do nothing.
#pragma once

#include <atomic>
#include <map>
#include <vector>

#include "com/Bstr.h"
#include "com/CriticalSection.h"
#include "com/Unknown.h"
#include "idl/ServiceInterfaces.h"
#include "pages/PageInterfaces.h"
#include "script/CScriptHandler.h"
#include "script/ScriptDebugInterfaces.h"

class CScriptInstance;
class CScriptDocument;

class CScriptEngine : public CComObjectRoot<CScriptEngine, IUnknown> {
public:
    // `ScriptBlock::dwSourceContext` of a block copied from the page the script is added
    // for.
    static constexpr DWORD kScriptPage = 0xFFFFFFFF;

    // A stretch of generated script that is a copy of page text, in characters.
    struct ScriptBlock {
        ULONG ulScriptStart;  // start in the generated script
        ULONG ulPageStart;    // start in the text of the block's page
        ULONG ulLength;
        // The document (page) the text was copied from; kScriptPage for the page of the
        // script itself. AddScript stores the document index.
        DWORD dwSourceContext = kScriptPage;
    };

    CScriptEngine();
    ~CScriptEngine() override;

    HRESULT Init(CScriptHandler* pHandler);
    // Registers a page (pParentPage: the page that includes it, or null); its document
    // index is the source context of the scripts that come from it.
    HRESULT AddScriptPage(ITextPage* ptrPage, ITextPage* pParentPage, DWORD* pdwContext);
    // Parses one generated script of page `dwContext` into the root instance. Blocks may
    // name other registered documents (included pages) as their source.
    HRESULT AddScript(const BSTR& strLanguage, const BSTR& strScript, DWORD dwContext,
                      const std::vector<ScriptBlock>& arrBlocks);
    // A fresh clone of the root instance, for one run.
    HRESULT Instantiate(IScriptInstance** ppSI);
    HRESULT GetPage(DWORD dwSourceContext, ITextPage** ppPage);
    // An error at `ulCharPos` of the generated script of context (dwSourceContext,
    // dwSubContext): mapped through the blocks to the page the code came from and handed
    // to the handler. A position after the last block is the end of that block.
    HRESULT OnScriptError(DWORD dwSourceContext, DWORD dwSubContext, ULONG ulCharPos,
                          const EXCEPINFO* pei);
    HRESULT GetLCID(LCID* plcid);
    HRESULT GetApplication(IDebugApplication32** ppda);
    HRESULT OnScriptErrorDebug(IActiveScriptErrorDebug* pErrorDebug, BOOL* pfEnterDebugger,
                               BOOL* pfCallOnScriptErrorWhenContinuing);
    HRESULT Close();

    // Debugger hooks. `GetDocumentContextFromPosition` and `EnumCodeContexts` name a
    // script context by the document that holds it (the page the script was added for)
    // and its index there; `GetContextOfPosition` names the page whose text is asked for,
    // and finds its blocks in the scripts of any document.
    HRESULT AttachEngine(DWORD dwContext, DWORD dwSubContext, DWORD dwScriptContext,
                         IActiveScript* pActiveScript);
    HRESULT DetachEngine(DWORD dwContext, DWORD dwSubContext, DWORD dwScriptContext);
    HRESULT GetDocument(DWORD dwSourceContext, IDebugDocument** ppsd);
    HRESULT GetDocumentContextFromPosition(DWORD dwSourceContext, DWORD dwSubContext,
                                           ULONG uCharacterOffset, ULONG uNumChars,
                                           IDebugDocumentContext** ppsc);
    HRESULT GetContextOfPosition(DWORD dwSourceContext, ULONG cCharacterPosition, ULONG cNumChars,
                                 IDebugDocumentContext** ppsc);
    HRESULT EnumCodeContexts(DWORD dwSourceContext, DWORD dwSubContext, DWORD dwBlockContext,
                             ULONG ulCharPos, ULONG ulNumChars, IEnumDebugCodeContexts** ppescc);

    // True when a debug application exists (fixed by Init).
    bool IsDebugging() const { return m_bDebugging.load(std::memory_order_acquire); }
    // True once an error answered "debug it" while a debugger could be started.
    bool EnterDebuggerRequested() const { return m_bEnterDebugger.load(); }

private:
    struct Context {
        std::vector<ScriptBlock> m_arrBlocks;
        // Engine objects attached for debugging, by the instance's script-context cookie.
        std::map<DWORD, CComPtr<IActiveScriptDebug32>> m_mapEngines;
    };
    struct Document {
        CComPtr<ITextPage> m_ptrPage;
        CComPtr<IUnknown> m_ptrIdentity;  // the page's IUnknown, to recognise it again
        CComPtr<IDebugApplicationNode> m_ptrNode;
        CComPtr<CScriptDocument> m_pDoc;
        std::vector<Context> m_arrContexts;
        DWORD m_dwParent = kNoParent;
    };
    static constexpr DWORD kNoParent = 0xFFFFFFFF;

    // A page context of document dwPageDocument for block dwBlock of script context
    // dwSubContext of document dwScriptDocument.
    HRESULT NewContext(DWORD dwPageDocument, DWORD dwScriptDocument, DWORD dwSubContext,
                       DWORD dwBlock, ULONG ulPageStart, ULONG ulLength,
                       IDebugDocumentContext** ppsc);

    // Guards the documents, the root instance and the debug application (re-entrant).
    // Parsing holds it and then takes the root instance's lock; runs of clones call in
    // here holding their own instance's lock, which is never the root's, and the
    // handler is called without it.
    CComAutoCriticalSection m_lock;
    std::vector<Document> m_arrDocuments;
    CScriptHandler* m_pHandler = nullptr;
    CComPtr<CScriptInstance> m_pRootInstance;
    CComPtr<IDebugApplication32> m_ptrDebugApp;
    std::atomic<bool> m_bDebugging{false};
    std::atomic<bool> m_bEnterDebugger{false};
};
