// The element-name rule of compound files and the file-time conversion.
#include "cfb/CompoundFileFormat.h"

#include "cfb/StorageTypes.h"
#include "com/Strings.h"

namespace cfb {

int CompareElementNames(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    // The same simple per-unit upper-casing as every other case-insensitive compare of
    // the program, so a name found here is found the same way elsewhere.
    int order = ToUpperSimple(a).compare(ToUpperSimple(b));
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

HRESULT CheckElementName(std::u16string_view name) {
    if (name.empty() || name.size() > kMaxNameLength)
        return STG_E_INVALIDNAME;
    for (char16_t c : name) {
        if (c == u'/' || c == u'\\' || c == u':' || c == u'!' || c == 0)
            return STG_E_INVALIDNAME;
    }
    return S_OK;
}

}  // namespace cfb

FILETIME FileTimeFromUnix(long long seconds, long nanoseconds) {
    long long shifted = seconds + static_cast<long long>(FILETIME_UNIX_EPOCH_SECONDS);
    if (shifted < 0)
        return FILETIME{};
    ULONGLONG ticks = static_cast<ULONGLONG>(shifted) * 10000000ull +
                      static_cast<ULONGLONG>(nanoseconds < 0 ? 0 : nanoseconds / 100);
    return FILETIME::FromValue(ticks);
}
