// The browser list lookup; see BrowserList.h.
#include "lsp/BrowserList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares the lines of a stream with one name, a byte at a time.
class CLineMatcher {
public:
    explicit CLineMatcher(const char* name) : m_name(name), m_size(std::strlen(name)) {}

    // True once a whole line has equalled the name.
    bool Feed(char c) {
        if (c == '\n')
            return EndLine();
        if (m_at < m_size && LowerAscii(m_name[m_at]) == LowerAscii(c))
            ++m_at;
        else
            m_differs = true;
        return false;
    }
    bool EndLine() {
        const bool match = !m_differs && m_at == m_size;
        m_at = 0;
        m_differs = false;
        return match;
    }

private:
    const char* m_name;
    std::size_t m_size;
    std::size_t m_at = 0;
    bool m_differs = false;
};

}  // namespace

BrowserListAnswer LookUpBrowser(const char* listPath, const char* executable) {
    // Only a regular file: a pipe or a device there must not make a connect wait.
    const int fd = ::open(listPath, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return BrowserListAnswer::NoList;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return BrowserListAnswer::NoList;
    }
    CLineMatcher matcher(executable);
    BrowserListAnswer answer = BrowserListAnswer::NotListed;
    std::size_t total = 0;
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            answer = BrowserListAnswer::NoList;
            break;
        }
        if (n == 0) {
            // The last line may lack its line end.
            if (*executable && matcher.EndLine())
                answer = BrowserListAnswer::Listed;
            break;
        }
        total += static_cast<std::size_t>(n);
        if (total > kMaxListBytes) {
            answer = BrowserListAnswer::NoList;
            break;
        }
        bool found = false;
        for (ssize_t i = 0; i < n && !found; ++i)
            found = matcher.Feed(buffer[i]);
        if (found && *executable) {
            answer = BrowserListAnswer::Listed;
            break;
        }
    }
    ::close(fd);
    return answer;
}
