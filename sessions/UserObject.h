// IUserObject: the script object "User", one per attached process (a process session).
//
// Most members reach the user session that all processes of the user share (values,
// locale, code page, time-out, timer); the process session adds the process's name and
// its tray icon object. Members are listed in the order of their dispatch ids.
#pragma once

#include <tuple>

#include "com/Bstr.h"
#include "com/Dispatch.h"
#include "com/Unknown.h"
#include "idl/Identifiers.h"

struct ITrayIcon;

struct IUserObject : IDispatch {
    static constexpr IID iid = IID_IUserObject;
    using Bases = std::tuple<IDispatch>;
    virtual HRESULT get_Value(BSTR bstrName, VARIANT* pvar) = 0;
    virtual HRESULT put_Value(BSTR bstrName, const VARIANT& var) = 0;
    virtual HRESULT putref_Value(BSTR bstrName, const VARIANT& var) = 0;
    virtual HRESULT get_CodePage(LONG* pVal) = 0;
    virtual HRESULT put_CodePage(LONG newVal) = 0;
    virtual HRESULT get_LCID(LONG* pVal) = 0;
    virtual HRESULT put_LCID(LONG newVal) = 0;
    virtual HRESULT get_Timeout(LONG* pVal) = 0;
    virtual HRESULT put_Timeout(LONG newVal) = 0;
    virtual HRESULT get_StaticObjects(IDispatch** pVal) = 0;
    virtual HRESULT get_Contents(IDispatch** pVal) = 0;
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT get_CurrentProcess(BSTR* pVal) = 0;
    virtual HRESULT get_TrayIcon(IDispatch** pVal) = 0;
    virtual HRESULT SetTimer(LONG mins, BSTR strFuncName) = 0;
    virtual HRESULT CancelTimer() = 0;
    virtual HRESULT get_LocalURL(BSTR* pVal) = 0;

protected:
    ~IUserObject() = default;
};
