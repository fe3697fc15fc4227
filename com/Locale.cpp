// LCIDs through ICU, and the system default locale.
#include "com/Locale.h"

#include <unicode/uloc.h>

#include <atomic>
#include <fstream>
#include <mutex>

namespace {

std::mutex g_lockDefault;  // guards the file name and the reading of it; a leaf lock
std::string g_localeFile = "/etc/default/locale";
// The system default once read (0 until then): read without the lock, which every
// comparison and conversion of a script would otherwise take.
std::atomic<LCID> g_systemDefault{0};

// An LCID through ICU for a locale id, trying it as given and without its script
// (ICU knows "de_DE" but maps "de_Latn_DE" to the bare language).
LCID LcidFromIcu(const std::string& id) {
    LCID full = uloc_getLCID(id.c_str());
    if (full >= 0x400)
        return full;
    char lang[ULOC_LANG_CAPACITY] = {};
    char country[ULOC_COUNTRY_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_getLanguage(id.c_str(), lang, sizeof lang, &status);
    uloc_getCountry(id.c_str(), country, sizeof country, &status);
    if (U_FAILURE(status) || !*lang)
        return full;
    std::string shorter = std::string(lang) + (*country ? "_" + std::string(country) : "");
    LCID other = uloc_getLCID(shorter.c_str());
    return other ? other : full;
}

std::string Trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t\r\n\"'");
    if (b == std::string_view::npos)
        return {};
    std::size_t e = s.find_last_not_of(" \t\r\n\"'");
    return std::string(s.substr(b, e - b + 1));
}

LCID ReadSystemDefault(const std::string& path) {
    std::ifstream in(path);
    std::string line, lang;
    while (in && std::getline(in, line)) {
        std::string t = Trim(line);
        if (t.rfind("LANG=", 0) == 0)
            lang = Trim(t.substr(5));
    }
    LCID lcid = LcidFromPosixLocale(lang);
    return lcid ? lcid : LCID_EN_US;
}

}  // namespace

LCID GetSystemDefaultLCID() {
    if (const LCID known = g_systemDefault.load(std::memory_order_acquire))
        return known;
    std::lock_guard guard(g_lockDefault);
    LCID lcid = g_systemDefault.load(std::memory_order_relaxed);
    if (!lcid) {
        lcid = ReadSystemDefault(g_localeFile);
        g_systemDefault.store(lcid, std::memory_order_release);
    }
    return lcid;
}

LCID GetUserDefaultLCID() {
    return GetSystemDefaultLCID();
}

LCID ResolveLcid(LCID lcid) {
    if (lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_NEUTRAL)
        return GetSystemDefaultLCID();
    return lcid;
}

void SetSystemLocaleFileForTest(std::string path) {
    std::lock_guard guard(g_lockDefault);
    g_localeFile = path.empty() ? "/etc/default/locale" : std::move(path);
    g_systemDefault.store(0, std::memory_order_release);
}

LCID LcidFromPosixLocale(std::string_view value) {
    std::string name(value.substr(0, value.find_first_of(".@")));
    if (name.empty() || name == "C" || name == "POSIX")
        return LCID_EN_US;
    return LcidFromIcu(name);
}

LCID LcidFromRfc1766(std::string_view tag) {
    if (tag.empty())
        return 0;
    char id[ULOC_FULLNAME_CAPACITY] = {};
    char likely[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    std::string text(tag);
    int32_t parsed = 0;
    uloc_forLanguageTag(text.c_str(), id, sizeof id, &parsed, &status);
    if (U_FAILURE(status) || parsed != static_cast<int32_t>(text.size()) || !*id)
        return 0;
    uloc_addLikelySubtags(id, likely, sizeof likely, &status);
    if (U_FAILURE(status))
        return 0;
    return LcidFromIcu(likely);
}

std::string IcuLocaleFromLcid(LCID lcid) {
    char id[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_getLocaleForLCID(lcid, id, sizeof id, &status);
    if (U_FAILURE(status) || !*id)
        return {};
    return id;
}

std::string Rfc1766FromLcid(LCID lcid) {
    std::string id = IcuLocaleFromLcid(lcid);
    if (id.empty())
        return {};
    char tag[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_toLanguageTag(id.c_str(), tag, sizeof tag, false, &status);
    if (U_FAILURE(status))
        return {};
    return tag;
}

bool IsValidLocale(LCID lcid, DWORD /*dwFlags*/) {
    std::string id = IcuLocaleFromLcid(lcid);
    return !id.empty() && uloc_getLCID(id.c_str()) == lcid;
}
