// CHTTPFetch: one HTTP or HTTPS GET for the Server object's MakeRemoteRequest and
// DownloadFile, on libcurl.
//
// Every fetch sends the user agent "Corvane2" and "Pragma: no-cache", follows up to 10
// redirects (HTTP and HTTPS only), verifies TLS certificates fully, gives up on a
// connect after 30 seconds and on a transfer that moves less than one byte a second for
// 60 seconds, and bypasses any configured proxy for loopback addresses. The body goes
// to a sink as it arrives, and only when the final response has an acceptable status
// and announces its length in Content-Length; a body longer than the caller's limit is
// refused before it is read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "com/HResult.h"

class CHTTPFetch {
public:
    // Receives the body in pieces; returns a failure to abort the transfer with it.
    using Sink = std::function<HRESULT(const char* data, std::size_t size)>;

    struct Options {
        bool bOnly200 = false;  // else any 2xx status is acceptable
        std::uint64_t cbMaxBody = 64ull << 20;
    };

    enum class Outcome {
        Unreachable,      // no response: strMessage says why
        BadStatus,        // the final status is not acceptable: strMessage is its status line
        NoContentLength,  // the response does not announce its length
        TooLarge,         // Content-Length exceeds the limit
        Short,            // the connection ended before Content-Length bytes arrived
        SinkFailed,       // the sink refused a piece: hrSink says why
        Complete,         // the whole body went to the sink
    };

    struct Result {
        Outcome outcome = Outcome::Unreachable;
        long lStatus = 0;
        std::string strMessage;
        std::string strContentType;  // empty when the response names none
        std::uint64_t cbContentLength = 0;
        std::uint64_t cbReceived = 0;
        HRESULT hrSink = S_OK;
    };

    // Fetches `url`. Fails only for local reasons (out of memory, a URL with a zero
    // byte); every answer of or about the server is in *pResult.
    static HRESULT Fetch(const std::string& url, const Options& options, const Sink& sink,
                         Result* pResult);

    // How long a transfer may move less than one byte a second before it is given up
    // (60 seconds; tests shorten it to show that a silent server ends the call).
    static void SetStallSeconds(long seconds);
};
