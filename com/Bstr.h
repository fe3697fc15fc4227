// BSTR: the UTF-16 string of Automation, a value type that keeps null apart from empty.
//
// Scripts can tell a null string (VBScript's vbNullString, JScript's null passed as
// a string) from an empty one, and that difference has to survive dispatch and the
// object RPC, so a BSTR is either null or holds text (possibly empty). A default
// BSTR is null. Lengths are in UTF-16 code units.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>

#include "com/Strings.h"
#include "com/Types.h"

class BSTR {
public:
    BSTR() = default;
    BSTR(std::u16string text) : m_text(std::move(text)) {}
    BSTR(std::u16string_view text) : m_text(std::u16string(text)) {}
    BSTR(const char16_t* text) {
        if (text) m_text = std::u16string(text);
    }

    static BSTR FromUtf8(std::string_view text) { return BSTR(Utf8ToUtf16(text)); }
    static BSTR Empty() { return BSTR(std::u16string()); }

    bool IsNull() const { return !m_text.has_value(); }
    // Length in code units; a null string has length 0, as SysStringLen gives it.
    UINT Length() const { return m_text ? static_cast<UINT>(m_text->size()) : 0; }
    // The text; a null string reads as empty.
    std::u16string_view View() const { return m_text ? std::u16string_view(*m_text) : u""; }
    const std::u16string& Str() const {
        static const std::u16string empty;
        return m_text ? *m_text : empty;
    }
    // The text for changing in place; a null string becomes empty first.
    std::u16string& Mutable() {
        if (!m_text) m_text.emplace();
        return *m_text;
    }
    std::string ToUtf8() const { return Utf16ToUtf8(View()); }

    // Content comparison: a null string compares equal to an empty one, as the
    // Automation comparison rules treat them. Use IsNull to tell them apart.
    friend bool operator==(const BSTR& a, const BSTR& b) { return a.View() == b.View(); }
    friend std::strong_ordering operator<=>(const BSTR& a, const BSTR& b) {
        return a.View() <=> b.View();
    }

private:
    std::optional<std::u16string> m_text;
};
