// CRegistryValue: one typed registry value, kept as the type number and the raw bytes.
//
// The bytes are what the value holds on the wire of the store format: strings are
// UTF-16LE with their terminating zero, a DWORD is 4 bytes little endian, a QWORD 8.
// Keeping the bytes rather than a decoded form means a value of any type, or a string
// without its terminator, survives a read and a rewrite of the store byte for byte.
// The typed getters decode and check the type; the factories build the usual forms
// from UTF-8 text and integers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "com/HResult.h"
#include "com/Types.h"

// Value types, numbered as the registry numbers them.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

class CRegistryValue {
public:
    CRegistryValue() = default;  // REG_NONE without data
    CRegistryValue(DWORD type, std::vector<BYTE> data) : m_type(type), m_data(std::move(data)) {}

    static CRegistryValue FromString(std::string_view text);
    static CRegistryValue FromExpandString(std::string_view text);
    static CRegistryValue FromMultiString(const std::vector<std::string>& strings);
    static CRegistryValue FromDword(DWORD value);
    static CRegistryValue FromQword(ULONGLONG value);
    static CRegistryValue FromBinary(std::vector<BYTE> data);

    DWORD Type() const { return m_type; }
    const std::vector<BYTE>& Data() const { return m_data; }

    // The text of a REG_SZ or REG_EXPAND_SZ value as UTF-8, up to its first zero
    // character (unexpanded). Other types: DISP_E_TYPEMISMATCH.
    HRESULT GetString(std::string* text) const;
    // A REG_DWORD of exactly 4 bytes.
    HRESULT GetDword(DWORD* value) const;
    // A REG_QWORD of exactly 8 bytes.
    HRESULT GetQword(ULONGLONG* value) const;
    // The strings of a REG_MULTI_SZ, up to the empty string that ends the list.
    HRESULT GetMultiString(std::vector<std::string>* strings) const;
    // The bytes of a REG_BINARY value.
    HRESULT GetBinary(std::vector<BYTE>* data) const;

    friend bool operator==(const CRegistryValue&, const CRegistryValue&) = default;

private:
    DWORD m_type = REG_NONE;
    std::vector<BYTE> m_data;
};

// UTF-16LE bytes of UTF-8 text, without a terminator.
std::vector<BYTE> Utf16LeBytes(std::string_view text);
// UTF-8 text of UTF-16LE bytes (an odd last byte is dropped, lone surrogates become U+FFFD).
std::string TextFromUtf16Le(const BYTE* data, std::size_t size);
