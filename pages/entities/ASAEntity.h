// CASAEntity: the runnable form of an application file (".asa": "boot.asa", "global.asa").
//
// An application file produces no output. `Init` compiles it once into the entity's own
// script engine: its server-side SCRIPT blocks become scripts, in page order (an included
// file's at the include's place), its server-side OBJECT blocks create objects that load
// their PARAM values from a property bag (those of APPLICATION scope become static objects
// of the application), and its "#include file" comments pull in further application text;
// everything else is ignored. Callers then take a fresh instance (`Instantiate`, already
// carrying "Application" and "Server"), add their own named objects, `Run` it and invoke
// event procedures by name.
//
// Script errors, at compile time or while a procedure runs, are critical errors: they go
// to the diagnostic log, the journal and the tray program; no response ever shows them.
//
// The entity lock is re-entrant and held for the whole of Init and while Instantiate
// prepares an instance; instances, once handed out, run without it. Lock order: entity,
// then the script instance, then the storage manager (includes are loaded while compiling).
#pragma once

#include <list>
#include <map>
#include <string>

#include "com/CriticalSection.h"
#include "com/Dispatch.h"
#include "idl/ServiceInterfaces.h"
#include "pages/entities/ASPCompiler.h"
#include "script/CScriptEngine.h"
#include "script/CScriptHandler.h"

class CASAEntity : public CComObjectRoot<CASAEntity, IScriptEntity>, public CScriptHandler {
public:
    using Block = CASPCompiler::ParseBlock;
    enum BlockKind : LONG { kText = 0, kScript = 1, kObject = 2, kComment = 3 };

    // Registers the class under its class id and ProgID.
    static HRESULT RegisterClass();

    CASAEntity();
    ~CASAEntity() override;
    void FinalRelease();

    // Where included pages come from; the storage manager unless set before Init.
    void SetPageLoader(CASPCompiler::PageLoader loader);

    // IEntity
    HRESULT Init(LCID lcid, IApplication* pApp, IPage* pPage) override;
    HRESULT GetLCID(LCID* plcid) override;
    HRESULT Close() override;
    // IScriptEntity
    HRESULT Instantiate(IScriptInstance** ppInstance) override;

    // CScriptHandler
    HRESULT OnScriptError(ITextPage* pPage, ULONG ulCharPos, const EXCEPINFO* pei,
                          bool bCanDebug) override;

private:
    using Attributes = std::map<std::u16string, std::u16string>;

    HRESULT ParsePage(ITextPage* pPage, ITextPage* pParent,
                      std::list<std::u16string>& listIncludes);
    HRESULT ParseScriptBlock(const Block& block, ITextPage* pPage, ITextPage* pParent);
    HRESULT ParseObjectBlock(const Block& block, ITextPage* pPage);
    HRESULT ParseCommentBlock(const Block& block, ITextPage* pPage, ITextPage* pParent,
                              std::list<std::u16string>& listIncludes);
    HRESULT IncludeFile(bool bVirtual, const std::u16string& strName, ITextPage* pPage,
                        std::list<std::u16string>& listIncludes);
    // The class an OBJECT tag names by PROGID or CLASSID.
    static HRESULT ClassOfObjectTag(const Attributes& attribs, CLSID* pclsid);

    CComPtr<CScriptEngine> m_pEngine;  // null before Init succeeds and after Close
    CComPtr<IDispatch> m_ptrApplication;
    LCID m_lcid = 0;
    CASPCompiler::PageLoader m_loader;
    CComAutoCriticalSection m_cs;  // guards every field; see the file comment for the order
};
