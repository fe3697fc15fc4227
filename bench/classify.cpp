// What the site's filtering script costs a connection, against the transparent relay (no
// policy installed) in the same run, over loopback to a small HTTP server of the bench:
//  - latency: connect + one request + the first byte of the answer, p50 and p99 over a
//    few thousand connections made one after the other, the two relays taking turns in
//    blocks; the difference is what a decision adds (goal: p50 under 300 µs);
//  - rate: requests per second from several client threads, one connection per request,
//    and on keep-alive connections with a new URL per request (each request is
//    classified again), through the filtering relay against the transparent one (goal:
//    at least 0.7 of it).
// The policy is a global.asa of the bench's own, as a site would write it: per-user
// settings in User.Value (set in User_OnStart), blocked and allowed host lists filled
// once in Application_OnStart and searched with InStr over the host and its parent
// domains, a host category table as a Select Case, and search keywords in an array
// searched with a loop. Every request the bench measures is allowed and so runs the whole
// decision; before measuring, a few blocked ones check that the script really judges.
// Beside the ratios: the processor time per request of the whole process in each rate
// run (what a busy machine shares out), and a single-thread probe of the policy's two
// entry points in processor time, to show where a decision's time goes.
// "--quick" makes a short run and "--probe" runs the probe alone (for a profiler);
// "--keep-alive=transparent", "--keep-alive=filtering" or "--keep-alive=scriptless" runs
// only that relay's keep-alive rate, for five seconds (for a profiler or a count of system
// calls); "scriptless" classifies every request as the filtering relay does, but with a
// policy that lets everything through without a script: what the relay's own part costs.
// "--shipped=open" and "--shipped=filtered" measure the shipped policy instead
// (sites/corvane/Common/global.asa and the files it includes, settings in a registry store
// of the bench's own): as a fresh install leaves it, open for everyone, or with a few
// hosts blocked for the bench's user (no categories: nothing asks a category server).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "async/AsyncThreadPool.h"
#include "bench/BenchSockets.h"
#include "com/DiagnosticLog.h"
#include "com/Singleton.h"
#include "com/Strings.h"
#include "http/HTTPRequest.h"
#include "idl/Identifiers.h"
#include "objects/ServerObject.h"
#include "pages/entities/ASPEntity.h"
#include "pages/entities/EntityTestSupport.h"
#include "passthru/Passthru.h"
#include "passthru/ScriptFilterPolicy.h"
#include "registry/RegistryStore.h"
#include "service/ApplicationEvents.h"
#include "sessions/ProcessSession.h"
#include "sessions/UserSession.h"
#include "storage/ApplicationScript.h"
#include "storage/StorageManager.h"
#include "storage/TestSite.h"

namespace {

using Clock = std::chrono::steady_clock;

// How much is measured; "--quick" makes a short run for a profiler.
struct CSizes {
    int latencyConnections = 3000;  // per relay
    int warmUp = 200;
    int rateRounds = 3;
    double rateSeconds = 1.5;  // per relay, per round
};
CSizes g_sizes;
constexpr int kLatencyBlock = 100;  // connections in a row through one relay
constexpr int kClients = 4;
constexpr int kServerThreads = kClients + 4;
constexpr int kFrontThreads = 2;

// Which policy the relay asks: the bench's own script, or the shipped site in one of two
// states.
enum class EPolicy { Bench, ShippedOpen, ShippedFiltered };
EPolicy g_policy = EPolicy::Bench;
bool Shipped() {
    return g_policy != EPolicy::Bench;
}
// The hosts blocked for the bench's user in the filtered state of the shipped policy.
constexpr const char* kShippedBlocked = "warez.example casino.example freeproxy.test ads.test";

// ---- The policy site ----------------------------------------------------------------

// Host categories of the table; those the user has blocked are listed in User_OnStart.
const char* const kCategories[] = {"news",   "games",  "shop",    "social", "video",  "music",
                                   "sports", "travel", "finance", "chat",   "dating", "gambling"};
constexpr const char* kBlockedCategories = "|2|10|11|12|";
const char* const kTlds[] = {".com", ".net", ".org", ".de", ".co.uk"};
const char* const kBlockedStems[] = {"warez",    "freeproxy", "anonsurf", "torrentz", "crackz",
                                     "fastloan", "pillshop",  "spyware",  "phish",    "malware"};
const char* const kAllowedStems[] = {"school", "library",  "museum",
                                     "kids",   "homework", "encyclopedia"};
const char* const kKeywords[] = {
    "casino",    "poker", "roulette", "betting", "jackpot",    "slotmachine", "lottery", "warez",
    "keygen",    "crack", "torrent",  "proxy",   "anonymizer", "hacktool",    "spyware", "phishing",
    "malware",   "cheat", "darknet",  "fakeid",  "pills",      "steroids",    "weapon",  "ammo",
    "explosive", "hate",  "violence", "gore",    "drugs",      "vape"};
constexpr int kPerCategory = 20;
constexpr int kPerBlockedStem = 20;
constexpr int kPerAllowedStem = 10;

std::string TableHost(const char* stem, int i) {
    static const char* const kVariants[] = {"", "world", "zone", "online", "central"};
    return std::string(stem) + kVariants[i % 5] + std::to_string(i) + kTlds[(i / 4) % 5];
}

// Lines `s = s & "a|b|...|"` that add `hosts` to a "|"-separated list, `perLine` a line.
std::string ListLines(const std::vector<std::string>& hosts, std::size_t perLine) {
    std::string out;
    for (std::size_t i = 0; i < hosts.size(); i += perLine) {
        out += "    s = s & \"";
        for (std::size_t j = i; j < std::min(hosts.size(), i + perLine); ++j)
            out += hosts[j] + "|";
        out += "\"\n";
    }
    return out;
}

std::string GlobalAsa() {
    std::vector<std::string> blocked, allowed;
    for (const char* stem : kBlockedStems)
        for (int i = 0; i < kPerBlockedStem; ++i)
            blocked.push_back(TableHost(stem, i));
    for (const char* stem : kAllowedStems)
        for (int i = 0; i < kPerAllowedStem; ++i)
            allowed.push_back(TableHost(stem, i));
    std::string keywords;
    for (const char* word : kKeywords)
        keywords += (keywords.empty() ? "" : ",") + std::string(word);

    std::string table;
    int category = 0;
    for (const char* name : kCategories) {
        ++category;
        table += "        ' " + std::string(name) + "\n";
        for (int i = 0; i < kPerCategory; i += 5) {
            table += "        Case ";
            for (int j = i; j < i + 5; ++j)
                table += "\"" + TableHost(name, j) + (j + 1 < i + 5 ? "\", " : "\"");
            table += "\n            CategoryOfName = " + std::to_string(category) + "\n";
        }
    }

    return R"(<!-- The policy of the bench's site: per-user settings, host lists, categories and
     search keywords, judged for every connection and every HTTP request. -->
<script language=vbscript runat=server>

Const PROTOCOL_HTTP = 1
Const MODE_OPEN = "open"
Const MODE_FILTERED = "filtered"
Const MODE_ALLOWLIST = "allowlist"

' ---------------------------------------------------------------------------------
' Application and user events

' The lists every user shares, filled once: "|"-separated host names.
Sub Application_OnStart()
    Dim s
    s = "|"
)" + ListLines(blocked, 8) +
           R"(    Application("Policy.BlockedHosts") = s
    s = "|"
)" + ListLines(allowed, 8) +
           R"(    Application("Policy.AllowedHosts") = s
    Application("Policy.Keywords") = ")" +
           keywords + R"("
    Application("Policy.Blocked") = 0
