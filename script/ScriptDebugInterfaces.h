// The script-debugging interfaces the script host implements or calls.
//
// A script debugger sees every page of an entity as a read-only text document and maps
// between page positions, positions in the generated script and the engines' code
// contexts. These are the published script-debugging interfaces, reduced to the members
// the host uses; the identities are the published ones. No debugger exists on this
// platform: the host creates a process debug manager by class identity only when
// debugging is switched on, and the objects stay idle otherwise.
#pragma once

#include <tuple>

#include "com/Bstr.h"
#include "com/Types.h"
#include "com/Unknown.h"
#include "script/engine/ActiveScript.h"

enum DOCUMENTNAMETYPE : int {
    DOCUMENTNAMETYPE_APPNODE = 0,
    DOCUMENTNAMETYPE_TITLE = 1,
    DOCUMENTNAMETYPE_FILE_TAIL = 2,
    DOCUMENTNAMETYPE_URL = 3,
    DOCUMENTNAMETYPE_UNIQUE_TITLE = 4,
};

using TEXT_DOC_ATTR = DWORD;
constexpr TEXT_DOC_ATTR TEXT_DOC_ATTR_READONLY = 0x00000001;

using SOURCE_TEXT_ATTR = WORD;
constexpr SOURCE_TEXT_ATTR SOURCETEXT_ATTR_NONSOURCE = 0x0004;

struct IDebugDocument;
struct IDebugDocumentContext;
struct IEnumDebugCodeContexts;
struct IDebugApplicationNode;

struct IDebugDocumentInfo : IUnknown {
    DECLARE_IID("{51973C1F-CB0C-11D0-B5C9-00A0244A0E7A}");
    virtual HRESULT GetName(DOCUMENTNAMETYPE dnt, BSTR* pbstrName) = 0;
    virtual HRESULT GetDocumentClassId(CLSID* pclsidDocument) = 0;

protected:
    ~IDebugDocumentInfo() = default;
};

struct IDebugDocumentProvider : IDebugDocumentInfo {
    DECLARE_IID("{51973C20-CB0C-11D0-B5C9-00A0244A0E7A}");
    using Bases = std::tuple<IDebugDocumentInfo>;
    virtual HRESULT GetDocument(IDebugDocument** ppssd) = 0;

protected:
    ~IDebugDocumentProvider() = default;
};

struct IDebugDocument : IDebugDocumentInfo {
    DECLARE_IID("{51973C21-CB0C-11D0-B5C9-00A0244A0E7A}");
    using Bases = std::tuple<IDebugDocumentInfo>;

protected:
    ~IDebugDocument() = default;
};

struct IDebugDocumentText : IDebugDocument {
    DECLARE_IID("{51973C22-CB0C-11D0-B5C9-00A0244A0E7A}");
    using Bases = std::tuple<IDebugDocument, IDebugDocumentInfo>;
    virtual HRESULT GetDocumentAttributes(TEXT_DOC_ATTR* ptextdocattr) = 0;
    virtual HRESULT GetSize(ULONG* pcNumLines, ULONG* pcNumChars) = 0;
    virtual HRESULT GetPositionOfLine(ULONG cLineNumber, ULONG* pcCharacterPosition) = 0;
    virtual HRESULT GetLineOfPosition(ULONG cCharacterPosition, ULONG* pcLineNumber,
                                      ULONG* pcCharacterOffsetInLine) = 0;
    virtual HRESULT GetText(ULONG cCharacterPosition, char16_t* pcharText,
                            SOURCE_TEXT_ATTR* pstaTextAttr, ULONG* pcNumChars, ULONG cMaxChars) = 0;
    virtual HRESULT GetPositionOfContext(IDebugDocumentContext* psc, ULONG* pcCharacterPosition,
                                         ULONG* cNumChars) = 0;
    virtual HRESULT GetContextOfPosition(ULONG cCharacterPosition, ULONG cNumChars,
                                         IDebugDocumentContext** ppsc) = 0;

protected:
    ~IDebugDocumentText() = default;
};

struct IDebugDocumentContext : IUnknown {
    DECLARE_IID("{51973C28-CB0C-11D0-B5C9-00A0244A0E7A}");
    virtual HRESULT GetDocument(IDebugDocument** ppsd) = 0;
    virtual HRESULT EnumCodeContexts(IEnumDebugCodeContexts** ppescc) = 0;

protected:
    ~IDebugDocumentContext() = default;
};

