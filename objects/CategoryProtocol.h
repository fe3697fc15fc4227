// CCategoryProtocol: the messages of the URL category protocol and the normal form of
// the URLs it carries, as pure functions of bytes and text (no sockets).
//
// A client sends an 18-byte request header ("CSRQ", version 0x40, three zero bytes,
// message id 1, the IPv4 address of the URL's host, the URL's length with its
// terminating zero) and the URL; the server answers with a 16-byte header ("CSRP", four
// unexamined bytes, the message id, a status and a count) and `count` 32-bit category
// numbers. Every integer is big-endian.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "com/HResult.h"
#include "com/Types.h"

class CCategoryProtocol {
public:
    static constexpr std::size_t kRequestHeaderSize = 18;
    static constexpr std::size_t kReplyHeaderSize = 16;
    // The client keeps this many categories of a reply and ignores the rest.
    static constexpr std::size_t kMaxCategories = 128;
    // The longest normalised URL a request carries (bytes, without the terminator).
    static constexpr std::size_t kMaxUrlBytes = 4095;
    static constexpr const char* kDefaultPort = "4004";

    enum StatusCode : WORD {
        CSP_OK = 0,
        CSP_ERROR = 1,
        CSP_INVALID_URL = 2,
        CSP_EXPIRED_LIST = 3,
    };

    struct ReplyHeader {
        char magic[4] = {};
        DWORD messageID = 0;  // host order
        WORD statusCode = 0;  // host order
        WORD count = 0;       // host order
    };

    // The URL in the form the server expects: a scheme ("https://" for port 443 and
    // "http://" otherwise when none is written), the host part, ":" and the port when
    // one is written, and the path after a slash.
    static std::string NormalizeURL(std::string_view url);

    // The request for a URL whose host resolved to `address` (network order).
    // E_INVALIDARG for a URL longer than kMaxUrlBytes or with a zero byte in it.
    static HRESULT BuildRequest(uint32_t addressNetworkOrder, std::string_view url,
                                std::vector<BYTE>* pRequest);

    // Splits the 16 header bytes of a reply (no checks of their content).
    static ReplyHeader ParseReplyHeader(const BYTE* bytes);

    // Why a reply header is refused, as the expression that failed; null when it is
    // acceptable (message id 1, magic "CSRP", status CSP_OK).
    static const char* CheckReplyHeader(const ReplyHeader& header);

    // Category numbers from 4 × n big-endian bytes, joined with "/" ("12/7/40").
    static std::string FormatCategories(const BYTE* bytes, std::size_t count);
};
