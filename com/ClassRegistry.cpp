// The in-process class registry.
#include "com/ClassRegistry.h"

#include <algorithm>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"

CClassRegistry& CClassRegistry::Instance() {
    static CClassRegistry registry;
    return registry;
}

HRESULT CClassRegistry::Register(const CLSID& clsid, std::u16string_view progId,
                                 ClassFactory factory, std::vector<CATID> categories) {
    if (CheckExpression(clsid.IsNull() || !factory))
        return E_INVALIDARG;
    try {
        std::lock_guard guard(m_lock);
        for (const auto& [id, entry] : m_classes) {
            if (!progId.empty() && id != clsid && EqualsNoCase(entry.progId, progId)) {
                CheckExpression(!"ProgID already registered to another class");
                return E_INVALIDARG;
            }
        }
        m_classes[clsid] = ClassEntry{clsid, std::u16string(progId), std::move(factory),
                                      std::move(categories), m_nextOrder++};
        return S_OK;
    } catch (...) {
        return ReportException("CClassRegistry::Register", CV_HERE);
    }
}

HRESULT CClassRegistry::Unregister(const CLSID& clsid) {
    std::lock_guard guard(m_lock);
    return m_classes.erase(clsid) ? S_OK : S_FALSE;
}

const CClassRegistry::ClassEntry* CClassRegistry::FindLocked(const CLSID& clsid) const {
    auto it = m_classes.find(clsid);
    return it == m_classes.end() ? nullptr : &it->second;
}

HRESULT CClassRegistry::CreateInstance(const CLSID& clsid, const IID& riid, void** ppv) const {
    if (CheckExpression(!ppv))
        return E_POINTER;
    *ppv = nullptr;
    try {
        ClassFactory factory;
        {
            std::lock_guard guard(m_lock);
            const ClassEntry* entry = FindLocked(clsid);
            if (!entry)
                return REGDB_E_CLASSNOTREG;
            factory = entry->factory;
        }
        // The factory runs without the lock: a constructor may create other classes.
        return CheckResultValue(factory(riid, ppv));
    } catch (...) {
        return ReportException("CClassRegistry::CreateInstance", CV_HERE);
    }
}

HRESULT CClassRegistry::CLSIDFromProgID(std::u16string_view progId, CLSID* pclsid) const {
    if (CheckExpression(!pclsid))
        return E_POINTER;
    *pclsid = GUID_NULL;
    std::lock_guard guard(m_lock);
    for (const auto& [id, entry] : m_classes) {
        if (!entry.progId.empty() && EqualsNoCase(entry.progId, progId)) {
            *pclsid = id;
            return S_OK;
        }
    }
    return CO_E_CLASSSTRING;
}

HRESULT CClassRegistry::ProgIDFromCLSID(const CLSID& clsid, std::u16string* pProgId) const {
    if (CheckExpression(!pProgId))
        return E_POINTER;
    try {
        std::lock_guard guard(m_lock);
        const ClassEntry* entry = FindLocked(clsid);
        if (!entry || entry->progId.empty())
            return REGDB_E_CLASSNOTREG;
        *pProgId = entry->progId;
        return S_OK;
    } catch (...) {
        return ReportException("CClassRegistry::ProgIDFromCLSID", CV_HERE);
    }
}

std::vector<CLSID> CClassRegistry::ClassesOfCategory(const CATID& catid) const {
    std::vector<std::pair<unsigned long, CLSID>> found;
    {
        std::lock_guard guard(m_lock);
        for (const auto& [id, entry] : m_classes)
            if (std::find(entry.categories.begin(), entry.categories.end(), catid) !=
                entry.categories.end())
                found.emplace_back(entry.order, id);
    }
    std::sort(found.begin(), found.end());
    std::vector<CLSID> out;
    for (const auto& f : found)
        out.push_back(f.second);
    return out;
}

HRESULT CoCreateInstance(const CLSID& rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                         const IID& riid, void** ppv) {
    if (CheckExpression(!ppv))
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter)
        return CLASS_E_NOAGGREGATION;
    if (!(dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER)))
        return REGDB_E_CLASSNOTREG;
    return CClassRegistry::Instance().CreateInstance(rclsid, riid, ppv);
}

HRESULT CLSIDFromProgID(const char16_t* lpszProgID, CLSID* lpclsid) {
    if (CheckExpression(!lpszProgID || !lpclsid))
        return E_INVALIDARG;
    return CClassRegistry::Instance().CLSIDFromProgID(lpszProgID, lpclsid);
}

HRESULT ProgIDFromCLSID(const CLSID& clsid, std::u16string* lplpszProgID) {
    return CClassRegistry::Instance().ProgIDFromCLSID(clsid, lplpszProgID);
}
