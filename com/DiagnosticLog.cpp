// The diagnostic log's decision, entry format and the checks built on it.
#include "com/DiagnosticLog.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>

namespace {

// Serialises the decision whether and where to log; never held while writing.
std::mutex& DecideLock() {
    static std::mutex lock;
    return lock;
}

unsigned long SystemThreadId() { return static_cast<unsigned long>(gettid()); }

// Set while this thread asks the path source where to log: an entry written from in
// there (the registry reporting a bad file, say) cannot wait for the decision it is
// part of, so it goes to stderr instead.
thread_local bool t_deciding = false;

}  // namespace

CDiagnosticLog& CDiagnosticLog::Instance() {
    static CDiagnosticLog* log = new CDiagnosticLog();  // lives until the process ends
    return *log;
}

void CDiagnosticLog::SetPathSource(PathSource source) {
    std::lock_guard guard(DecideLock());
    m_pathSource = std::move(source);
}

void CDiagnosticLog::Decide() {
    std::lock_guard guard(DecideLock());
    if (m_state.load() != State::Undecided) return;
    std::optional<std::string> path;
    if (m_pathSource) {
        t_deciding = true;
        try {
            path = m_pathSource();
        } catch (...) {
            path.reset();
        }
        t_deciding = false;
    }
    if (path && !path->empty()) {
        m_file = std::fopen(path->c_str(), "a+");
        if (m_file) {
            m_fd.store(fileno(m_file));
            m_state.store(State::Open);
            return;
        }
        int err = errno;
        std::fprintf(stderr, "Corvane: cannot open the log file \"%s\": %s\n", path->c_str(),
                     std::strerror(err));
        syslog(LOG_WARNING, "cannot open the log file \"%s\": %s", path->c_str(),
               std::strerror(err));
    }
    m_state.store(State::Off);
}

std::string CDiagnosticLog::Header() const {
    std::time_t now = m_clock ? m_clock() : std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char when[128];
    if (std::strftime(when, sizeof when, "%x %X", &local) == 0) when[0] = '\0';
    char header[200];
    std::snprintf(header, sizeof header, "[ %s - %#lx ]\n", when,
                  m_threadId ? m_threadId() : SystemThreadId());
    return header;
}

void CDiagnosticLog::Write(std::string_view message, const SourceLocation* where) {
    if (t_deciding) {
        std::fprintf(stderr, "Corvane: %.*s\n", static_cast<int>(message.size()), message.data());
        return;
    }
    if (m_state.load() == State::Undecided) Decide();
    if (m_state.load() != State::Open) return;

    std::string entry = Header();
    if (where) {
        char line[32];
        std::snprintf(line, sizeof line, ", line %u, last saved ", where->line);
        entry += where->signature;
        entry += '\n';
        entry += where->file;
        entry += line;
        entry += where->timestamp;
        entry += '\n';
    }
    entry += message;
    entry += "\n\n";
    std::fwrite(entry.data(), 1, entry.size(), m_file);
    std::fflush(m_file);
}

int CDiagnosticLog::FileDescriptor() const { return m_fd.load(); }

void CDiagnosticLog::SetClockForTest(std::time_t (*clock)(), unsigned long (*threadId)()) {
    m_clock = clock;
    m_threadId = threadId;
}

void CDiagnosticLog::ResetForTest() {
    std::lock_guard guard(DecideLock());
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
    m_fd.store(-1);
    m_state.store(State::Undecided);
}

void WriteLog(std::string_view message, const SourceLocation* where) {
    CDiagnosticLog::Instance().Write(message, where);
}

void LogTrace(const char* format, ...) {
    char stack[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(stack, sizeof stack, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof stack) {
        WriteLog(std::string_view(stack, static_cast<std::size_t>(n)), nullptr);
        return;
    }
    std::string heap(static_cast<std::size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(heap.data(), heap.size(), format, args);
    va_end(args);
    heap.resize(static_cast<std::size_t>(n));
    WriteLog(heap, nullptr);
}

bool CheckExpressionAt(bool failed, const char* expression, const SourceLocation& where) {
    if (!failed) return false;
    std::string message = "Expression: '";
    message += expression;
    message += "' was true.";
    WriteLog(message, &where);
    return true;
}

HRESULT CheckResultValueAt(HRESULT hr, const char* expression, const SourceLocation& where) {
    if (SUCCEEDED(hr)) return hr;
    // Win32-facility statuses are shown and looked up by their Win32 code.
    HRESULT shown = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : hr;
    std::string text = ErrorText(hr);
    std::string message = "Expression: '";
    message += expression;
    message += "' failed.\nError code ";
    message += HResultToString(shown);
    if (!text.empty()) {
        message += " : ";
        message += text;
    }
    WriteLog(message, &where);
    return hr;
}

bool CheckResultAt(HRESULT hr, const char* expression, const SourceLocation& where) {
    return SUCCEEDED(CheckResultValueAt(hr, expression, where));
}

HRESULT HResultFromCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const ComException& e) {
        return e.Result();
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT ReportException(const char* operation, const SourceLocation& where) {
    HRESULT hr = HResultFromCurrentException();
    try {
        std::string message = "Exception in ";
        message += operation;
        WriteLog(message, &where);
    } catch (...) {
        // Out of memory while reporting: the status still says what happened.
    }
    return hr;
}

namespace {

void AppendText(char* buffer, std::size_t& used, std::size_t size, const char* text) {
    while (*text && used + 1 < size) buffer[used++] = *text++;
}

void AppendNumber(char* buffer, std::size_t& used, std::size_t size, unsigned long value) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (n && used + 1 < size) buffer[used++] = digits[--n];
}

extern "C" void OnFault(int sig) {
    // Only async-signal-safe calls here: build the line by hand and write(2) it.
    char line[160];
    std::size_t used = 0;
    AppendText(line, used, sizeof line, "[ fault ]\nProcessor fault: signal ");
    AppendNumber(line, used, sizeof line, static_cast<unsigned long>(sig));
    AppendText(line, used, sizeof line, " in thread ");
    AppendNumber(line, used, sizeof line, static_cast<unsigned long>(gettid()));
    AppendText(line, used, sizeof line, "; the process ends.\n\n");
    int fd = CDiagnosticLog::Instance().FileDescriptor();
    if (fd >= 0) (void)!write(fd, line, used);
    (void)!write(STDERR_FILENO, line, used);
    // SA_RESETHAND restored the default action: the fault happens again and ends us.
    raise(sig);
}

}  // namespace

void InstallFaultHandler() {
    struct sigaction action {};
    action.sa_handler = OnFault;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigaction(sig, &action, nullptr);
}
