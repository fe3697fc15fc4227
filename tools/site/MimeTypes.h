// The MIME type recorded for a page when a site is compiled.
//
// Known extensions come from a fixed table, so that a site's types do not depend on the
// machine that compiled it; anything else is asked of libmagic, and what libmagic
// cannot tell is "application/octet-stream".
#pragma once

#include <string>
#include <string_view>

class CMimeTypes {
public:
    // The type of a known extension (without its dot, any case), or "".
    static std::string ForExtension(std::string_view strExtension);
    // The type of a file's bytes as libmagic sees them.
    static std::string ForContent(const void* pv, size_t cb);
};
