// CRpcInterfaces: the registry of custom-interface stubs and calling through them.
#include "rpc/RpcInterfaces.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "com/DiagnosticLog.h"
#include "com/ErrorInfo.h"

namespace {

struct StubEntry {
    CRpcInterfaces::Stub stub = nullptr;
    const CDispatchTable* table = nullptr;
};

struct IidHash {
    std::size_t operator()(const IID& iid) const {
        std::uint64_t h = iid.Data1;
        h = h * 1000003u ^ iid.Data2;
        h = h * 1000003u ^ iid.Data3;
        for (BYTE b : iid.Data4)
            h = h * 1000003u ^ b;
        return static_cast<std::size_t>(h);
    }
};

class CStubMap {
public:
    static CStubMap& Instance() {
        static CStubMap map;
        return map;
    }
    void Set(const IID& iid, const StubEntry& entry) {
        std::lock_guard lock(m_lock);
        m_stubs[iid] = entry;
    }
    bool Erase(const IID& iid) {
        std::lock_guard lock(m_lock);
        return m_stubs.erase(iid) != 0;
    }
    bool Find(const IID& iid, StubEntry* entry) const {
        std::lock_guard lock(m_lock);
        auto it = m_stubs.find(iid);
        if (it == m_stubs.end())
            return false;
        *entry = it->second;
        return true;
    }

private:
    mutable std::mutex m_lock;
    std::unordered_map<IID, StubEntry, IidHash> m_stubs;
};

// Calls an ordinal through a dispatch table: the arguments go in reverse order as
// dispatch expects, and an exception comes back as the error information of the call.
HRESULT CallTable(const CDispatchTable& table, void* pInterface, ULONG method, UINT cArgs,
                  VARIANT* rgArgs, VARIANT* pResult) {
    std::vector<VARIANT> reversed(rgArgs, rgArgs + cArgs);  // views: the caller owns them
    std::reverse(reversed.begin(), reversed.end());
    DISPPARAMS params{reversed.data(), nullptr, cArgs, 0};
    EXCEPINFO excep;
    CComVariant result;
    HRESULT hr = table.Invoke(pInterface, static_cast<DISPID>(method), 0, DISPATCH_METHOD, &params,
                              &result, &excep, nullptr);
    // Values written back went into the caller's by-reference arguments through the
    // views; the views themselves own nothing.
    if (hr == DISP_E_EXCEPTION)
        return ReportError(excep.scode, excep.bstrSource.View(), excep.bstrDescription.View());
    if (SUCCEEDED(hr) && pResult) {
        VariantClear(pResult);
        result.Detach(pResult);
    }
    return hr;
}

}  // namespace

HRESULT CRpcInterfaces::Register(const IID& iid, Stub stub) {
    if (CheckExpression(!stub))
        return E_POINTER;
    try {
        CStubMap::Instance().Set(iid, StubEntry{stub, nullptr});
        return S_OK;
    } catch (...) {
        return ReportException("CRpcInterfaces::Register", CV_HERE);
    }
}

HRESULT CRpcInterfaces::Register(const IID& iid, const CDispatchTable& table) {
    try {
        CStubMap::Instance().Set(iid, StubEntry{nullptr, &table});
        return S_OK;
    } catch (...) {
        return ReportException("CRpcInterfaces::Register", CV_HERE);
    }
}

HRESULT CRpcInterfaces::Unregister(const IID& iid) {
    return CStubMap::Instance().Erase(iid) ? S_OK : S_FALSE;
}

HRESULT CRpcInterfaces::Call(IUnknown* object, const IID& iid, ULONG method, UINT cArgs,
                             VARIANT* rgArgs, VARIANT* pResult) {
    if (CheckExpression(!object || (cArgs && !rgArgs)))
        return E_POINTER;
    try {
        StubEntry entry;
        if (!CStubMap::Instance().Find(iid, &entry))
            return E_NOINTERFACE;
        void* pInterface = nullptr;
        HRESULT hr = object->QueryInterface(iid, &pInterface);
        if (FAILED(hr) || !pInterface)
            return FAILED(hr) ? hr : E_NOINTERFACE;
        // The object stays alive through `object`; the reference QueryInterface added
        // goes again after the call.
        struct Releaser {
            void* p;
            ~Releaser() { static_cast<IUnknown*>(p)->Release(); }
        } releaser{pInterface};
        if (entry.stub)
            return entry.stub(pInterface, method, cArgs, rgArgs, pResult);
        return CallTable(*entry.table, pInterface, method, cArgs, rgArgs, pResult);
    } catch (...) {
        return ReportException("CRpcInterfaces::Call", CV_HERE);
    }
}
