// The type information that script engines import.
//
// Scripts see a type library's enumeration values as named constants (after importing
// the service's library, `HTTP` is 1 in a filter script), and `TypeName` of a host
// object gives its interface's name. The script host hands engines the library by id and
// version, as it would to `AddTypeLib`; an engine loads it here and either takes every
// constant at once or looks names up, without regard to case.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "com/CComVariant.h"
#include "com/Guid.h"
#include "com/HResult.h"

// No library is registered with that id and a compatible version.
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = MakeHResult(0x8002801D);

struct TypeLibConstant {
    std::u16string_view name;
    LONG value;
};

struct TypeLibInterface {
    IID iid;
    std::u16string_view name;
};

// A constant with its value as scripts receive it (VT_I4).
struct TypeLibConstantValue {
    std::u16string name;
    CComVariant value;
};

class CTypeLibrary {
public:
    constexpr CTypeLibrary(const GUID& libid, WORD wMajor, WORD wMinor,
                           std::span<const TypeLibConstant> constants,
                           std::span<const TypeLibInterface> interfaces)
        : m_libid(libid),
          m_wMajor(wMajor),
          m_wMinor(wMinor),
          m_constants(constants),
          m_interfaces(interfaces) {}

    // The library with this id whose major version is wMajor and whose minor version is
    // at least wMinor; TYPE_E_LIBNOTREGISTERED when there is none.
    static HRESULT Load(const GUID& libid, WORD wMajor, WORD wMinor, const CTypeLibrary** ppLib);

    const GUID& Libid() const { return m_libid; }
    WORD MajorVersion() const { return m_wMajor; }
    WORD MinorVersion() const { return m_wMinor; }
    std::span<const TypeLibConstant> Constants() const { return m_constants; }
    std::span<const TypeLibInterface> Interfaces() const { return m_interfaces; }

    // Appends every constant, in declaration order.
    HRESULT GetConstants(std::vector<TypeLibConstantValue>* pConstants) const;
    // The constant of that name, compared without regard to case: S_OK with its value, or
    // S_FALSE with an empty value when the library has none (a lookup miss, not a fault).
    HRESULT FindConstant(std::u16string_view name, VARIANT* pValue) const;
    // The name of an interface described in this library, or an empty view.
    std::u16string_view InterfaceName(const IID& iid) const;

private:
    GUID m_libid;
    WORD m_wMajor;
    WORD m_wMinor;
    std::span<const TypeLibConstant> m_constants;
    std::span<const TypeLibInterface> m_interfaces;
};

// The constants of a registered library, as (name, value) pairs.
HRESULT GetTypeLibConstants(const GUID& libid, WORD wMajor, WORD wMinor,
                            std::vector<TypeLibConstantValue>* pConstants);

// The name that TypeName reports for an interface of the program's type libraries
// ("IRequest"), or an empty view for an interface they do not describe.
std::u16string_view TypeNameOfInterface(const IID& iid);
