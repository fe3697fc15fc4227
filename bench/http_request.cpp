// Request parser figures on a typical browser request held in memory, in one run:
//  - parse: a local-mode parse of the whole request (request line, ten headers, the URL
//    form, the full URL and its path and query through the URL cracker), against a
//    baseline that only splits the same bytes at their CR LFs and copies each line;
//  - sniff: the relay's request-line sniff on the same bytes.
// Each figure is printed with its ratio to the baseline (baseline time / ours).
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "http/HTTPRequest.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 200000;

const std::string kRequest =
    "GET /settings/index.asp?tab=times&lang=en HTTP/1.1\r\n"
    "Host: localhost:51234\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,*/*;q=0.8\r\n"
    "Accept-Language: en-GB,en;q=0.5\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Connection: keep-alive\r\n"
    "Referer: http://localhost:51234/index.asp\r\n"
    "Cookie: session=0123456789abcdef\r\n"
    "Upgrade-Insecure-Requests: 1\r\n"
    "Sec-Fetch-Dest: document\r\n"
    "\r\n";

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
    std::size_t sink = 0;

    auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        std::vector<std::string> lines;
        std::string_view rest = kRequest;
        for (std::size_t end; (end = rest.find("\r\n")) != std::string_view::npos;) {
            lines.emplace_back(rest.substr(0, end));
            rest.remove_prefix(end + 2);
        }
        sink += lines.size();
    }
    const double baseline = Seconds(start);

    start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        CHTTPRequest request(nullptr, true, 51234);
        bool bMore = true;
        if (FAILED(request.Parse(kRequest, "", false, &bMore)) || bMore)
            return 1;
        sink += request.GetPath().size();
    }
    const double parse = Seconds(start);

    start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        bool bIsHTTP = false;
        CHTTPRequest::SniffRequestLine(kRequest, &bIsHTTP);
        sink += bIsHTTP;
    }
    const double sniff = Seconds(start);

    std::printf("line split baseline: %8.0f requests/s\n", kRounds / baseline);
    std::printf("parse:               %8.0f requests/s  (%.2fx baseline)\n", kRounds / parse,
                baseline / parse);
    std::printf("sniff:               %8.0f requests/s  (%.2fx baseline)\n", kRounds / sniff,
                baseline / sniff);
    return sink == 0;
}
