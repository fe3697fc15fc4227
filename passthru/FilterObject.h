// CFilterObject: the script object "Filter" of one request's classification.
//
// The script that judges a request answers by calling one of its methods. Each first
// halts the script instance (the script does not run past the call), then hands the
// verdict to the relay. The relay is not counted: it holds itself alive for as long as a
// classification runs, and the object is used only inside that run. Methods run on the
// script's thread under the object's lock (taken before the relay's locks).
#pragma once

#include <string>

#include "com/CriticalSection.h"
#include "com/DispatchTable.h"
#include "idl/FilterInterfaces.h"
#include "idl/ServiceInterfaces.h"
#include "passthru/FilterPolicy.h"

class CFilterObject
    : public CComObjectRoot<CFilterObject, IDispatchImpl<CFilterObject, IFilterObject>,
                            ICorvane_Reserved> {
public:
    static const CDispatchTable& GetDispatchTable();

    // The relay that receives the verdict and the instance running the script.
    void Init(IFilterDecision* pPassthru, IScriptInstance* pInstance);
    // Whether a method has given a verdict.
    bool Decided() const;

    // IFilterObject
    HRESULT Continue() override;
    HRESULT Abort() override;
    HRESULT HTTPTransfer(BSTR strLocalURL) override;

private:
    HRESULT HaltScript();
    // Halts the script, then gives the verdict, under the lock.
    template <class Verdict>
    HRESULT Decide(const char* pszWhere, Verdict verdict);

    mutable CComAutoCriticalSection m_lock;  // guards the fields below
    IFilterDecision* m_pPassthru = nullptr;
    CComPtr<IScriptInstance> m_ptrInstance;
    bool m_bDecided = false;
};
