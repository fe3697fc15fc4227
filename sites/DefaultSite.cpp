// The default site's bytes, from the array generated at build time.
#include "sites/DefaultSite.h"

#include <cstddef>

extern const unsigned char g_defaultSite[];
extern const std::size_t g_defaultSite_size;

std::span<const BYTE> DefaultSiteBytes() {
    return {g_defaultSite, g_defaultSite_size};
}
