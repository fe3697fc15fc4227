// Fuzzes the category server's side of the protocol: a list built from the first part of
// the input (its domains and URL lines parsed as the loader does), then a request (header
// and URL bytes) answered from it. A reply must always be framed: its header, then as many
// category numbers as it says.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/categories/CategoryAnswer.h"
#include "tools/categories/CategoryLists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const size_t cbDomains = std::min<size_t>(size - 1, data[0] * 8u);
    const std::string_view lists(reinterpret_cast<const char*>(data + 1), cbDomains);
    // The same text serves as the domains and, cut at its middle, as the URLs.
    CCategoryLists categories;
    if (FAILED(categories.AddCategory("fuzz", 7, lists, lists.substr(lists.size() / 2))))
        return 0;

    const BYTE* request = data + 1 + cbDomains;
    const size_t cbRequest = size - 1 - cbDomains;
    if (cbRequest < CCategoryAnswer::kRequestHeaderSize)
        return 0;
    const CCategoryAnswer::RequestHeader header = CCategoryAnswer::ParseRequestHeader(request);
    if (header.pszRefused)
        return 0;
    const size_t cbURL =
        std::min<size_t>(header.urlLength, cbRequest - CCategoryAnswer::kRequestHeaderSize);
    const std::vector<BYTE> reply = CCategoryAnswer::Answer(
        categories, header, request + CCategoryAnswer::kRequestHeaderSize, cbURL);
    if (reply.size() < CCategoryAnswer::kReplyHeaderSize)
        std::abort();
    const size_t count = (size_t{reply[14]} << 8) | reply[15];
    if (reply.size() != CCategoryAnswer::kReplyHeaderSize + 4 * count)
        std::abort();
    return 0;
}
