// Locales: Windows LCIDs and their ICU locales, RFC 1766 tags, and the system default.
//
// Languages travel through the program as LCIDs. ICU maps them both ways
// (uloc_getLCID / uloc_getLocaleForLCID); an RFC 1766 tag is first completed with its
// likely subtags, so "de" means German (Germany), 0x407. The system default comes from
// the LANG line of /etc/default/locale; unset, "C", "POSIX" and "C.UTF-8" mean English
// (United States), 1033. An LCID is valid when it maps to an ICU locale that maps
// back to the same LCID.
#pragma once

#include <string>
#include <string_view>

#include "com/Types.h"

constexpr LCID LOCALE_NEUTRAL = 0x0000;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCID LCID_EN_US = 0x0409;

constexpr DWORD LCID_INSTALLED = 0x1;
constexpr DWORD LCID_SUPPORTED = 0x2;

// The system default locale (read once; see SetSystemLocaleFileForTest).
LCID GetSystemDefaultLCID();
// The default of this process's user: the system default (a user session keeps the
// locale of the process that created it, through LcidFromPosixLocale).
LCID GetUserDefaultLCID();
// The system default for LOCALE_SYSTEM_DEFAULT, LOCALE_USER_DEFAULT and LOCALE_NEUTRAL,
// any other LCID unchanged.
LCID ResolveLcid(LCID lcid);

// Reads the system default from another file from now on (tests); an empty path
// restores /etc/default/locale.
void SetSystemLocaleFileForTest(std::string path);

// The LCID of a POSIX locale value such as "de_DE.UTF-8" or "fr_CH@euro": 1033 for an
// empty value, "C", "POSIX" or "C.UTF-8"; 0 when ICU does not know the locale.
LCID LcidFromPosixLocale(std::string_view value);
// The LCID of an RFC 1766 / BCP 47 tag ("de", "en-GB"); 0 when unknown.
LCID LcidFromRfc1766(std::string_view tag);
// The RFC 1766 tag of an LCID ("de-DE"), or an empty string when it has none.
std::string Rfc1766FromLcid(LCID lcid);
// The ICU locale id of an LCID ("de_DE"), or an empty string when it has none.
std::string IcuLocaleFromLcid(LCID lcid);

bool IsValidLocale(LCID lcid, DWORD dwFlags);
