// Encoding and decoding of the typed registry values.
#include "registry/RegistryValue.h"

#include "com/DiagnosticLog.h"
#include "com/Strings.h"

std::vector<BYTE> Utf16LeBytes(std::string_view text) {
    std::u16string wide = Utf8ToUtf16(text);
    std::vector<BYTE> bytes;
    bytes.reserve(wide.size() * 2 + 2);
    for (char16_t unit : wide) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    return bytes;
}

std::string TextFromUtf16Le(const BYTE* data, std::size_t size) {
    std::u16string wide;
    wide.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        wide.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
    return Utf16ToUtf8(wide);
}

namespace {

std::vector<BYTE> TerminatedUtf16(std::string_view text) {
    std::vector<BYTE> bytes = Utf16LeBytes(text);
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// The length in bytes of the UTF-16 units before the first zero unit, from `offset`.
std::size_t UnitsBeforeZero(const std::vector<BYTE>& data, std::size_t offset) {
    std::size_t end = offset;
    while (end + 1 < data.size() && (data[end] | data[end + 1]) != 0)
        end += 2;
    return (end + 1 < data.size() ? end : data.size()) - offset;
}

}  // namespace

CRegistryValue CRegistryValue::FromString(std::string_view text) {
    return CRegistryValue(REG_SZ, TerminatedUtf16(text));
}

CRegistryValue CRegistryValue::FromExpandString(std::string_view text) {
    return CRegistryValue(REG_EXPAND_SZ, TerminatedUtf16(text));
}

CRegistryValue CRegistryValue::FromMultiString(const std::vector<std::string>& strings) {
    std::vector<BYTE> bytes;
    for (const std::string& s : strings) {
        std::vector<BYTE> one = TerminatedUtf16(s);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return CRegistryValue(REG_MULTI_SZ, std::move(bytes));
}

CRegistryValue CRegistryValue::FromDword(DWORD value) {
    std::vector<BYTE> bytes(4);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<BYTE>(value >> (8 * i));
    return CRegistryValue(REG_DWORD, std::move(bytes));
}

CRegistryValue CRegistryValue::FromQword(ULONGLONG value) {
    std::vector<BYTE> bytes(8);
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<BYTE>(value >> (8 * i));
    return CRegistryValue(REG_QWORD, std::move(bytes));
}

CRegistryValue CRegistryValue::FromBinary(std::vector<BYTE> data) {
    return CRegistryValue(REG_BINARY, std::move(data));
}

HRESULT CRegistryValue::GetString(std::string* text) const {
    if (CheckExpression(!text))
        return E_POINTER;
    if (m_type != REG_SZ && m_type != REG_EXPAND_SZ)
        return DISP_E_TYPEMISMATCH;
    *text = TextFromUtf16Le(m_data.data(), UnitsBeforeZero(m_data, 0));
    return S_OK;
}

HRESULT CRegistryValue::GetDword(DWORD* value) const {
    if (CheckExpression(!value))
        return E_POINTER;
    if (m_type != REG_DWORD || m_data.size() != 4)
        return DISP_E_TYPEMISMATCH;
    DWORD v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | m_data[i];
    *value = v;
    return S_OK;
}

HRESULT CRegistryValue::GetQword(ULONGLONG* value) const {
    if (CheckExpression(!value))
        return E_POINTER;
    if (m_type != REG_QWORD || m_data.size() != 8)
        return DISP_E_TYPEMISMATCH;
    ULONGLONG v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | m_data[i];
    *value = v;
    return S_OK;
}

HRESULT CRegistryValue::GetMultiString(std::vector<std::string>* strings) const {
    if (CheckExpression(!strings))
        return E_POINTER;
    if (m_type != REG_MULTI_SZ)
        return DISP_E_TYPEMISMATCH;
    strings->clear();
    std::size_t offset = 0;
    while (offset + 1 < m_data.size()) {
        std::size_t length = UnitsBeforeZero(m_data, offset);
        if (length == 0)
            break;  // the empty string ends the list
        strings->push_back(TextFromUtf16Le(m_data.data() + offset, length));
        offset += length + 2;
    }
    return S_OK;
}

HRESULT CRegistryValue::GetBinary(std::vector<BYTE>* data) const {
    if (CheckExpression(!data))
        return E_POINTER;
    if (m_type != REG_BINARY)
        return DISP_E_TYPEMISMATCH;
    *data = m_data;
    return S_OK;
}
