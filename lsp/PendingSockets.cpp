// Pending diverted connects; see PendingSockets.h.
#include "lsp/PendingSockets.h"

#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>

#include "idl/WinsockCodes.h"
#include "lsp/RealCalls.h"

namespace {

// Marks the epoll data of a registration that the library made in the program's place:
// the high bits no user-space pointer or small integer has, the generation, the fd.
constexpr std::uint64_t kTag = 0xC0FA000000000000ull;
constexpr std::uint64_t kTagMask = 0xFFFF000000000000ull;

constexpr short kRefusedPoll = POLLOUT | POLLERR | POLLHUP;

}  // namespace

CPendingSockets& CPendingSockets::Instance() {
    // Never destroyed: wrappers may run during and after the program's exit handlers.
    static CPendingSockets* const instance = new CPendingSockets;
    return *instance;
}

std::uint64_t CPendingSockets::Tag(int fd, std::uint32_t generation) {
    return kTag | (std::uint64_t(generation & 0xFFFF) << 32) | std::uint32_t(fd);
}

void CPendingSockets::Add(int fd) {
    // A child forked while another thread holds the lock must not inherit it taken.
    static std::once_flag forkHandlers;
    std::call_once(forkHandlers, [] {
        pthread_atfork([] { Instance().m_lock.lock(); }, [] { Instance().m_lock.unlock(); },
                       [] { Instance().m_lock.unlock(); });
    });
    std::lock_guard lock(m_lock);
    Entry entry;
    entry.generation = m_nextGeneration++;
    if (m_entries.insert_or_assign(fd, std::move(entry)).second)
        m_count.fetch_add(1, std::memory_order_release);
}

void CPendingSockets::Forget(int fd) {
    std::lock_guard lock(m_lock);
    if (m_entries.erase(fd))
        m_count.fetch_sub(1, std::memory_order_release);
}

bool CPendingSockets::IsWaitingLocked(int fd) const {
    auto it = m_entries.find(fd);
    return it != m_entries.end() && it->second.state == State::Waiting;
}

CPendingSockets::State CPendingSockets::Decide(int fd, Entry& entry, long code) {
    // The program's own epoll registrations come back; the kernel then reports the
    // socket as it is (writable, or closed by the service after a refusal).
    for (Registration& r : entry.registrations)
        real::epoll_ctl(r.epfd, EPOLL_CTL_MOD, fd, &r.event);
    entry.registrations.clear();
    if (code == 0) {
        m_entries.erase(fd);
        m_count.fetch_sub(1, std::memory_order_release);
        return State::Connected;
    }
    entry.state = State::Refused;
    entry.error = ErrnoFromWinsockError(code);
    return State::Refused;
}

CPendingSockets::State CPendingSockets::Check(int fd, bool wait, int* error) {
    std::unique_lock lock(m_lock);
    for (;;) {
        auto it = m_entries.find(fd);
        if (it == m_entries.end())
            return State::Untracked;
        Entry& entry = it->second;
        if (entry.state == State::Refused) {
            *error = entry.error;
            return State::Refused;
        }
        // Never more than the answer's bytes: what follows is the program's data.
        ssize_t n = real::recv(fd, entry.answer + entry.answerBytes,
                               sizeof entry.answer - entry.answerBytes, MSG_DONTWAIT);
        if (n > 0)
            entry.answerBytes += static_cast<std::size_t>(n);
        if (entry.answerBytes == sizeof entry.answer) {
            std::int32_t code = 0;
            for (int i = 0; i < 4; ++i)
                code |= std::int32_t(entry.answer[i]) << (8 * i);
            State state = Decide(fd, entry, code);
            *error = state == State::Refused ? entry.error : 0;
            return state;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
            if (!wait)
                return State::Waiting;
            lock.unlock();
            pollfd p{fd, POLLIN, 0};
            real::poll(&p, 1, -1);
            lock.lock();
            continue;
        }
        // The service closed or reset the connection without an answer: the connect
        // failed, and the program must not go on as if it had reached its destination.
        State state = Decide(fd, entry, WinsockErrorFromErrno(n == 0 ? ECONNREFUSED : errno));
        *error = entry.error;
        return state;
    }
}

bool CPendingSockets::SocketError(int fd, int* value) {
    int error = 0;
    State state = Check(fd, false, &error);
    if (state == State::Untracked || state == State::Connected)
        return state == State::Connected ? (*value = 0, true) : false;
    *value = 0;
    if (state == State::Refused) {
        std::lock_guard lock(m_lock);
        auto it = m_entries.find(fd);
        if (it != m_entries.end() && !it->second.errorReported) {
            it->second.errorReported = true;
            *value = error;
        }
    }
    return true;
}

