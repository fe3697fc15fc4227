// The category protocol's server side: request headers in, replies out.
#include "tools/categories/CategoryAnswer.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "com/DiagnosticLog.h"
#include "tools/categories/CategoryLists.h"

namespace {

void PutBig32(BYTE* p, std::uint32_t v) {
    p[0] = static_cast<BYTE>(v >> 24);
    p[1] = static_cast<BYTE>(v >> 16);
    p[2] = static_cast<BYTE>(v >> 8);
    p[3] = static_cast<BYTE>(v);
}

void PutBig16(BYTE* p, std::uint16_t v) {
    p[0] = static_cast<BYTE>(v >> 8);
    p[1] = static_cast<BYTE>(v);
}

std::uint32_t GetBig32(const BYTE* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

}  // namespace

CCategoryAnswer::RequestHeader CCategoryAnswer::ParseRequestHeader(const BYTE* bytes) {
    RequestHeader header;
    header.messageID = GetBig32(bytes + 8);
    std::memcpy(&header.address, bytes + 12, 4);
    header.urlLength = static_cast<WORD>((bytes[16] << 8) | bytes[17]);
    if (std::memcmp(bytes, "CSRQ", 4) != 0)
        header.pszRefused = "memcmp(request.magic, \"CSRQ\", 4) != 0";
    else if (bytes[4] != kVersion)
        header.pszRefused = "request.version != 0x40";
    return header;
}

std::vector<BYTE> CCategoryAnswer::Reply(DWORD messageID, WORD status,
                                         const std::vector<std::uint32_t>& categories) {
    const std::size_t count = std::min<std::size_t>(categories.size(), 0xFFFF);
    std::vector<BYTE> reply(kReplyHeaderSize + 4 * count, 0);
    std::memcpy(reply.data(), "CSRP", 4);
    reply[4] = kVersion;
    PutBig32(&reply[8], messageID);
    PutBig16(&reply[12], status);
    PutBig16(&reply[14], static_cast<std::uint16_t>(count));
    for (std::size_t i = 0; i < count; ++i)
        PutBig32(&reply[kReplyHeaderSize + 4 * i], categories[i]);
    return reply;
}

std::vector<BYTE> CCategoryAnswer::Answer(const CCategoryLists& lists, const RequestHeader& header,
                                          const BYTE* url, std::size_t length) {
    if (CheckExpression(length == 0 || length > kMaxUrlLength || url[length - 1] != 0))
        return Reply(header.messageID, CSP_INVALID_URL, {});
    const std::string_view text(reinterpret_cast<const char*>(url), length - 1);
    if (CheckExpression(text.find('\0') != std::string_view::npos))
        return Reply(header.messageID, CSP_INVALID_URL, {});
    std::vector<std::uint32_t> categories;
    const HRESULT hr = lists.Match(text, &categories);
    if (CheckExpression(hr == E_INVALIDARG))
        return Reply(header.messageID, CSP_INVALID_URL, {});
    if (!CheckResult(hr))
        return Reply(header.messageID, CSP_ERROR, {});
    return Reply(header.messageID, CSP_OK, categories);
}
