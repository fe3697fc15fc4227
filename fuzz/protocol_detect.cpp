// Fuzzes the relay's protocol detectors over arbitrary first chunks.
//
// Each answer must be consistent with itself and with the others: a detection never
// asks for more bytes and names a real protocol; only the HTTP test ever waits for more,
// and then only on a prefix that a longer chunk could still complete; the TLS/SSL test
// decides on the first five bytes alone; and the combined answer is the first test's
// that detects.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "passthru/ProtocolDetector.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void CheckResult(const CProtocolDetector::Result& r) {
    if (r.detected) {
        Check(!r.moreRequired);
        Check(r.protocol != NetworkProtocol::Unrecognised);
        Check(static_cast<long>(r.protocol) <= static_cast<long>(NetworkProtocol::SSL2));
    } else {
        Check(r.protocol == NetworkProtocol::Unrecognised);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const auto http = CProtocolDetector::DetectHTTP(bytes);
    CheckResult(http);
    Check(!http.detected || http.protocol == NetworkProtocol::HTTP);

    const auto ssl = CProtocolDetector::DetectSSL(bytes);
    CheckResult(ssl);
    Check(!ssl.moreRequired);
    Check(!ssl.detected || ssl.protocol != NetworkProtocol::HTTP);
    if (size >= 5) {
        // Only the record header counts.
        const auto head = CProtocolDetector::DetectSSL(bytes.substr(0, 5));
        Check(head.detected == ssl.detected && head.protocol == ssl.protocol);
    }

    const auto both = CProtocolDetector::Detect(bytes);
    CheckResult(both);
    if (http.detected) {
        Check(both.protocol == NetworkProtocol::HTTP);
    } else if (ssl.detected) {
        Check(both.protocol == ssl.protocol);
    } else {
        Check(!both.detected && both.moreRequired == http.moreRequired);
    }

    // A chunk that asks for more is a prefix: more bytes may decide either way, but the
    // answer for the prefix never depended on bytes it did not have.
    if (http.moreRequired && size > 0) {
        const auto shorter = CProtocolDetector::DetectHTTP(bytes.substr(0, size - 1));
        Check(shorter.moreRequired);
    }
    (void)CProtocolDetector::ProtocolName(both.protocol);
    return 0;
}
