// The Filter object of a request's classification.
#include "passthru/FilterObject.h"

#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "idl/DispatchIds.h"

const CDispatchTable& CFilterObject::GetDispatchTable() {
    static const CDispatchTable table(
        u"IFilterObject",
        {
            DispMethod<&CFilterObject::Continue>(u"Continue", DISPID_IFILTEROBJECT_CONTINUE),
            DispMethod<&CFilterObject::Abort>(u"Abort", DISPID_IFILTEROBJECT_ABORT),
            DispMethod<&CFilterObject::HTTPTransfer>(u"HTTPTransfer",
                                                     DISPID_IFILTEROBJECT_HTTPTRANSFER),
        });
    return table;
}

void CFilterObject::Init(IFilterDecision* pPassthru, IScriptInstance* pInstance) {
    CCritSecLock guard(m_lock);
    m_pPassthru = pPassthru;
    m_ptrInstance = pInstance;
}

bool CFilterObject::Decided() const {
    CCritSecLock guard(m_lock);
    return m_bDecided;
}

HRESULT CFilterObject::HaltScript() {
    if (CheckExpression(!m_pPassthru || !m_ptrInstance))
        return E_UNEXPECTED;
    return CheckResultValue(m_ptrInstance->Halt());
}

template <class Verdict>
HRESULT CFilterObject::Decide(const char* pszWhere, Verdict verdict) {
    try {
        CCritSecLock guard(m_lock);
        HRESULT hr = HaltScript();
        if (FAILED(hr))
            return hr;
        m_bDecided = true;
        return verdict();
    } catch (...) {
        return ReportException(pszWhere, CV_HERE);
    }
}

HRESULT CFilterObject::Continue() {
    return Decide("CFilterObject::Continue",
                  [this] { return CheckResultValue(m_pPassthru->Continue()); });
}

HRESULT CFilterObject::Abort() {
    return Decide("CFilterObject::Abort", [this] {
        WriteLog("Filter.Abort called: Closing Passthru", nullptr);
        return CheckResultValue(m_pPassthru->Close());
    });
}

HRESULT CFilterObject::HTTPTransfer(BSTR strLocalURL) {
    return Decide("CFilterObject::HTTPTransfer", [&] {
        return CheckResultValue(m_pPassthru->HTTPTransfer(strLocalURL.ToUtf8()));
    });
}
