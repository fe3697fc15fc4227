// The URL category protocol's messages and URL normal form.
#include "objects/CategoryProtocol.h"

#include <cstring>

namespace {

void PutBig32(BYTE* p, uint32_t v) {
    p[0] = static_cast<BYTE>(v >> 24);
    p[1] = static_cast<BYTE>(v >> 16);
    p[2] = static_cast<BYTE>(v >> 8);
    p[3] = static_cast<BYTE>(v);
}

uint32_t GetBig32(const BYTE* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint16_t GetBig16(const BYTE* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

std::string CCategoryProtocol::NormalizeURL(std::string_view url) {
    std::string_view scheme;
    std::string_view rest = url;
    if (const std::size_t pos = rest.find("://"); pos != std::string_view::npos) {
        scheme = rest.substr(0, pos + 3);
        rest.remove_prefix(pos + 3);
    }
    bool bHadSlash = false;
    std::string_view path;
    if (const std::size_t pos = rest.find('/'); pos != std::string_view::npos) {
        bHadSlash = true;
        path = rest.substr(pos + 1);
        rest = rest.substr(0, pos);
    }
    // The port's colon is looked for after user information, which may hold one itself.
    std::string_view port = "80";
    bool bPortWritten = false;
    const std::size_t at = rest.find('@');
    if (const std::size_t colon = rest.find(':', at == std::string_view::npos ? 0 : at);
        colon != std::string_view::npos) {
        port = rest.substr(colon + 1);
        rest = rest.substr(0, colon);
        bPortWritten = true;
    }
    std::string out;
    out.reserve(url.size() + 8);
    if (scheme.empty() || scheme == "://")
        out = port == "443" ? "https://" : "http://";
    else
        out = scheme;
    out += rest;
    if (bPortWritten) {
        out += ':';
        out += port;
    }
    if (bHadSlash) {
        out += '/';
        out += path;
    }
    return out;
}

HRESULT CCategoryProtocol::BuildRequest(uint32_t addressNetworkOrder, std::string_view url,
                                        std::vector<BYTE>* pRequest) {
    if (!pRequest)
        return E_POINTER;
    if (url.size() > kMaxUrlBytes || url.find('\0') != std::string_view::npos)
        return E_INVALIDARG;
    std::vector<BYTE> request(kRequestHeaderSize + url.size() + 1, 0);
    std::memcpy(request.data(), "CSRQ", 4);
    request[4] = 0x40;
    PutBig32(&request[8], 1);
    // The address is already in network order: its bytes go out as they lie in memory.
    std::memcpy(&request[12], &addressNetworkOrder, 4);
    const auto length = static_cast<uint16_t>(url.size() + 1);
    request[16] = static_cast<BYTE>(length >> 8);
    request[17] = static_cast<BYTE>(length);
    std::memcpy(&request[kRequestHeaderSize], url.data(), url.size());
    *pRequest = std::move(request);
    return S_OK;
}

CCategoryProtocol::ReplyHeader CCategoryProtocol::ParseReplyHeader(const BYTE* bytes) {
    ReplyHeader header;
    std::memcpy(header.magic, bytes, 4);
    header.messageID = GetBig32(bytes + 8);
    header.statusCode = GetBig16(bytes + 12);
    header.count = GetBig16(bytes + 14);
    return header;
}

const char* CCategoryProtocol::CheckReplyHeader(const ReplyHeader& header) {
    if (header.messageID != 1)
        return "ntohl(reply.messageID) != 1";
    if (std::memcmp(header.magic, "CSRP", 4) != 0)
        return "strncmp((const char*)reply.magic,CSP_RP_MAGIC,sizeof(reply.magic)/"
               "sizeof(reply.magic[0])) != 0";
    switch (header.statusCode) {
        case CSP_OK:
            return nullptr;
        case CSP_ERROR:
            return "statusCode == CSP_ERROR";
        case CSP_INVALID_URL:
            return "statusCode == CSP_INVALID_URL";
        case CSP_EXPIRED_LIST:
            return "statusCode == CSP_EXPIRED_LIST";
        default:
            return "statusCode != CSP_OK";
    }
}

std::string CCategoryProtocol::FormatCategories(const BYTE* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i)
            text += '/';
        text += std::to_string(GetBig32(bytes + 4 * i));
    }
    return text;
}
