// Registration of the service's creatable classes.
#include "service/ProgramClasses.h"

#include "com/DiagnosticLog.h"
#include "objects/ServerObject.h"
#include "pages/TextPage.h"
#include "pages/entities/ASAEntity.h"
#include "pages/entities/ASPEntity.h"
#include "pages/entities/FileEntity.h"
#include "script/engine/jscript/CJScriptEngine.h"
#include "script/engine/vbscript/VBScriptEngine.h"
#include "storage/FilePage.h"

HRESULT RegisterProgramClasses() {
    HRESULT result = S_OK;
    for (HRESULT hr : {CTextPage::RegisterClass(), CFilePage::RegisterClass(),
                       CASPEntity::RegisterClass(), CASAEntity::RegisterClass(), CFileEntity::RegisterClass(),
                       RegisterVBScriptEngine(), RegisterJScriptEngine()}) {
        if (!CheckResult(hr) && SUCCEEDED(result))
            result = hr;
    }
    // Every page run gets a Server object of its own.
    CASPEntity::SetServerObjectFactory([](IDispatch** ppServer) {
        HRESULT hr = S_OK;
        CComPtr<CServerObject> ptrServer = MakeObject<CServerObject>(&hr);
        if (!CheckResult(hr))
            return hr;
        *ppServer = static_cast<IDispatch*>(ptrServer.Detach());
        return S_OK;
    });
    return result;
}
