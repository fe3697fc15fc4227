// Fuzzes the request-line sniff and the request parser over arbitrary bytes.
//
// The first byte picks the mode (local or relay), whether the stream has ended, tight or
// default bounds, and where the input is split for a second, two-step parse. Any input
// must give a decision that is consistent with itself: a failure carries an HTTP
// status and never asks for more; a complete request used no more bytes than it was
// given; and parsing in two steps gives the same request as parsing at once.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http/HTTPRequest.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

CHTTPRequest Make(bool bLocal, bool bTight) {
    CHTTPRequest request(nullptr, bLocal, 8080);
    if (bTight) {
        CHTTPRequest::Limits limits;
        limits.nMaxRequestLine = 64;
        limits.nMaxHeaderLine = 48;
        limits.nMaxHeaderBytes = 256;
        limits.nMaxHeaderLines = 8;
        limits.nMaxBody = 128;
        request.SetLimits(limits);
    }
    return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t control = bytes[0];
    const std::string_view data(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    const bool bLocal = control & 1;
    const bool bEnd = control & 2;
    const bool bTight = control & 4;

    bool bIsHTTP = false;
    const bool bSniffMore = CHTTPRequest::SniffRequestLine(data, &bIsHTTP);
    Check(!(bSniffMore && bIsHTTP));

    CHTTPRequest once = Make(bLocal, bTight);
    bool bMore = false;
    const HRESULT hr = once.Parse(data, "", bEnd, &bMore);
    if (FAILED(hr)) {
        Check(!bMore);
        const ULONG status = once.ErrorStatus();
        Check(status == 400 || status == 413 || status == 414 || status == 431 || status == 500 ||
              status == 501);
    } else if (!bMore) {
        Check(once.RequestLength() <= data.size());
        Check(once.GetBodyOffset() <= once.RequestLength());
        Check(once.GetBody().size() == once.GetContentLength());
        Check(!once.GetFullURL().empty());
    } else {
        Check(!bEnd);
    }

    // Split: the same bytes in two steps, the first without end of stream.
    const std::size_t cut = data.empty() ? 0 : (control >> 3) * data.size() / 31;
    CHTTPRequest twice = Make(bLocal, bTight);
    bool bMoreFirst = false;
    const HRESULT hrFirst = twice.Parse(data.substr(0, cut), "", false, &bMoreFirst);
    bool bMoreSecond = false;
    const HRESULT hrSecond = twice.Parse(data, "", bEnd, &bMoreSecond);
    if (SUCCEEDED(hrFirst) && bMoreFirst) {
        Check(hrSecond == hr && bMoreSecond == bMore);
        if (SUCCEEDED(hr) && !bMore) {
            Check(twice.RequestLength() == once.RequestLength());
            Check(twice.GetFullURL() == once.GetFullURL());
            Check(twice.GetHeaders() == once.GetHeaders());
            Check(twice.GetBody() == once.GetBody());
        }
    }
    return 0;
}
