// The class registry: creatable classes by CLSID and ProgID, and component categories.
//
// Classes register a factory under their CLSID and ProgID, and optionally in
// categories (the script host finds the script engines through the category of
// parsing engines). `CoCreateInstance` creates in-process only. An unknown ProgID is
// CO_E_CLASSSTRING; a CLSID that nothing registered, REGDB_E_CLASSNOTREG. ProgIDs
// compare case-insensitively, as registry keys do.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "com/Unknown.h"

using CATID = GUID;

// The categories of Active Scripting engines.
constexpr CATID CATID_ActiveScript = MakeGUID("{F0B7A1A1-9847-11CF-8F20-00805F2CD064}");
constexpr CATID CATID_ActiveScriptParse = MakeGUID("{F0B7A1A2-9847-11CF-8F20-00805F2CD064}");

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_ALL = 0x17;

// Creates a new object and answers `riid` from it into *ppv.
using ClassFactory = std::function<HRESULT(const IID& riid, void** ppv)>;

class CClassRegistry {
public:
    static CClassRegistry& Instance();

    // Registers (or replaces) a class. An empty ProgID registers the class by CLSID only.
    HRESULT Register(const CLSID& clsid, std::u16string_view progId, ClassFactory factory,
                     std::vector<CATID> categories = {});
    // Removes a class; S_FALSE when it was not registered.
    HRESULT Unregister(const CLSID& clsid);

    HRESULT CreateInstance(const CLSID& clsid, const IID& riid, void** ppv) const;
    HRESULT CLSIDFromProgID(std::u16string_view progId, CLSID* pclsid) const;
    HRESULT ProgIDFromCLSID(const CLSID& clsid, std::u16string* pProgId) const;
    // The classes registered in a category, in registration order.
    std::vector<CLSID> ClassesOfCategory(const CATID& catid) const;

    // Convenience for the common case: a class created with MakeObject<T>().
    template <class T>
    HRESULT RegisterClass(const CLSID& clsid, std::u16string_view progId,
                          std::vector<CATID> categories = {}) {
        return Register(
            clsid, progId,
            [](const IID& riid, void** ppv) -> HRESULT {
                HRESULT hr = S_OK;
                CComPtr<T> obj = MakeObject<T>(&hr);
                if (FAILED(hr))
                    return hr;
                return obj->QueryInterface(riid, ppv);
            },
            std::move(categories));
    }

private:
    struct ClassEntry {
        CLSID clsid;
        std::u16string progId;
        ClassFactory factory;
        std::vector<CATID> categories;
        unsigned long order;
    };
    const ClassEntry* FindLocked(const CLSID& clsid) const;

    mutable std::mutex m_lock;  // guards the fields below; a leaf lock, never held while creating
    std::map<CLSID, ClassEntry> m_classes;
    unsigned long m_nextOrder = 0;
};

HRESULT CoCreateInstance(const CLSID& rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                         const IID& riid, void** ppv);
HRESULT CLSIDFromProgID(const char16_t* lpszProgID, CLSID* lpclsid);
HRESULT ProgIDFromCLSID(const CLSID& clsid, std::u16string* lplpszProgID);