bool CPendingSockets::EpollCtl(int epfd, int op, int fd, epoll_event* event, int* result) {
    std::lock_guard lock(m_lock);
    auto it = m_entries.find(fd);
    if (it == m_entries.end() || it->second.state != State::Waiting)
        return false;
    Entry& entry = it->second;
    std::erase_if(entry.registrations, [epfd](const Registration& r) { return r.epfd == epfd; });
    if (op == EPOLL_CTL_DEL || !event || !(event->events & EPOLLOUT))
        return false;
    entry.registrations.push_back(Registration{epfd, *event});
    // Level-triggered and never one-shot, so a partial or early wake-up is not lost.
    epoll_event stand{};
    stand.events = EPOLLIN | EPOLLRDHUP;
    stand.data.u64 = Tag(fd, entry.generation);
    *result = real::epoll_ctl(epfd, op, fd, &stand);
    if (*result != 0)
        entry.registrations.pop_back();
    return true;
}

int CPendingSockets::FilterEpoll(int epfd, epoll_event* events, int count) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        epoll_event ev = events[i];
        if ((ev.data.u64 & kTagMask) != kTag) {
            events[kept++] = ev;
            continue;
        }
        const int fd = static_cast<int>(ev.data.u64 & 0xFFFFFFFFu);
        epoll_event own{};
        bool found = false;
        {
            std::lock_guard lock(m_lock);
            auto it = m_entries.find(fd);
            if (it != m_entries.end() && Tag(fd, it->second.generation) == ev.data.u64) {
                for (const Registration& r : it->second.registrations) {
                    if (r.epfd == epfd) {
                        own = r.event;
                        found = true;
                    }
                }
            }
        }
        if (!found)
            continue;  // left over from before the registration was given back
        int error = 0;
        State state = Check(fd, false, &error);
        if (state == State::Waiting || state == State::Untracked)
            continue;
        ev.data = own.data;
        ev.events = state == State::Connected ? EPOLLOUT : (EPOLLOUT | EPOLLERR | EPOLLHUP);
        events[kept++] = ev;
    }
    return kept;
}

void CPendingSockets::PollEnter(pollfd* fds, nfds_t n, std::vector<PollSwap>* swaps) {
    std::lock_guard lock(m_lock);
    for (nfds_t i = 0; i < n; ++i) {
        if (fds[i].fd < 0 || !(fds[i].events & POLLOUT) || !IsWaitingLocked(fds[i].fd))
            continue;
        swaps->push_back(PollSwap{i, fds[i].events});
        fds[i].events = static_cast<short>((fds[i].events & ~POLLOUT) | POLLIN);
    }
}

int CPendingSockets::PollLeave(pollfd* fds, int result, const std::vector<PollSwap>& swaps) {
    for (const PollSwap& swap : swaps) {
        pollfd& p = fds[swap.index];
        p.events = swap.events;
        if (result <= 0 || p.revents == 0)
            continue;
        int error = 0;
        switch (Check(p.fd, false, &error)) {
            case State::Connected:
                p.revents = POLLOUT;
                break;
            case State::Refused:
                p.revents = kRefusedPoll;
                break;
            default:
                p.revents = 0;
                --result;
                break;
        }
    }
    return result;
}

void CPendingSockets::SelectEnter(int nfds, fd_set* readfds, fd_set* writefds,
                                  std::vector<SelectSwap>* swaps) {
    std::lock_guard lock(m_lock);
    for (const auto& [fd, entry] : m_entries) {
        if (fd >= nfds || fd >= FD_SETSIZE || entry.state != State::Waiting ||
            !FD_ISSET(fd, writefds))
            continue;
        swaps->push_back(SelectSwap{fd, FD_ISSET(fd, readfds) != 0});
        FD_CLR(fd, writefds);
        FD_SET(fd, readfds);
    }
}

int CPendingSockets::SelectLeave(fd_set* readfds, fd_set* writefds, int result,
                                 const std::vector<SelectSwap>& swaps) {
    if (result < 0)
        return result;
    for (const SelectSwap& swap : swaps) {
        if (!FD_ISSET(swap.fd, readfds))
            continue;
        FD_CLR(swap.fd, readfds);
        --result;
        int error = 0;
        State state = Check(swap.fd, false, &error);
        if (state == State::Connected || state == State::Refused) {
            FD_SET(swap.fd, writefds);
            ++result;
            if (state == State::Refused && swap.wantedRead) {
                FD_SET(swap.fd, readfds);
                ++result;
            }
        }
    }
    return result;
}
