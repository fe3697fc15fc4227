// Fuzzes the URL category protocol's pure parts. The first byte splits the input: the
// URL to check (its normal form must carry a scheme and normalise to itself, and the
// request built from it must describe itself correctly) and a reply (its header parsed
// and checked, its categories formatted as the client would keep them).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "objects/CategoryProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t cbURL = std::min<size_t>(size - 1, data[0] * 16u);
    const std::string_view url(reinterpret_cast<const char*>(data + 1), cbURL);
    const std::string normal = CCategoryProtocol::NormalizeURL(url);
    // The normal form carries a scheme and is its own normal form.
    if (normal.find("://") == std::string::npos ||
        CCategoryProtocol::NormalizeURL(normal) != normal)
        std::abort();
    std::vector<BYTE> request;
    if (SUCCEEDED(CCategoryProtocol::BuildRequest(0x0100007F, normal, &request))) {
        const size_t length = (size_t{request[16]} << 8) | request[17];
        if (request.size() != CCategoryProtocol::kRequestHeaderSize + length ||
            length != normal.size() + 1 || request.back() != 0)
            std::abort();
    } else if (normal.size() <= CCategoryProtocol::kMaxUrlBytes &&
               normal.find('\0') == std::string::npos) {
        std::abort();
    }

    const BYTE* reply = data + 1 + cbURL;
    const size_t cbReply = size - 1 - cbURL;
    if (cbReply < CCategoryProtocol::kReplyHeaderSize)
        return 0;
    const auto header = CCategoryProtocol::ParseReplyHeader(reply);
    if (CCategoryProtocol::CheckReplyHeader(header))
        return 0;
    const size_t count = std::min<size_t>({header.count, CCategoryProtocol::kMaxCategories,
                                           (cbReply - CCategoryProtocol::kReplyHeaderSize) / 4});
    const std::string text =
        CCategoryProtocol::FormatCategories(reply + CCategoryProtocol::kReplyHeaderSize, count);
    if (count && std::count(text.begin(), text.end(), '/') != static_cast<long>(count - 1))
        std::abort();
    return 0;
}