End Sub

' The user's settings, as the settings pages would leave them.
Sub User_OnStart()
    Dim strURL, nColon
    User.Value("Mode") = MODE_FILTERED
    User.Value("Hours") = "0000-2400"
    User.Value("Categories") = ")" +
           kBlockedCategories + R"("
    User.Value("SafeSearch") = True
    User.Value("LocalPort") = ""
    On Error Resume Next
    strURL = CStr(User.LocalURL)
    If Err.Number <> 0 Then Exit Sub
    nColon = InStrRev(strURL, ":")
    If nColon > 0 Then User.Value("LocalPort") = Replace(Mid(strURL, nColon + 1), "/", "")
End Sub

' ---------------------------------------------------------------------------------
' Entry points

' Every connection: HTTP is judged request by request; everything else by the server
' name it asks for.
Function Filtering_IsProtocolAllowed(nProtocol, strHost)
    Dim strMode, strName
    Filtering_IsProtocolAllowed = True
    If IsLocalAddress(strHost) Then Exit Function
    strMode = ModeOf()
    If strMode = MODE_OPEN Then Exit Function
    If nProtocol = PROTOCOL_HTTP Then Exit Function
    If Not IsWithinHours(CStr(User.Value("Hours"))) Then
        Filtering_IsProtocolAllowed = False
        Exit Function
    End If
    strName = ""
    On Error Resume Next
    strName = LCase(CStr(Connection.ServerName))
    On Error GoTo 0
    If strName = "" Then Exit Function
    If Verdict(strMode, strName, "https://" & strName & "/", "") <> "" Then
        Filtering_IsProtocolAllowed = False
    End If
End Function

' Every HTTP request: exactly one call on Filter, which ends the script there.
Sub Filtering_IsHTTPAllowed(objRequest, strURL)
    Dim strMode, strHost, strVerdict
    If IsLocalURL(strURL) Then Filter.Continue
    strMode = ModeOf()
    If strMode = MODE_OPEN Then Filter.Continue
    strHost = HostOfURL(strURL)
    strVerdict = Verdict(strMode, strHost, strURL, SearchTerms(objRequest))
    If strVerdict = "" Then Filter.Continue

    Application.Lock
    Application("Policy.Blocked") = Application("Policy.Blocked") + 1
    Application.UnLock
    Filter.HTTPTransfer "block.asp?reason=" & Server.URLEncode(strVerdict) & _
                        "&host=" & Server.URLEncode(strHost)
End Sub

' ---------------------------------------------------------------------------------
' The decision

