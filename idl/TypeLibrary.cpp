// The program's type libraries as data: the service's (script-visible interfaces and the
// NetworkProtocol values) and the tray program's (its tray object).
#include "idl/TypeLibrary.h"

#include <array>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "idl/Enums.h"
#include "idl/Identifiers.h"

namespace {

constexpr LONG ValueOf(NetworkProtocol protocol) {
    return static_cast<LONG>(protocol);
}

constexpr std::array kCorvaneConstants = {
    TypeLibConstant{u"Unrecognised", ValueOf(NetworkProtocol::Unrecognised)},
    TypeLibConstant{u"HTTP", ValueOf(NetworkProtocol::HTTP)},
    TypeLibConstant{u"TLS1", ValueOf(NetworkProtocol::TLS1)},
    TypeLibConstant{u"SSL3", ValueOf(NetworkProtocol::SSL3)},
    TypeLibConstant{u"SSL2", ValueOf(NetworkProtocol::SSL2)},
};

constexpr std::array kCorvaneInterfaces = {
    TypeLibInterface{IID_IRequest, u"IRequest"},
    TypeLibInterface{IID_IRequestDictionary, u"IRequestDictionary"},
    TypeLibInterface{IID_IResponse, u"IResponse"},
    TypeLibInterface{IID_IApplication, u"IApplication"},
    TypeLibInterface{IID_IVariantDictionary, u"IVariantDictionary"},
    TypeLibInterface{IID_IServerObject, u"IServerObject"},
    TypeLibInterface{IID_IStringList2, u"IStringList2"},
    TypeLibInterface{IID_IStorageObject, u"IStorageObject"},
    TypeLibInterface{IID_IFilterObject, u"IFilterObject"},
    TypeLibInterface{IID_IUserObject, u"IUserObject"},
    TypeLibInterface{IID_ITrayIcon, u"ITrayIcon"},
    TypeLibInterface{IID_IMenu, u"IMenu"},
    TypeLibInterface{IID_IConnection, u"IConnection"},
};

constexpr std::array kPelloraInterfaces = {
    TypeLibInterface{IID_IPellora, u"IPellora"},
};

// The tray program's library has no version of its own in its registration; it is
// published as 1.0.
constexpr std::array kLibraries = {
    CTypeLibrary(LIBID_Corvane, LIBVER_Corvane_Major, LIBVER_Corvane_Minor, kCorvaneConstants,
                 kCorvaneInterfaces),
    CTypeLibrary(LIBID_Pellora, 1, 0, {}, kPelloraInterfaces),
};

}  // namespace

HRESULT CTypeLibrary::Load(const GUID& libid, WORD wMajor, WORD wMinor,
                           const CTypeLibrary** ppLib) {
    if (CheckExpression(!ppLib))
        return E_POINTER;
    *ppLib = nullptr;
    for (const CTypeLibrary& lib : kLibraries) {
        if (lib.m_libid == libid && lib.m_wMajor == wMajor && lib.m_wMinor >= wMinor) {
            *ppLib = &lib;
            return S_OK;
        }
    }
    CheckExpression(!*ppLib);
    return TYPE_E_LIBNOTREGISTERED;
}

HRESULT CTypeLibrary::GetConstants(std::vector<TypeLibConstantValue>* pConstants) const {
    if (CheckExpression(!pConstants))
        return E_POINTER;
    try {
        for (const TypeLibConstant& c : m_constants)
            pConstants->push_back({std::u16string(c.name), CComVariant(c.value)});
        return S_OK;
    } catch (...) {
        return ReportException("CTypeLibrary::GetConstants", CV_HERE);
    }
}

HRESULT CTypeLibrary::FindConstant(std::u16string_view name, VARIANT* pValue) const {
    if (CheckExpression(!pValue))
        return E_POINTER;
    VariantInit(pValue);
    for (const TypeLibConstant& c : m_constants) {
        if (EqualsNoCase(c.name, name)) {
            pValue->vt = VT_I4;
            pValue->lVal = c.value;
            return S_OK;
        }
    }
    return S_FALSE;
}

std::u16string_view CTypeLibrary::InterfaceName(const IID& iid) const {
    for (const TypeLibInterface& i : m_interfaces)
        if (i.iid == iid)
            return i.name;
    return {};
}

HRESULT GetTypeLibConstants(const GUID& libid, WORD wMajor, WORD wMinor,
                            std::vector<TypeLibConstantValue>* pConstants) {
    const CTypeLibrary* lib = nullptr;
    HRESULT hr = CheckResultValue(CTypeLibrary::Load(libid, wMajor, wMinor, &lib));
    if (FAILED(hr))
        return hr;
    return CheckResultValue(lib->GetConstants(pConstants));
}

std::u16string_view TypeNameOfInterface(const IID& iid) {
    for (const CTypeLibrary& lib : kLibraries) {
        std::u16string_view name = lib.InterfaceName(iid);
        if (!name.empty())
            return name;
    }
    return {};
}
