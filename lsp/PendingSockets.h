// CPendingSockets: the non-blocking sockets whose diverted connect is still open.
//
// A program that connects a non-blocking socket gets EINPROGRESS at once; the library
// has by then connected the socket to the service's private port (a loopback connect,
// which completes at once) and sent the hand-off record, but the service's 4-byte
// answer comes only after its own onward connect. Until that answer is taken off the
// stream the socket is "pending", and the library keeps the kernel's view from
// misleading the program:
//
//  - readiness: a wait for writability on a pending socket (poll, ppoll, select,
//    pselect, epoll) is turned into a wait for readability, which is what the answer's
//    arrival gives. When it arrives it is taken off the stream and the program sees
//    writable (connected) or writable with error and hang-up (refused), as the kernel
//    reports a finished or failed connect; epoll registrations made while pending are
//    registered under a tag of the library and given back unchanged once decided;
//  - getsockopt(SO_ERROR) answers 0 while pending (as the kernel does during a connect)
//    and the mapped errno once refused; a read answers EAGAIN while pending (or waits,
//    on a socket switched to blocking); reads and writes of a refused socket fail with
//    the mapped errno; a second connect answers EALREADY, EISCONN or the refusal.
//
// A connected socket leaves the table, so every later call costs one atomic load. The
// table's lock guards the entries and is held while the answer's bytes are read (never
// more than four, so the program's data stays on the stream), so two threads never both
// take them; it is released before any blocking wait.
#pragma once

#include <poll.h>
#include <sys/epoll.h>
#include <sys/select.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

class CPendingSockets {
public:
    enum class State { Untracked, Waiting, Connected, Refused };

    static CPendingSockets& Instance();

    // True while any socket is pending or refused: the only test on the fast path.
    bool Any() const { return m_count.load(std::memory_order_acquire) != 0; }

    void Add(int fd);
    // The program closed `fd`.
    void Forget(int fd);

    // Takes the answer of `fd` off the stream when it is there; with `wait`, waits for
    // it. Connected removes the entry; Refused keeps it and gives the errno.
    State Check(int fd, bool wait, int* error);
    // SO_ERROR of a tracked socket: the refusal once, else 0. False when untracked.
    bool SocketError(int fd, int* value);

    // epoll_ctl on a pending socket; false when `fd` is not pending (the caller makes
    // the plain call).
    bool EpollCtl(int epfd, int op, int fd, epoll_event* event, int* result);
    // Rewrites the events of pending sockets that one epoll_wait returned; gives the
    // number left.
    int FilterEpoll(int epfd, epoll_event* events, int count);

    struct PollSwap {
        nfds_t index;
        short events;
    };
    void PollEnter(pollfd* fds, nfds_t n, std::vector<PollSwap>* swaps);
    int PollLeave(pollfd* fds, int result, const std::vector<PollSwap>& swaps);

    struct SelectSwap {
        int fd;
        bool wantedRead;
    };
    // Moves pending sockets from `writefds` to `readfds` (both non-null).
    void SelectEnter(int nfds, fd_set* readfds, fd_set* writefds, std::vector<SelectSwap>* swaps);
    int SelectLeave(fd_set* readfds, fd_set* writefds, int result,
                    const std::vector<SelectSwap>& swaps);

private:
    struct Registration {
        int epfd;
        epoll_event event;  // the program's own
    };
    struct Entry {
        State state = State::Waiting;
        int error = 0;
        bool errorReported = false;
        unsigned char answer[4] = {};  // the answer's bytes taken so far
        std::size_t answerBytes = 0;
        std::uint32_t generation = 0;
        std::vector<Registration> registrations;
    };

    CPendingSockets() = default;
    State Decide(int fd, Entry& entry, long code);
    static std::uint64_t Tag(int fd, std::uint32_t generation);
    bool IsWaitingLocked(int fd) const;

    mutable std::mutex m_lock;
    std::unordered_map<int, Entry> m_entries;  // m_lock
    std::uint32_t m_nextGeneration = 1;        // m_lock
    std::atomic<int> m_count{0};               // the number of entries
};