' Why a host (and its URL) is blocked for the user now, or "" when it may be used.
Function Verdict(strMode, strHost, strURL, strTerms)
    Dim nCategory, strWord
    Verdict = ""
    If Not IsWithinHours(CStr(User.Value("Hours"))) Then
        Verdict = "hours"
        Exit Function
    End If
    If MatchingEntry(strHost, Application("Policy.BlockedHosts")) <> "" Then
        Verdict = "host"
        Exit Function
    End If
    If MatchingEntry(strHost, Application("Policy.AllowedHosts")) <> "" Then Exit Function
    If strMode = MODE_ALLOWLIST Then
        Verdict = "allowlist"
        Exit Function
    End If
    nCategory = CategoryOfHost(strHost)
    If nCategory > 0 Then
        If InStr(CStr(User.Value("Categories")), "|" & nCategory & "|") > 0 Then
            Verdict = "category " & nCategory
            Exit Function
        End If
    End If
    strWord = BlockedWord(LCase(strURL) & " " & strTerms)
    If strWord <> "" Then Verdict = "keyword " & strWord
End Function

Function ModeOf()
    Dim strMode
    strMode = CStr(User.Value("Mode"))
    If strMode = "" Then strMode = MODE_FILTERED
    ModeOf = strMode
End Function

' "hhmm-hhmm": whether now is inside; no hours set means always.
Function IsWithinHours(strHours)
    Dim nNow
    IsWithinHours = True
    If Len(strHours) <> 9 Then Exit Function
    nNow = Hour(Now) * 100 + Minute(Now)
    IsWithinHours = nNow >= CLng(Left(strHours, 4)) And nNow < CLng(Mid(strHours, 6, 4))
End Function

' The entry of a "|"-separated list that the host or one of its parent domains is.
Function MatchingEntry(strHost, strList)
    Dim strName, nDot
    MatchingEntry = ""
    strName = strHost
    Do While strName <> ""
        If InStr(strList, "|" & strName & "|") > 0 Then
            MatchingEntry = strName
            Exit Function
        End If
        nDot = InStr(strName, ".")
        If nDot = 0 Then Exit Do
        strName = Mid(strName, nDot + 1)
    Loop
End Function

' The category of the host or of its nearest parent domain in the table; 0 when none.
Function CategoryOfHost(strHost)
    Dim strName, nDot, nCategory
    CategoryOfHost = 0
    strName = strHost
    Do While InStr(strName, ".") > 0
        nCategory = CategoryOfName(strName)
        If nCategory > 0 Then
            CategoryOfHost = nCategory
            Exit Function
        End If
        nDot = InStr(strName, ".")
        strName = Mid(strName, nDot + 1)
    Loop
End Function

' The first keyword the text contains, or "".
Function BlockedWord(strText)
    Dim arrWords, i
    BlockedWord = ""
    arrWords = Split(Application("Policy.Keywords"), ",")
    For i = 0 To UBound(arrWords)
        If InStr(strText, arrWords(i)) > 0 Then
            BlockedWord = arrWords(i)
            Exit Function
        End If
    Next
End Function

' What the user searches for, when safe search is on.
Function SearchTerms(objRequest)
    SearchTerms = ""
    If Not User.Value("SafeSearch") Then Exit Function
    SearchTerms = LCase(CStr(objRequest.QueryString("q")))
End Function

' ---------------------------------------------------------------------------------
' Hosts and URLs

' The host of a URL, lower case, without user, port and a leading "www.".
Function HostOfURL(strURL)
    Dim strRest, n
    strRest = strURL
    n = InStr(strRest, "://")
    If n > 0 Then strRest = Mid(strRest, n + 3)
    n = InStr(strRest, "/")
    If n > 0 Then strRest = Left(strRest, n - 1)
    n = InStr(strRest, "@")
    If n > 0 Then strRest = Mid(strRest, n + 1)
    n = InStrRev(strRest, ":")
    If n > 0 Then strRest = Left(strRest, n - 1)
    strRest = LCase(strRest)
    If Left(strRest, 4) = "www." Then strRest = Mid(strRest, 5)
    HostOfURL = strRest
End Function

' "address:port" of the user's local pages.
Function IsLocalAddress(strHostPort)
    Dim nColon, strPort, strHost
    IsLocalAddress = False
    nColon = InStrRev(strHostPort, ":")
    If nColon = 0 Then Exit Function
    strPort = CStr(User.Value("LocalPort"))
    If strPort = "" Then Exit Function
    If Mid(strHostPort, nColon + 1) <> strPort Then Exit Function
    strHost = LCase(Left(strHostPort, nColon - 1))
    IsLocalAddress = (strHost = "localhost") Or (Left(strHost, 4) = "127.")
End Function

Function IsLocalURL(strURL)
    Dim strRest, n
    strRest = strURL
    n = InStr(strRest, "://")
    If n > 0 Then strRest = Mid(strRest, n + 3)
    n = InStr(strRest, "/")
    If n > 0 Then strRest = Left(strRest, n - 1)
    IsLocalURL = IsLocalAddress(strRest)
End Function

' ---------------------------------------------------------------------------------
' The category table: 1 news, 2 games, 3 shopping, 4 social, 5 video, 6 music,
' 7 sports, 8 travel, 9 finance, 10 chat, 11 dating, 12 gambling.
Function CategoryOfName(strName)
    Select Case strName
)" + table +
           R"(        Case Else
            CategoryOfName = 0
    End Select
