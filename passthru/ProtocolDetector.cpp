// The HTTP sniff defers to the request parser's own request-line test, so the relay and
// the parser never disagree about what a request line is.
#include "passthru/ProtocolDetector.h"

#include "http/HTTPRequest.h"

namespace {

constexpr unsigned char kHandshake = 0x16;  // TLS record content type "handshake"
constexpr unsigned char kMajor3 = 0x03;

// The protocol that record version 3.minor stands for, or Unrecognised for one that no
// published TLS version uses.
NetworkProtocol FromVersion3(unsigned char minor) {
    if (minor == 0x00)
        return NetworkProtocol::SSL3;
    // 3.1 is TLS 1.0; 1.1 and 1.2 write 3.2 and 3.3, and TLS 1.3 hellos carry 3.1 or
    // 3.3 in the record layer. All of them are the TLS family to the filter.
    if (minor >= 0x01 && minor <= 0x03)
        return NetworkProtocol::TLS1;
    return NetworkProtocol::Unrecognised;
}

}  // namespace

CProtocolDetector::Result CProtocolDetector::DetectHTTP(std::string_view data) {
    Result result;
    bool isHTTP = false;
    result.moreRequired = CHTTPRequest::SniffRequestLine(data, &isHTTP);
    result.detected = !result.moreRequired && isHTTP;
    if (result.detected)
        result.protocol = NetworkProtocol::HTTP;
    return result;
}

CProtocolDetector::Result CProtocolDetector::DetectSSL(std::string_view data) {
    Result result;
    if (data.size() < 5)
        return result;
    const auto* b = reinterpret_cast<const unsigned char*>(data.data());
    NetworkProtocol protocol = NetworkProtocol::Unrecognised;
    if (b[0] == kHandshake) {
        if (b[1] == kMajor3)
            protocol = FromVersion3(b[2]);
    } else if (b[3] == kMajor3) {
        // An SSL 2.0-format hello (two-byte length, message type, version) offering SSL 3
        // or TLS.
        protocol = FromVersion3(b[4]);
    } else if ((b[3] == 0x02 && b[4] == 0x00) || (b[3] == 0x00 && b[4] == 0x02)) {
        protocol = NetworkProtocol::SSL2;
    }
    result.detected = protocol != NetworkProtocol::Unrecognised;
    result.protocol = protocol;
    return result;
}

CProtocolDetector::Result CProtocolDetector::Detect(std::string_view data) {
    bool moreRequired = false;
    for (auto test : {&DetectHTTP, &DetectSSL}) {
        const Result r = test(data);
        if (r.detected)
            return r;
        moreRequired = moreRequired || r.moreRequired;
    }
    Result none;
    none.moreRequired = moreRequired;
    return none;
}

const char* CProtocolDetector::ProtocolName(NetworkProtocol protocol) {
    switch (protocol) {
        case NetworkProtocol::Unrecognised:
            return "Unrecognised";
        case NetworkProtocol::HTTP:
            return "HTTP";
        case NetworkProtocol::TLS1:
            return "TLS1";
        case NetworkProtocol::SSL3:
            return "SSL3";
        case NetworkProtocol::SSL2:
            return "SSL2";
    }
    return "Unknown";
}
