// CProtocolDetector: the tests that tell what protocol the first bytes of a relayed
// connection speak.
//
// The relay runs these on the first chunk that the application sends: the request-line
// sniff for HTTP and the record-header test for TLS and SSL. They are pure functions of
// the bytes, so the relay, its tests and the fuzzer call them alike; deciding what to do
// with the answer (which classifier, when to look again) is the relay's business.
#pragma once

#include <string_view>

#include "com/HResult.h"
#include "idl/Enums.h"

class CProtocolDetector {
public:
    // The outcome of one test on one chunk: `detected` when the bytes are this protocol,
    // `moreRequired` when a longer chunk could still decide. Both false: not this protocol.
    struct Result {
        bool detected = false;
        bool moreRequired = false;
        NetworkProtocol protocol = NetworkProtocol::Unrecognised;
    };

    // A complete HTTP request line ("GET / HTTP/1.1" CR LF and the like) is HTTP; a prefix
    // of one asks for more bytes.
    static Result DetectHTTP(std::string_view data);

    // A TLS record header (content type 22, version 3.0 to 3.3) or an SSL 2.0-format client
    // hello that names SSL 2, SSL 3 or TLS. Fewer than five bytes never decide and never
    // ask for more: the record header is five bytes and arrives in one piece.
    static Result DetectSSL(std::string_view data);

    // Runs the tests in the relay's order (HTTP, then TLS/SSL) on one chunk and gives the
    // answer the relay would reach if this were the application's only chunk: the first
    // test that detects wins; none detecting while one wants more gives moreRequired.
    static Result Detect(std::string_view data);

    // The protocol's name as scripts know it ("HTTP", "TLS1", ...).
    static const char* ProtocolName(NetworkProtocol protocol);
};
