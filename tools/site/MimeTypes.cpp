// The MIME type recorded for a page when a site is compiled.
#include "tools/site/MimeTypes.h"

#include <magic.h>

#include <memory>

#include "com/Strings.h"

std::string CMimeTypes::ForExtension(std::string_view strExtension) {
    static const struct {
        std::string_view extension;
        std::string_view type;
    } kTable[] = {
        {"ASP", "text/html"},  {"HTM", "text/html"},    {"HTML", "text/html"},
        {"ASA", "text/asa"},   {"CSS", "text/css"},     {"JS", "text/javascript"},
        {"TXT", "text/plain"}, {"ICO", "image/x-icon"}, {"PNG", "image/png"},
        {"GIF", "image/gif"},  {"JPG", "image/jpeg"},   {"SVG", "image/svg+xml"},
    };
    const std::string strUpper = ToUpperSimple(strExtension);
    for (const auto& row : kTable)
        if (row.extension == strUpper)
            return std::string(row.type);
    return {};
}

std::string CMimeTypes::ForContent(const void* pv, size_t cb) {
    const std::string strFallback = "application/octet-stream";
    std::unique_ptr<magic_set, decltype(&magic_close)> cookie(magic_open(MAGIC_MIME_TYPE),
                                                              &magic_close);
    if (!cookie || magic_load(cookie.get(), nullptr) != 0)
        return strFallback;
    const char* type = magic_buffer(cookie.get(), pv, cb);
    return type && *type ? std::string(type) : strFallback;
}
