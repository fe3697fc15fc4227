// The user events, run in the site's application script.
#include "service/ApplicationEvents.h"

#include "com/DiagnosticLog.h"
#include "storage/ApplicationScript.h"

HRESULT CApplicationUserEvents::RunProcedure(IUserObject* user, LCID lcid,
                                             std::u16string_view strProcedure) {
    if (CheckExpression(!user))
        return E_POINTER;
    CApplicationScript script;
    HRESULT hr = script.Open(lcid);
    if (!CheckResult(hr))
        return hr;
    hr = script.AddNamedObject(u"User", user);
    if (!CheckResult(hr))
        return hr;
    hr = script.Run();
    if (!CheckResult(hr))
        return hr;
    // The instance is closed whatever the procedure answered.
    hr = script.Invoke(strProcedure, {});
    const HRESULT hrClose = script.Close();
    return FAILED(hr) ? hr : hrClose;
}

HRESULT CApplicationUserEvents::OnStart(IUserObject* user, LCID lcid) {
    return RunProcedure(user, lcid, u"User_OnStart");
}

HRESULT CApplicationUserEvents::OnEnd(IUserObject* user, LCID lcid) {
    return RunProcedure(user, lcid, u"User_OnEnd");
}

HRESULT CApplicationUserEvents::OnTimer(IUserObject* user, LCID lcid, const BSTR& function) {
    return RunProcedure(user, lcid, function.View());
}