End Function

</script>
)";
}

std::u16string Widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// ---- Sockets ------------------------------------------------------------------------

int Listen(unsigned short* port) {
    return ListenLoopback(port);
}

int ConnectTo(unsigned short port) {
    return ConnectLoopback(port, true);
}

// A request that the policy holds gets no answer: the client gives up after this.
void ReceiveTimeout(int fd, int seconds) {
    timeval tv{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

bool SendAll(int fd, const std::string& text) {
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

const std::string kAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
const std::string kCloseAnswer =
    "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

// The destination: threads that each take a connection and answer its requests, until
// the application asks to close or closes.
class CHttpServer {
public:
    explicit CHttpServer(int threads) : m_fd(Listen(&m_port)) {
        for (int i = 0; m_fd >= 0 && i < threads; ++i)
            m_threads.emplace_back([this] { Serve(); });
    }
    ~CHttpServer() {
        m_stop = true;
        ::shutdown(m_fd, SHUT_RDWR);
        for (auto& t : m_threads)
            t.join();
        ::close(m_fd);
    }
    unsigned short Port() const { return m_port; }
    bool Ok() const { return m_fd >= 0; }

private:
    void Serve() {
        while (!m_stop) {
            const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            std::string pending;
            char buffer[4096];
            for (bool open = true; open;) {
                const std::size_t end = pending.find("\r\n\r\n");
                if (end == std::string::npos) {
                    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                    if (n <= 0)
                        break;
                    pending.append(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                const bool close =
                    pending.substr(0, end).find("\r\nConnection: close") != std::string::npos;
                pending.erase(0, end + 4);
                open = SendAll(fd, close ? kCloseAnswer : kAnswer) && !close;
            }
            ::close(fd);
        }
    }

    unsigned short m_port = 0;
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

// Where the socket server would be: takes each application connection, connects onward
// to the destination and hands both to a relay of the process session.
class CFront {
public:
    CFront(CComPtr<IUnknown> ptrSession, unsigned short destPort, int threads)
        : m_ptrSession(std::move(ptrSession)),
          m_destPort(destPort),
          m_strHost("127.0.0.1:" + std::to_string(destPort)),
          m_fd(Listen(&m_port)) {
        for (int i = 0; m_fd >= 0 && i < threads; ++i)
            m_threads.emplace_back([this] { Accept(); });
    }
    ~CFront() {
        m_stop = true;
        ::shutdown(m_fd, SHUT_RDWR);
        for (auto& t : m_threads)
            t.join();
        ::close(m_fd);
    }
    unsigned short Port() const { return m_port; }
    bool Ok() const { return m_fd >= 0; }
    long Failures() const { return m_failures; }

private:
    void Accept() {
        while (!m_stop) {
            const int inner = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (inner < 0)
                continue;
            int one = 1;
            ::setsockopt(inner, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            const int outer = ConnectTo(m_destPort);
            if (outer < 0) {
                std::fprintf(stderr, "front: connecting to the destination: %s\n",
                             std::strerror(errno));
                ::close(inner);
                ++m_failures;
                continue;
            }
            CSocketHandle sockInner, sockOuter;
            if (FAILED(sockInner.Attach(inner)) || FAILED(sockOuter.Attach(outer))) {
                std::fprintf(stderr, "front: cannot take the sockets\n");
                ++m_failures;
                continue;
            }
            auto* relay = new CPassthru(m_ptrSession, sockInner, sockOuter, m_strHost);
            if (FAILED(relay->Start(nullptr))) {
                std::fprintf(stderr, "front: the relay did not start\n");
                ++m_failures;
            }
        }
    }

    CComPtr<IUnknown> m_ptrSession;
    unsigned short m_destPort;
    std::string m_strHost;
    unsigned short m_port = 0;
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_failures{0};
    std::vector<std::thread> m_threads;
};

// ---- Clients ------------------------------------------------------------------------

// The hosts the measured requests name, all allowed: half unknown to every table (the
// whole decision runs), a quarter on the allowed list, a quarter in a category the user
// has not blocked.
std::vector<std::string> MeasuredHosts() {
    std::vector<std::string> hosts;
    const char* const kOpenCategories[] = {"news",  "shop",   "social", "video",
                                           "music", "sports", "travel", "finance"};
    for (int i = 0; i < 16; ++i) {
        hosts.push_back("cdn" + std::to_string(i) + ".site" + std::to_string(i) + ".example");
        hosts.push_back("www.portal" + std::to_string(i) + ".example.com");
        hosts.push_back("www." + TableHost(kAllowedStems[i % 6], i % kPerAllowedStem));
        hosts.push_back(TableHost(kOpenCategories[i % 8], i % kPerCategory));
    }
    return hosts;
}

std::string Request(const std::string& host, int n, bool close) {
    std::string path = "/page" + std::to_string(n) + ".html";
    if (n % 4 == 0)
        path += "?q=weather+report+" + std::to_string(n);
    return "GET " + path + " HTTP/1.1\r\nHost: " + host +
           "\r\nUser-Agent: bench\r\nAccept: */*\r\n" + (close ? "Connection: close\r\n" : "") +
           "\r\n";
}

// One connection, one request, the answer to the end. The time to the first byte of the
// answer in µs, or -1; `answer` gets the whole answer.
double OneRequest(unsigned short port, const std::string& request, std::string* answer) {
    const auto start = Clock::now();
    const int fd = ConnectTo(port);
    if (fd < 0)
        return -1;
    ReceiveTimeout(fd, 5);
    double firstByte = -1;
    if (SendAll(fd, request)) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0)
                break;
            if (firstByte < 0)
                firstByte = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            if (answer)
                answer->append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return firstByte;
}

bool ReceiveExactly(int fd, char* buffer, std::size_t n) {
    for (std::size_t got = 0; got < n;) {
        const ssize_t r = ::recv(fd, buffer + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

struct CPercentiles {
    double p50 = 0, p99 = 0;
};

CPercentiles Percentiles(std::vector<double> v) {
    CPercentiles p;
    if (v.empty())
        return p;
    std::sort(v.begin(), v.end());
    p.p50 = v[v.size() / 2];
    p.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    return p;
}

// A policy without a script: every connection and request goes on.
class CAllowAllPolicy : public CFilterPolicy {
public:
    bool IsProtocolAllowed(const CConnectionFacts&) override { return true; }
    HRESULT ClassifyRequest(const CConnectionFacts&, const CHTTPRequest&,
                            IFilterDecision* pDecision) override {
        return pDecision->Continue();
    }
};

void UsePolicy(bool filtering) {
    CFilterPolicy::Install(filtering ? std::make_shared<CScriptFilterPolicy>() : nullptr);
}

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Requests answered per second from kClients threads over the rate seconds: a connection
// per request, or one keep-alive connection per client with a new URL for every request.
// `cpuSeconds` gets the process's processor time (clients, relays and server together).
double Rate(unsigned short port, const std::vector<std::string>& hosts, bool keepAlive,
            long* failures, long* requests, double* cpuSeconds) {
    std::atomic<long> done{0}, failed{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            int n = c * 1000003;
            if (!keepAlive) {
                while (!stop) {
                    std::string answer;
                    ++n;
                    if (OneRequest(port, Request(hosts[n % hosts.size()], n, true), &answer) >= 0 &&
                        answer == kCloseAnswer)
                        ++done;
                    else
                        ++failed;
                }
                return;
            }
            const int fd = ConnectTo(port);
            if (fd < 0) {
                ++failed;
                return;
            }
            ReceiveTimeout(fd, 5);
            const std::string& host = hosts[c % hosts.size()];
            std::vector<char> buffer(kAnswer.size());
            while (!stop) {
                ++n;
                if (!SendAll(fd, Request(host, n, false)) ||
                    !ReceiveExactly(fd, buffer.data(), buffer.size())) {
                    ++failed;
                    break;
                }
                ++done;
            }
            ::close(fd);
        });
    }
    const auto start = Clock::now();
    const double cpuStart = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(g_sizes.rateSeconds));
    stop = true;
    for (auto& t : clients)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    *cpuSeconds += ProcessCpuSeconds() - cpuStart;
    *failures += failed;
    *requests += done;
    return static_cast<double>(done) / seconds;
}

std::string LoadAverage() {
    std::string text;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        char line[128];
        if (std::fgets(line, sizeof(line), f))
            text = line;
        std::fclose(f);
    }
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

class CBenchOwner : public IUserSessionOwner {
public:
    void OnUserSessionEmpty(const std::shared_ptr<CUserSession>& session) override {
        session->MarkStoppingIfEmpty();
    }
};

// The shipped policy site's folder of the files every language shares.
std::filesystem::path ShippedCommon() {
    return std::filesystem::path(CORVANE_SOURCE_DIR) / "sites" / "corvane" / "Common";
}

// The shipped policy's settings, in a store of the bench's own (a temporary file).
std::filesystem::path g_storeDir;
std::unique_ptr<CRegistryStore> g_store;

// Adds a page of the shipped site and, in turn, the pages its include lines name; the
// lines of them all in *lines.
bool AddShippedPage(CTestSite& site, const std::string& name, const CLSID& clsidEntity,
                    std::set<std::string>* added, std::size_t* lines) {
    if (!added->insert(name).second)
        return true;
    std::ifstream in(ShippedCommon() / name, std::ios::binary);
    if (!in) {
        std::printf("cannot read %s\n", (ShippedCommon() / name).c_str());
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    *lines += static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n'));
    if (FAILED(site.AddTextPage("Common", name, Utf8ToUtf16(content), clsidEntity)))
        return false;
    static const std::regex kInclude(R"re(#include\s+file\s*=\s*"([^"]+)")re", std::regex::icase);
    for (std::sregex_iterator it(content.begin(), content.end(), kInclude), end; it != end; ++it)
        if (!AddShippedPage(site, (*it)[1].str(), CLSID(), added, lines))
            return false;
    return true;
}

// The policy site as the embedded site: the bench's global.asa only, or the shipped
// site's global.asa with what it includes, over a store of the bench's own.
bool InstallSite(std::size_t* lines) {
    entity_test::RegisterClasses();
    if (Shipped()) {
        g_storeDir =
            std::filesystem::temp_directory_path() / ("cv-classify-" + std::to_string(::getpid()));
        std::filesystem::create_directories(g_storeDir);
        g_store = std::make_unique<CRegistryStore>((g_storeDir / "registry.reg").string());
    }
    CASPEntity::SetServerObjectFactory([](IDispatch** ppServer) {
        HRESULT hr = S_OK;
        CComPtr<CServerObject> ptrServer =
            g_store ? MakeObject<CServerObject>(&hr, g_store.get(), g_storeDir)
                    : MakeObject<CServerObject>(&hr);
        *ppServer = ptrServer ? static_cast<IDispatch*>(ptrServer.Detach()) : nullptr;
        return hr;
    });
    CTestSite site;
    *lines = 0;
    if (Shipped()) {
        std::set<std::string> added;
        if (!AddShippedPage(site, "global.asa", CLSID_ASAEntity, &added, lines))
            return false;
    } else {
        const std::string text = GlobalAsa();
        *lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        if (FAILED(site.AddTextPage("Common", "global.asa", Widen(text), CLSID_ASAEntity)))
            return false;
    }
    static std::vector<BYTE> s_bytes;
    return SUCCEEDED(site.WriteToBytes(&s_bytes)) &&
           SUCCEEDED(STORAGE_MANAGER::instance()->SetEmbeddedSite(s_bytes, FILETIME(), FILETIME(),
                                                                  FILETIME()));
}

// Takes the verdict and nothing else.
class CNoteDecision : public IFilterDecision {
public:
    HRESULT Continue() override { return Note(); }
    HRESULT Close() override { return Note(); }
    HRESULT HTTPTransfer(const std::string&) override { return Note(); }
    int verdicts = 0;

private:
    HRESULT Note() {
        ++verdicts;
        return S_OK;
    }
};

// Where a decision's time goes, on this thread alone, processor µs a call: a script instance
// opened, run and closed with nothing called; each entry point of the policy as the
// relay calls it.
void ProbePolicy(CComPtr<IUnknown> ptrSession, const std::vector<std::string>& hosts) {
    constexpr int kCalls = 500;
    CScriptFilterPolicy policy;
    CConnectionFacts facts;
    facts.protocol = NetworkProtocol::HTTP;
    facts.strHost = "127.0.0.2:80";
    facts.ptrSession = ptrSession;
    // Processor time of this thread, so that other work on a busy machine does not count.
    auto now = [] {
        timespec ts{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
    };
    auto perCall = [&](double start) { return (now() - start) / kCalls; };
    LONG lLcid = 0;
    static_cast<IUserObject*>(ptrSession.Get())->get_LCID(&lLcid);
    double start = now();
    for (int i = 0; i < kCalls; ++i) {
        CApplicationScript script;
        if (FAILED(script.Open(static_cast<LCID>(lLcid))) || FAILED(script.Run()))
            return;
        script.Close();
    }
    const double instance = perCall(start);
    start = now();
    int allowed = 0;
    for (int i = 0; i < kCalls; ++i)
        allowed += policy.IsProtocolAllowed(facts);
    const double protocol = perCall(start);
    std::vector<std::unique_ptr<CHTTPRequest>> requests;
    for (int i = 0; i < kCalls; ++i) {
        auto request = std::make_unique<CHTTPRequest>(nullptr, false);
        bool more = false;
        request->Parse(Request(hosts[i % hosts.size()], i, true), facts.strHost, false, &more);
        requests.push_back(std::move(request));
    }
    CNoteDecision decision;
    start = now();
    for (int i = 0; i < kCalls; ++i)
        policy.ClassifyRequest(facts, *requests[i], &decision);
    const double request = perCall(start);
    std::printf(
        "one thread, processor time a call: script instance opened, run, closed %.0f us; "
        "Filtering_IsProtocolAllowed %.0f us; Filtering_IsHTTPAllowed %.0f us "
        "(%d/%d allowed, %d/%d verdicts)\n",
        instance, protocol, request, allowed, kCalls, decision.verdicts, kCalls);
}

// Blocked requests get the redirect to the block page with the reason the script gave;
// an allowed one, the destination's answer.
struct CVerdictCase {
    std::string host;
    std::string path;
    const char* expected;
};

bool CheckVerdicts(unsigned short port) {
    std::vector<CVerdictCase> cases;
    switch (g_policy) {
        case EPolicy::Bench:
            cases = {
                {"www.site1.example", "/", "HTTP/1.1 200 OK"},
                {"cdn." + TableHost("warez", 3), "/",
                 "block.asp?reason=host&host=cdn.warezonline3.com"},
                {TableHost("games", 7), "/", "block.asp?reason=category+2&host=games"},
                {"www.search.example", "/find?q=online+poker", "block.asp?reason=keyword+poker"},
            };
            break;
        case EPolicy::ShippedOpen:
            cases = {
                {"www.site1.example", "/", "HTTP/1.1 200 OK"},
                {"cdn.warez.example", "/", "HTTP/1.1 200 OK"},
            };
            break;
        case EPolicy::ShippedFiltered:
            cases = {
                {"www.site1.example", "/", "HTTP/1.1 200 OK"},
                {"cdn.warez.example", "/",
                 "block.asp?reason=host&detail=warez.example&host=cdn.warez.example"},
                {"ads.test", "/x", "block.asp?reason=host&detail=ads.test&host=ads.test"},
            };
            break;
    }
    bool ok = true;
    for (const auto& c : cases) {
        std::string answer;
        OneRequest(
            port,
            "GET " + c.path + " HTTP/1.1\r\nHost: " + c.host + "\r\nConnection: close\r\n\r\n",
            &answer);
        if (answer.find(c.expected) == std::string::npos) {
            std::printf("check: %s%s: expected \"%s\", got \"%s\"\n", c.host.c_str(),
                        c.path.c_str(), c.expected, answer.substr(0, 200).c_str());
            ok = false;
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    // "--probe": only the single-thread probe of the policy, for a profiler.
    bool probeOnly = false;
    int keepAliveOnly = -1;  // the mode whose keep-alive rate alone is measured
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--probe") == 0) {
            probeOnly = true;
        } else if (std::strcmp(argv[i], "--keep-alive=transparent") == 0) {
            keepAliveOnly = 0;
        } else if (std::strcmp(argv[i], "--keep-alive=filtering") == 0) {
            keepAliveOnly = 1;
        } else if (std::strcmp(argv[i], "--keep-alive=scriptless") == 0) {
            keepAliveOnly = 2;
        } else if (std::strcmp(argv[i], "--quick") == 0) {
            g_sizes = CSizes{300, 20, 1, 0.5};
        } else if (std::strcmp(argv[i], "--shipped=open") == 0) {
            g_policy = EPolicy::ShippedOpen;
        } else if (std::strcmp(argv[i], "--shipped=filtered") == 0) {
            g_policy = EPolicy::ShippedFiltered;
        } else {
            std::printf(
                "usage: %s "
                "[--quick|--probe|--keep-alive=transparent|--keep-alive=filtering|"
                "--keep-alive=scriptless] "
                "[--shipped=open|--shipped=filtered]\n",
                argv[0]);
            return 2;
        }
    }
    // CORVANE_BENCH_LOG names a diagnostic log file for a run that looks into failures
    // (its entries slow every connection: not for figures).
    if (const char* log = std::getenv("CORVANE_BENCH_LOG"))
        CDiagnosticLog::Instance().SetPathSource(
            [path = std::string(log)] { return std::optional<std::string>(path); });
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::printf("load at start: %s\n", LoadAverage().c_str());

    THREAD_POOL::instance();
    std::size_t lines = 0;
    if (!InstallSite(&lines)) {
        std::printf("cannot install the bench's site\n");
        return 1;
    }
    // User_OnStart runs in the site's script, as in the program.
    SetUserEvents(std::make_shared<CApplicationUserEvents>());
    CBenchOwner owner;
    std::shared_ptr<CUserSession> user;
    CComPtr<CProcessSession> session;
    {
        CSessionEvents events;
        GUID key{};
        if (FAILED(CUserSession::Create(&owner, getuid(), getpid(), &user)) ||
            FAILED(user->GetProcessSession(getpid(), BSTR(u"/usr/bin/browser"), &key, &session,
                                           &events)) ||
            FAILED(events.Run())) {
            std::printf("cannot make the process session\n");
            return 1;
        }
    }
    CPassthru::SetPrivatePort(8);  // the redirects' port; nobody follows them here
    std::string strPolicy = "the bench's global.asa";
    if (Shipped()) {
        BSTR bstrName;
        if (FAILED(session->get_Name(&bstrName))) {
            std::printf("cannot name the bench's user\n");
            return 1;
        }
        const std::string strUser = bstrName.ToUtf8();
        strPolicy = "the shipped policy, open for everyone";
        if (g_policy == EPolicy::ShippedFiltered) {
            // The settings pages store a mode and a host list per user.
            if (FAILED(g_store->SetString(kCorvaneKey, "Policy.Mode." + strUser, "filtered")) ||
                FAILED(g_store->SetString(kCorvaneKey, "Policy.Blocked." + strUser,
                                          kShippedBlocked))) {
                std::printf("cannot store the policy's settings\n");
                return 1;
            }
            strPolicy = "the shipped policy, filtered for user \"" + strUser +
                        "\" (blocked: " + kShippedBlocked + ")";
        }
    }

    int status = 0;
    {
        CHttpServer server(kServerThreads);
        CFront front(CComPtr<IUnknown>(static_cast<IUserObject*>(session.Get())), server.Port(),
                     kFrontThreads);
        if (!server.Ok() || !front.Ok()) {
            std::printf("cannot listen on loopback\n");
            return 1;
        }
        UsePolicy(true);
        if (!CheckVerdicts(front.Port())) {
            std::printf("the policy did not judge as its script says: no figures\n");
            UsePolicy(false);
            status = 1;
        }
        const std::vector<std::string> hosts = MeasuredHosts();
        std::printf("policy: %s; %zu lines of script; %zu hosts requested in turn\n",
                    strPolicy.c_str(), lines, hosts.size());
        for (int i = 0; status == 0 && i < (probeOnly ? 10 : 1); ++i)
            ProbePolicy(CComPtr<IUnknown>(static_cast<IUserObject*>(session.Get())), hosts);
        if (probeOnly)
            status = -1;  // nothing more to measure
        if (status == 0 && keepAliveOnly >= 0) {
            if (keepAliveOnly == 2)
                CFilterPolicy::Install(std::make_shared<CAllowAllPolicy>());
            else
                UsePolicy(keepAliveOnly == 1);
            double cpu = 0;
            long failed = 0, done = 0;
            g_sizes.rateSeconds = 5;
            const double rate = Rate(front.Port(), hosts, true, &failed, &done, &cpu);
            std::printf(
                "keep-alive, %s relay: %.0f requests/s, %.0f us of processor time each, "
                "failed %ld\n",
                keepAliveOnly == 2   ? "scriptless filtering"
                : keepAliveOnly == 1 ? "filtering"
                                     : "transparent",
                rate, done > 0 ? cpu / done * 1e6 : 0, failed);
            status = -1;
        }

        // Latency: the two relays take turns in blocks, so a busy machine slows them alike.
        std::vector<double> times[2];
        long failures[2] = {0, 0};
        for (int mode = 0; status == 0 && mode < 2; ++mode) {
            UsePolicy(mode == 1);
            for (int i = 0; i < g_sizes.warmUp; ++i)
                OneRequest(front.Port(), Request(hosts[i % hosts.size()], i, true), nullptr);
        }
        for (int block = 0; status == 0 && block < 2 * g_sizes.latencyConnections / kLatencyBlock;
             ++block) {
            const int mode = block % 2;
            UsePolicy(mode == 1);
            for (int i = 0; i < kLatencyBlock; ++i) {
                const int n = block / 2 * kLatencyBlock + i;
                const double us =
                    OneRequest(front.Port(), Request(hosts[n % hosts.size()], n, true), nullptr);
                if (us < 0)
                    ++failures[mode];
                else
                    times[mode].push_back(us);
            }
        }
        if (status == 0) {
            const CPercentiles plain = Percentiles(times[0]);
            const CPercentiles filtered = Percentiles(times[1]);
            std::printf("latency (connect + request + first answer byte), %d connections each\n",
                        g_sizes.latencyConnections);
            std::printf("  transparent relay  p50 %7.1f us   p99 %7.1f us   failed %ld\n",
                        plain.p50, plain.p99, failures[0]);
            std::printf("  filtering relay    p50 %7.1f us   p99 %7.1f us   failed %ld\n",
                        filtered.p50, filtered.p99, failures[1]);
            const double added = filtered.p50 - plain.p50;
            std::printf(
                "  added by a decision p50 %7.1f us   p99 %7.1f us   (goal: p50 < 300 "
                "us: %s)\n",
                added, filtered.p99 - plain.p99, added < 300 ? "met" : "NOT met");
        }

        // Rate: the two relays take turns by rounds; totals over the rounds.
        for (bool keepAlive : {false, true}) {
            if (status != 0)
                break;
            double sum[2] = {0, 0}, cpu[2] = {0, 0};
            long failed[2] = {0, 0}, done[2] = {0, 0};
            for (int round = 0; round < g_sizes.rateRounds; ++round) {
                for (int mode = 0; mode < 2; ++mode) {
                    UsePolicy(mode == 1);
                    sum[mode] += Rate(front.Port(), hosts, keepAlive, &failed[mode], &done[mode],
                                      &cpu[mode]);
                }
            }
            const double plain = sum[0] / g_sizes.rateRounds,
                         filtered = sum[1] / g_sizes.rateRounds;
            std::printf(
                "requests/s, %d clients, %s\n", kClients,
                keepAlive ? "keep-alive, a new URL per request" : "a connection per request");
            std::printf("  transparent %8.0f /s   filtering %8.0f /s   failed %ld / %ld\n", plain,
                        filtered, failed[0], failed[1]);
            const double ratio = plain > 0 ? filtered / plain : 0;
            std::printf("  filtering/transparent %.2f   (goal >= 0.70: %s)\n", ratio,
                        ratio >= 0.7 ? "met" : "NOT met");
            // Processor time is what a loaded machine shares out: the ratio it allows.
            const double cpuPlain = done[0] > 0 ? cpu[0] / done[0] * 1e6 : 0;
            const double cpuFiltered = done[1] > 0 ? cpu[1] / done[1] * 1e6 : 0;
            std::printf(
                "  processor time per request (whole process): transparent %.0f us, "
                "filtering %.0f us; ratio %.2f\n",
                cpuPlain, cpuFiltered, cpuFiltered > 0 ? cpuPlain / cpuFiltered : 0);
        }
        UsePolicy(false);
        if (status == 0)
            std::printf("thread pool: %zu threads after the rate runs\n",
                        THREAD_POOL::instance()->ThreadCount());
        if (front.Failures() > 0)
            std::printf("front: %ld connections not relayed\n", front.Failures());
        CPassthru::Instances().WaitForNone(30000);
    }
    std::printf("load at end: %s\n", LoadAverage().c_str());
    session.Reset();
    user->Stop();
    ModuleTerminate();
    if (!g_storeDir.empty()) {
        g_store.reset();
        std::error_code ec;
        std::filesystem::remove_all(g_storeDir, ec);
    }
    return status < 0 ? 0 : status;
}
