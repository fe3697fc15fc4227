// CApplicationScript: one run of the site's application script ("global.asa").
//
// Events that other parts raise (a user's first process, the end of a user session, a
// timer, the classification of a connection or a request) each run one procedure of
// "global.asa" in a fresh instance of its script: `Open` loads the entity through the
// storage manager and instantiates it (the instance already carries "Application" and
// "Server"), the caller adds its own named objects, `Run` runs the file's global code and
// `Invoke` calls the procedure by name. `Close` (also on destruction) leaves any
// Application.Lock the script still holds on this thread and closes the instance.
//
// One object serves one run on one thread; it holds no lock between calls.
#pragma once

#include <span>
#include <string_view>

#include "com/CComVariant.h"
#include "com/Unknown.h"
#include "idl/ServiceInterfaces.h"

class CApplicationScript {
public:
    static constexpr std::u16string_view kGlobalAsa = u"global.asa";

    CApplicationScript() = default;
    ~CApplicationScript();
    CApplicationScript(const CApplicationScript&) = delete;
    CApplicationScript& operator=(const CApplicationScript&) = delete;

    // Loads "global.asa" for the locale (a failure is also shown as a critical failure by
    // the storage manager) and instantiates it.
    HRESULT Open(LCID lcid);
    HRESULT AddNamedObject(std::u16string_view strName, IDispatch* pDisp);
    HRESULT Run();
    // Calls a procedure with the arguments in call order (the first is the procedure's
    // first parameter). DISP_E_UNKNOWNNAME when the file has no such procedure.
    HRESULT Invoke(std::u16string_view strProcedure, std::span<const CComVariant> args,
                   VARIANT* pResult = nullptr);
    HRESULT Close();

    // The open instance (null before Open and after Close).
    IScriptInstance* Instance() const { return m_ptrSI.Get(); }

private:
    LCID m_lcid = 0;
    CComPtr<IScriptInstance> m_ptrSI;
};
