// The Server object; see Server.h.
#include "service/Server.h"

#include <unistd.h>

#include "com/CComVariant.h"
#include "service/PelloraProxy.h"
#include "sessions/ProcessInfo.h"

CSocketServer* CServer::Server() const {
    return m_pServer ? m_pServer : SOCKET_SERVER::instance();
}

HRESULT CServer::Init(LONG ProcessId, BSTR strProcessName, IPellora* pTray, USHORT* pPort,
                      GUID* guidSessionKey) {
    try {
        if (CheckExpression(!ProcessId))
            return E_INVALIDARG;
        if (CheckExpression(!pPort || !guidSessionKey))
            return E_POINTER;
        // What a caller finds in the key when a failure below leaves it unwritten.
        *guidSessionKey = CLSID_Server;
        auto caller = CurrentRpcCaller();
        const uid_t uid = caller ? caller->uid : getuid();
        // A process may be attached only by its own user (or root): a key is a capability.
        auto owner = ProcessOwner(ProcessId);
        if (CheckExpression(!owner))
            return E_INVALIDARG;
        if (CheckExpression(uid != 0 && *owner != uid))
            return E_ACCESSDENIED;
        CSocketServer* server = Server();
        if (CheckExpression(!server))
            return E_UNEXPECTED;
        HRESULT hr =
            server->GetSessionKeyFor(uid, ProcessId, strProcessName, pTray, guidSessionKey);
        if (!CheckResult(hr))
            return hr;
        *pPort = server->PrivatePort();
        return hr;
    } catch (...) {
        return ReportException("CServer::Init", CV_HERE);
    }
}

HRESULT CServer::Term(const GUID* Token) {
    try {
        if (CheckExpression(!Token))
            return E_POINTER;
        CSocketServer* server = Server();
        if (CheckExpression(!server))
            return E_UNEXPECTED;
        return server->TermSession(*Token);
    } catch (...) {
        return ReportException("CServer::Term", CV_HERE);
    }
}

HRESULT CServer::RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs, VARIANT*) {
    try {
        if (iid != IID_ISocketServer)
            return E_NOINTERFACE;
        if (method == 1) {
            if (CheckExpression(cArgs != 5 || !rgArgs))
                return DISP_E_BADPARAMCOUNT;
            CComVariant pid;
            if (CheckExpression(FAILED(VariantChangeType(&pid, &rgArgs[0], 0, VT_I4))))
                return DISP_E_TYPEMISMATCH;
            if (CheckExpression(rgArgs[1].vt != VT_BSTR))
                return DISP_E_TYPEMISMATCH;
            const VARTYPE trayType = rgArgs[2].vt;
            if (CheckExpression(trayType != VT_EMPTY && trayType != VT_NULL &&
                                trayType != VT_UNKNOWN && trayType != VT_DISPATCH))
                return DISP_E_TYPEMISMATCH;
            if (CheckExpression(rgArgs[3].vt != (VT_UI2 | VT_BYREF) || !rgArgs[3].puiVal ||
                                rgArgs[4].vt != (VT_BSTR | VT_BYREF) || !rgArgs[4].pbstrVal))
                return DISP_E_TYPEMISMATCH;
            CComPtr<IPellora> tray;
            if ((trayType == VT_UNKNOWN || trayType == VT_DISPATCH) && rgArgs[2].punkVal) {
                tray = CPelloraProxy::FromUnknown(rgArgs[2].punkVal);
                if (CheckExpression(!tray))
                    return E_NOINTERFACE;
            }
            USHORT port = 0;
            GUID key;
            HRESULT hr = Init(pid.lVal, VariantBstr(rgArgs[1]), tray.Get(), &port, &key);
            if (FAILED(hr))
                return hr;
            *rgArgs[3].puiVal = port;
            *rgArgs[4].pbstrVal = BSTR::FromUtf8(GUID2String(key));
            return hr;
        }
        if (method == 2) {
            if (CheckExpression(cArgs != 1 || !rgArgs))
                return DISP_E_BADPARAMCOUNT;
            if (CheckExpression(rgArgs[0].vt != VT_BSTR))
                return DISP_E_TYPEMISMATCH;
            auto key = ParseGUID(VariantBstr(rgArgs[0]).ToUtf8());
            if (CheckExpression(!key))
                return E_INVALIDARG;
            return Term(&*key);
        }
        return E_NOTIMPL;
    } catch (...) {
        return ReportException("CServer::RpcCall", CV_HERE);
    }
}
