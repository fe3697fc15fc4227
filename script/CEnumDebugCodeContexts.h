// CEnumDebugCodeContexts: the engines' code contexts of one page range, combined.
//
// A page range can be code of several engine objects (every clone attached to the
// script context); the engine collects what each of them answers into one enumerator.
#pragma once

#include <mutex>
#include <vector>

#include "com/Unknown.h"
#include "script/ScriptDebugInterfaces.h"

class CEnumDebugCodeContexts
    : public CComObjectRoot<CEnumDebugCodeContexts, IEnumDebugCodeContexts> {
public:
    // Takes every context `pEnum` gives until it stops answering S_OK.
    HRESULT Append(IEnumDebugCodeContexts* pEnum);

    // IEnumDebugCodeContexts
    HRESULT Next(ULONG celt, IDebugCodeContext** pscc, ULONG* pceltFetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumDebugCodeContexts** ppescc) override;

private:
    std::mutex m_lock;  // guards the fields below; a leaf lock
    std::vector<CComPtr<IDebugCodeContext>> m_arrContexts;
    std::size_t m_nCurrent = 0;
};
