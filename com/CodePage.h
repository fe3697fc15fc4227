// Code pages: the one table of code page numbers, ICU converter names and the
// lower-case labels that web pages and HTTP headers use, and conversion through it.
//
// A code page is valid when it is in the table. Converting from Unicode, a character
// the code page cannot represent becomes "?"; converting to Unicode, a byte sequence
// that is not valid in the code page becomes U+FFFD. The ANSI code page of this
// platform is UTF-8 (65001).
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "com/HResult.h"
#include "com/Types.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF16LE = 1200;
constexpr UINT CP_UTF16BE = 1201;
constexpr UINT CP_USASCII = 20127;
constexpr UINT CP_LATIN1 = 28591;
constexpr UINT CP_WINDOWS1252 = 1252;
constexpr UINT CP_UTF8 = 65001;

struct CodePageEntry {
    UINT codePage;
    const char* icuName;   // the name ucnv_open is given
    const char* webLabel;  // the lower-case label pages and headers use
};

std::span<const CodePageEntry> CodePageTable();

// The entry of a code page (CP_ACP means 65001), or null when it is not in the table.
const CodePageEntry* FindCodePage(UINT codePage);
// The entry whose web label or ICU name matches `label` (case-insensitively, with
// surrounding blanks ignored), or null.
const CodePageEntry* FindCodePageByLabel(std::string_view label);

bool IsValidCodePage(UINT codePage);
UINT GetACP();

// Bytes in `codePage` to UTF-16. E_INVALIDARG for a code page outside the table.
HRESULT MultiByteToUnicode(UINT codePage, std::string_view bytes, std::u16string* out);
// UTF-16 to bytes in `codePage`. E_INVALIDARG for a code page outside the table.
HRESULT UnicodeToMultiByte(UINT codePage, std::u16string_view text, std::string* out);
