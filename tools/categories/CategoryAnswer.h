// CCategoryAnswer: the server's side of the URL category protocol as pure functions of
// bytes: reading a request header and building the reply to a request.
//
// A request is an 18-byte header ("CSRQ", version 0x40, three reserved bytes, the message
// id, the IPv4 address of the URL's host, the URL's length with its terminating zero)
// followed by the URL; a reply is a 16-byte header ("CSRP", four bytes nobody examines,
// the message id, a status, a count) followed by `count` 32-bit category numbers. Every
// integer is big-endian.
//
// A header with another magic or version is answered with CSP_ERROR, and the connection
// is closed after it because the stream can no longer be framed. A URL that is too long,
// lacks its terminating zero, holds another zero or names no usable host is answered with
// CSP_INVALID_URL; the stream stays framed, so the connection may go on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "com/Types.h"

class CCategoryLists;

class CCategoryAnswer {
public:
    static constexpr std::size_t kRequestHeaderSize = 18;
    static constexpr std::size_t kReplyHeaderSize = 16;
    // The longest URL answered, in bytes with its terminating zero (clients send at most
    // 4095 characters). Longer ones are read and refused.
    static constexpr std::size_t kMaxUrlLength = 4096;
    static constexpr BYTE kVersion = 0x40;

    enum StatusCode : WORD {
        CSP_OK = 0,
        CSP_ERROR = 1,
        CSP_INVALID_URL = 2,
        CSP_EXPIRED_LIST = 3,
    };

    struct RequestHeader {
        // Null when the header can be answered; else the expression that refused it.
        const char* pszRefused = nullptr;
        DWORD messageID = 0;  // host order
        DWORD address = 0;    // network order, as sent
        WORD urlLength = 0;   // host order, terminating zero included
    };

    static RequestHeader ParseRequestHeader(const BYTE* bytes);

    // The reply to the URL bytes of a request whose header was accepted.
    static std::vector<BYTE> Answer(const CCategoryLists& lists, const RequestHeader& header,
                                    const BYTE* url, std::size_t length);

    // A reply with a status and categories (at most 65535 are sent).
    static std::vector<BYTE> Reply(DWORD messageID, WORD status,
                                   const std::vector<std::uint32_t>& categories);
};
