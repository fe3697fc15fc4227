// The diagnostic log, the expectation checks and exception reporting.
//
// The log is off unless configured: at the first entry the log asks its path source
// (the program installs one that reads the "Logging" value of the registry store) for
// a file path, opens that file for appending and keeps it open for the life of the
// process. Each entry is one write:
//
//     [ <date> <time> - <thread id> ]
//     <function signature>
//     <source file>, line <n>, last saved <source file's time stamp>
//     <message>
//     <blank line>
//
// where the location block (lines two and three) is present only for entries that
// carry a location. The checks describe the bad case: `if (CheckExpression(!p)) return
// E_POINTER;` logs "Expression: '!p' was true." with the location and lets the caller
// bail out; the program never stops on a failed check.
#pragma once

#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "com/Exception.h"
#include "com/HResult.h"

// Where an entry was written from: the full signature of the function, the source file
// as the build saw it, the line and the source file's last-modified time stamp.
struct SourceLocation {
    const char* signature;
    const char* file;
    unsigned line;
    const char* timestamp;
};

#define CV_HERE (SourceLocation{__PRETTY_FUNCTION__, __FILE__, __LINE__, __TIMESTAMP__})

class CDiagnosticLog {
public:
    // Gives the log file's path, or nothing when logging is off.
    using PathSource = std::function<std::optional<std::string>()>;

    static CDiagnosticLog& Instance();

    // Sets where the path comes from. Takes effect for the decision that the next
    // entry makes when the log is still undecided (or after ResetForTest).
    void SetPathSource(PathSource source);

    // Writes one entry; `where` is null for a plain trace entry.
    void Write(std::string_view message, const SourceLocation* where);

    // The log file's descriptor, or -1 when logging is off or undecided.
    int FileDescriptor() const;

    // Test hooks: a fixed clock and thread id, and a return to the undecided state
    // (closing the file).
    void SetClockForTest(std::time_t (*clock)(), unsigned long (*threadId)());
    void ResetForTest();

private:
    CDiagnosticLog() = default;
    void Decide();
    std::string Header() const;

    enum class State { Undecided, Off, Open };
    std::atomic<State> m_state{State::Undecided};
    std::FILE* m_file = nullptr;  // set once, under m_lockDecide
    std::atomic<int> m_fd{-1};
    PathSource m_pathSource;  // guarded by m_lockDecide
    std::time_t (*m_clock)() = nullptr;
    unsigned long (*m_threadId)() = nullptr;
};

// The design's writer: one entry with or without the location block.
void WriteLog(std::string_view message, const SourceLocation* where);

// A plain trace entry (no location), printf-style.
void LogTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

bool CheckExpressionAt(bool failed, const char* expression, const SourceLocation& where);
bool CheckResultAt(HRESULT hr, const char* expression, const SourceLocation& where);
HRESULT CheckResultValueAt(HRESULT hr, const char* expression, const SourceLocation& where);

// Logs "Exception in <operation>" with the location and gives the status that the
// current exception stands for. Call it inside a catch block.
HRESULT ReportException(const char* operation, const SourceLocation& where);

// Installs handlers for processor faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE) that write
// one line to the log and end the process with the same signal.
void InstallFaultHandler();

// The checks test their passing case inline: code on a hot path pays one branch, and
// the call that builds and writes the entry happens only for the bad case.
inline bool CheckResultInline(HRESULT hr, const char* expression, const SourceLocation& where) {
    return __builtin_expect(SUCCEEDED(hr), 1) || CheckResultAt(hr, expression, where);
}
inline HRESULT CheckResultValueInline(HRESULT hr, const char* expression,
                                      const SourceLocation& where) {
    return __builtin_expect(SUCCEEDED(hr), 1) ? hr : CheckResultValueAt(hr, expression, where);
}

// True when the condition (the bad case) holds; logs it then.
#define CheckExpression(condition)                      \
    (__builtin_expect(static_cast<bool>(condition), 0)  \
         ? CheckExpressionAt(true, #condition, CV_HERE) \
         : false)
// True when the status is a success; logs a failure.
#define CheckResult(status) CheckResultInline((status), #status, CV_HERE)
// The status itself; logs a failure.
#define CheckResultValue(status) CheckResultValueInline((status), #status, CV_HERE)
