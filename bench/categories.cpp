// Category lists at the size of the public collections, in one run:
//  - load: a million domains (and 100,000 URLs) written to a temporary directory and
//    loaded, against only reading the same files into memory (goal: under 2 s in all);
//  - look-ups: URLs matched against the loaded lists (host, parent domains and path
//    prefixes), against looking the host and its parent domains up in a
//    std::unordered_set of the same domains (goal: a microsecond or less each, within a
//    small factor of the set);
//  - requests: protocol round trips to the server over one loopback connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "tools/categories/CategoryAnswer.h"
#include "tools/categories/CategoryLists.h"
#include "tools/categories/CategoryServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string DomainName(std::uint64_t n) {
    return "host" + std::to_string(n) + ".zone" + std::to_string(n % 977) + ".example";
}

// Reads every file under `dir` into memory: what loading cannot do faster.
std::size_t ReadAll(const fs::path& dir) {
    std::size_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        total += text.size();
    }
    return total;
}

std::string Request(const std::string& url) {
    std::string r("CSRQ\x40\0\0\0\0\0\0\x01\x7F\0\0\x01", 16);
    const auto n = static_cast<std::uint16_t>(url.size() + 1);
    r += static_cast<char>(n >> 8);
    r += static_cast<char>(n & 0xFF);
    r += url;
    r += '\0';
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t domains = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    const std::size_t lookups = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000000;
    const fs::path dir =
        fs::temp_directory_path() / ("bench-categories-" + std::to_string(getpid()));
    fs::create_directories(dir / "big");
    fs::create_directories(dir / "small");
    {
        std::ofstream out(dir / "big" / "domains", std::ios::binary);
        out << "# generated\n";
        for (std::size_t i = 0; i < domains; ++i)
            out << DomainName(2 * i) << '\n';  // odd numbers stay unlisted
        std::ofstream urls(dir / "big" / "urls", std::ios::binary);
        for (std::size_t i = 0; i < domains / 10; ++i)
            urls << "site" << i << ".example/section/" << i % 31 << '\n';
        std::ofstream small(dir / "small" / "domains", std::ios::binary);
        for (std::size_t i = 0; i < 1000; ++i)
            small << DomainName(4 * i) << '\n';
    }

    auto start = Clock::now();
    const std::size_t bytes = ReadAll(dir);
    const double readSeconds = Seconds(start);
    start = Clock::now();
    std::unique_ptr<CCategoryLists> lists;
    if (FAILED(CCategoryLists::Load(dir, &lists))) {
        std::fprintf(stderr, "loading failed\n");
        fs::remove_all(dir);
        return 1;
    }
    const double loadSeconds = Seconds(start);
    std::printf(
        "load: %zu domains, %zu urls, %.1f MB in %.3f s (reading alone %.3f s, ratio %.1f)\n",
        lists->DomainCount(), lists->UrlCount(), static_cast<double>(bytes) / 1e6, loadSeconds,
        readSeconds, loadSeconds / readSeconds);

    // URLs: a quarter listed hosts below a listed domain, a quarter unlisted, a quarter
    // listed URL paths, a quarter unlisted paths of listed URL hosts.
    std::mt19937_64 random(42);
    std::vector<std::string> urls, hosts;
    for (std::size_t i = 0; i < 4096; ++i) {
        const std::uint64_t n = random() % domains;
        switch (i % 4) {
            case 0:
                hosts.push_back("www." + DomainName(2 * n));
                break;
            case 1:
                hosts.push_back(DomainName(2 * n + 1));
                break;
            case 2:
                hosts.push_back("site" + std::to_string(n / 10) + ".example");
                break;
            default:
                hosts.push_back("site" + std::to_string(n / 10) + ".example");
                break;
        }
        const std::string path = i % 4 == 2
                                     ? "/section/" + std::to_string((n / 10) % 31) + "/page.html"
                                     : "/some/path/page.html?q=1";
        urls.push_back("http://" + hosts.back() + path);
    }

    // The baseline: the same host and parent-domain look-ups in a standard hash set,
    // without taking the URL apart and without the URL lists.
    std::vector<std::string> names;
    names.reserve(domains);
    for (std::size_t i = 0; i < domains; ++i)
        names.push_back(DomainName(2 * i));
    std::unordered_set<std::string_view> set(names.begin(), names.end());
    std::size_t found = 0;
    start = Clock::now();
    for (std::size_t i = 0; i < lookups; ++i) {
        std::string_view host = hosts[i % hosts.size()];
        for (bool bHit = false; !bHit;) {
            bHit = set.count(host) != 0;
            found += bHit;
            const std::size_t dot = host.find('.');
            if (dot == std::string_view::npos)
                break;
            host.remove_prefix(dot + 1);
        }
    }
    const double setRate = static_cast<double>(lookups) / Seconds(start);

    std::vector<std::uint32_t> numbers;
    std::size_t matched = 0;
    start = Clock::now();
    for (std::size_t i = 0; i < lookups; ++i) {
        lists->Match(urls[i % urls.size()], &numbers);
        matched += !numbers.empty();
    }
    const double matchSeconds = Seconds(start);
    const double matchRate = static_cast<double>(lookups) / matchSeconds;
    std::printf(
        "look-ups: %.2f M/s, %.2f us each, %zu of %zu matched "
        "(host and parents in std::unordered_set %.2f M/s, ratio %.2f)\n",
        matchRate / 1e6, 1e6 * matchSeconds / static_cast<double>(lookups), matched, lookups,
        setRate / 1e6, matchRate / setRate);
    (void)found;

    // Round trips over loopback, one connection, one request at a time.
    CCategoryServer server(std::shared_ptr<const CCategoryLists>(std::move(lists)));
    if (FAILED(server.Listen("127.0.0.1:0")) || FAILED(server.Start(1))) {
        std::fprintf(stderr, "server failed\n");
        fs::remove_all(dir);
        return 1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server.Port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::vector<std::string> requests;
        for (const auto& url : urls)
            requests.push_back(Request(url));
        const std::size_t roundTrips = std::min<std::size_t>(lookups / 10, 50000);
        std::size_t good = 0;
        start = Clock::now();
        for (std::size_t i = 0; i < roundTrips; ++i) {
            const std::string& r = requests[i % requests.size()];
            unsigned char header[16], body[4 * 16];
            if (::send(fd, r.data(), r.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(r.size()) ||
                ::recv(fd, header, 16, MSG_WAITALL) != 16)
                break;
            const std::size_t count = (header[14] << 8) | header[15];
            if (count > 16 || (count && ::recv(fd, body, 4 * count, MSG_WAITALL) !=
                                            static_cast<ssize_t>(4 * count)))
                break;
            ++good;
        }
        const double seconds = Seconds(start);
        std::printf("requests: %zu round trips over loopback, %.1f us each, %.0f/s\n", good,
                    1e6 * seconds / static_cast<double>(good ? good : 1),
                    static_cast<double>(good) / seconds);
    }
    ::close(fd);
    server.Stop();
    fs::remove_all(dir);
    return 0;
}
