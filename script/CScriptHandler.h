// CScriptHandler: what the script host asks of the entity that owns a script engine.
//
// The entity (an ASP page or an application script) gives the locale its scripts run
// in and decides what happens to a script error once the host has mapped it back to a
// page and a character position in that page's text.
#pragma once

#include "com/Dispatch.h"
#include "com/HResult.h"
#include "com/Types.h"

struct ITextPage;

class CScriptHandler {
public:
    // The entity's locale.
    virtual HRESULT GetLCID(LCID* plcid) = 0;
    // An error at character `ulCharPos` of the text of `pPage`. S_OK when it has been
    // dealt with; S_FALSE when the user asked to debug it (only offered when bCanDebug).
    virtual HRESULT OnScriptError(ITextPage* pPage, ULONG ulCharPos, const EXCEPINFO* pei,
                                  bool bCanDebug) = 0;
    virtual ~CScriptHandler() = default;
};