// A position in an engine's running code (for breakpoints and stepping).
struct IDebugCodeContext : IUnknown {
    DECLARE_IID("{51973C13-CB0C-11D0-B5C9-00A0244A0E7A}");
    virtual HRESULT GetDocumentContext(IDebugDocumentContext** ppsc) = 0;

protected:
    ~IDebugCodeContext() = default;
};

struct IEnumDebugCodeContexts : IUnknown {
    DECLARE_IID("{51973C1D-CB0C-11D0-B5C9-00A0244A0E7A}");
    virtual HRESULT Next(ULONG celt, IDebugCodeContext** pscc, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumDebugCodeContexts** ppescc) = 0;

protected:
    ~IEnumDebugCodeContexts() = default;
};

// What a debugging-capable engine offers the host.
struct IActiveScriptDebug32 : IUnknown {
    DECLARE_IID("{51973C10-CB0C-11D0-B5C9-00A0244A0E7A}");
    virtual HRESULT EnumCodeContextsOfPosition(DWORD dwSourceContext, ULONG uCharacterOffset,
                                               ULONG uNumChars,
                                               IEnumDebugCodeContexts** ppescc) = 0;

protected:
    ~IActiveScriptDebug32() = default;
};

struct IActiveScriptErrorDebug : IActiveScriptError {
    DECLARE_IID("{51973C12-CB0C-11D0-B5C9-00A0244A0E7A}");
    using Bases = std::tuple<IActiveScriptError>;

protected:
    ~IActiveScriptErrorDebug() = default;
};

struct IDebugApplicationNode : IUnknown {
    DECLARE_IID("{51973C34-CB0C-11D0-B5C9-00A0244A0E7A}");
    virtual HRESULT SetDocumentProvider(IDebugDocumentProvider* pddp) = 0;
    virtual HRESULT Attach(IDebugApplicationNode* pdanParent) = 0;
    virtual HRESULT Detach() = 0;
    virtual HRESULT Close() = 0;

protected:
    ~IDebugApplicationNode() = default;
};

struct IDebugApplication32 : IUnknown {
    DECLARE_IID("{51973C32-CB0C-11D0-B5C9-00A0244A0E7A}");
    virtual HRESULT SetName(const BSTR& pstrName) = 0;
    virtual HRESULT StartDebugSession() = 0;
    virtual HRESULT CreateApplicationNode(IDebugApplicationNode** ppdanNew) = 0;
    virtual HRESULT GetRootNode(IDebugApplicationNode** ppdanRoot) = 0;

protected:
    ~IDebugApplication32() = default;
};

struct IProcessDebugManager32 : IUnknown {
    DECLARE_IID("{51973C2F-CB0C-11D0-B5C9-00A0244A0E7A}");
    virtual HRESULT GetDefaultApplication(IDebugApplication32** ppda) = 0;

protected:
    ~IProcessDebugManager32() = default;
};

// The site's debugging side, which engines ask for document contexts and the application.
struct IActiveScriptSiteDebug32 : IUnknown {
    DECLARE_IID("{51973C11-CB0C-11D0-B5C9-00A0244A0E7A}");
    virtual HRESULT GetDocumentContextFromPosition(DWORD dwSourceContext, ULONG uCharacterOffset,
                                                   ULONG uNumChars,
                                                   IDebugDocumentContext** ppsc) = 0;
    virtual HRESULT GetApplication(IDebugApplication32** ppda) = 0;
    virtual HRESULT GetRootApplicationNode(IDebugApplicationNode** ppdanRoot) = 0;
    virtual HRESULT OnScriptErrorDebug(IActiveScriptErrorDebug* pErrorDebug, BOOL* pfEnterDebugger,
                                       BOOL* pfCallOnScriptErrorWhenContinuing) = 0;

protected:
    ~IActiveScriptSiteDebug32() = default;
};

struct IServiceProvider : IUnknown {
    DECLARE_IID("{6D5140C1-7436-11CE-8034-00AA006009FA}");
    virtual HRESULT QueryService(const GUID& guidService, const IID& riid, void** ppv) = 0;

protected:
    ~IServiceProvider() = default;
};
