// corvane-categories: answers the URL category protocol from category lists.
//
//     corvane-categories [--listen ADDRESS:PORT] [--lists DIR] [--threads N] [--log FILE]
//
// Listens on 127.0.0.1:4004 unless told otherwise and answers from the lists in DIR (the
// sample lists when none is named). SIGHUP loads the lists again and swaps them in when
// they load; SIGINT and SIGTERM stop the server. Lines on standard output say where it
// listens and what it loaded; failures go to standard error and to the diagnostic log
// when --log names one.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "com/DiagnosticLog.h"
#include "tools/categories/CategoryLists.h"
#include "tools/categories/CategoryServer.h"

namespace {

constexpr const char* kName = "corvane-categories";

int Usage() {
    std::cerr << "usage: " << kName
              << " [--listen ADDRESS:PORT] [--lists DIR] [--threads N] [--log FILE]\n"
                 "  --listen   where to listen (default 127.0.0.1:4004)\n"
                 "  --lists    a directory with one directory per category, each holding\n"
                 "             `domains` and/or `urls` (default: the sample lists)\n"
                 "  --threads  threads answering requests, 1 to 16 (default 1)\n"
                 "  --log      diagnostic log file\n";
    return 2;
}

std::string Describe(HRESULT hr) {
    std::string text = HResultToString(hr);
    const std::string strError = ErrorText(hr);
    if (!strError.empty())
        text += ", " + strError;
    return text;
}

// Loads the lists and prints their categories; null when they do not load. *pstrSummary
// is the line to print once they are in use.
std::shared_ptr<const CCategoryLists> LoadLists(const std::string& dir, const char* verb,
                                                std::string* pstrSummary) {
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<CCategoryLists> lists;
    const HRESULT hr = CCategoryLists::Load(dir, &lists);
    if (FAILED(hr)) {
        std::cerr << kName << ": " << dir << ": cannot load the lists (" << Describe(hr) << ")\n";
        return nullptr;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    for (const auto& category : lists->Categories()) {
        std::cout << "  " << category.strName << " = " << category.number << " ("
                  << category.domains << " domains, " << category.urls << " urls";
        if (category.skippedLines)
            std::cout << ", " << category.skippedLines << " lines skipped";
        std::cout << ")\n";
    }
    *pstrSummary = std::string(kName) + ": " + verb + " " +
                   std::to_string(lists->Categories().size()) + " categories (" +
                   std::to_string(lists->DomainCount()) + " domains, " +
                   std::to_string(lists->UrlCount()) + " urls) from " + dir + " in " +
                   std::to_string(ms) + " ms";
    return lists;
}

}  // namespace

int main(int argc, char** argv) {
    std::string strListen = "127.0.0.1:4004";
    std::string strLists = CORVANE_CATEGORIES_SAMPLE;
    std::optional<std::string> strLog;
    unsigned threads = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return Usage();
        const std::string value = argv[++i];
        if (arg == "--listen") {
            strListen = value;
        } else if (arg == "--lists") {
            strLists = value;
        } else if (arg == "--log") {
            strLog = value;
        } else if (arg == "--threads") {
            char* end = nullptr;
            const unsigned long n = std::strtoul(value.c_str(), &end, 10);
            if (*end || n == 0 || n > CCategoryServer::kMaxThreads)
                return Usage();
            threads = static_cast<unsigned>(n);
        } else {
            return Usage();
        }
    }
    CDiagnosticLog::Instance().SetPathSource([strLog] { return strLog; });
    InstallFaultHandler();

    // The signals are taken by the main thread alone, through sigwait; the threads that
    // answer requests start with them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::string strSummary;
    auto ptrLists = LoadLists(strLists, "loaded", &strSummary);
    if (!ptrLists)
        return 1;
    std::cout << strSummary << std::endl;
    CCategoryServer server(ptrLists);
    HRESULT hr = server.Listen(strListen);
    if (FAILED(hr)) {
        std::cerr << kName << ": cannot listen on " << strListen << " (" << Describe(hr) << ")\n";
        return 1;
    }
    hr = server.Start(threads);
    if (FAILED(hr)) {
        std::cerr << kName << ": cannot start (" << Describe(hr) << ")\n";
        return 1;
    }
    const std::size_t colon = strListen.rfind(':');
    std::cout << kName << ": listening on " << strListen.substr(0, colon) << ":" << server.Port()
              << std::endl;

    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0)
            continue;
        if (sig != SIGHUP)
            break;
        // Loading runs here, beside the threads that answer: requests go on with the old
        // lists until the new ones are complete, and a failed load keeps the old ones.
        // The summary follows the swap, so that whoever waits for it finds the new lists
        // in use.
        if (auto ptrNew = LoadLists(strLists, "reloaded", &strSummary)) {
            server.SetLists(std::move(ptrNew));
            std::cout << strSummary << std::endl;
        } else {
            std::cerr << kName << ": keeping the lists loaded before" << std::endl;
        }
    }
    server.Stop();
    std::cout << kName << ": stopped" << std::endl;
    return 0;
}
