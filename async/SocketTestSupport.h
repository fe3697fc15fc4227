// Loopback connections for the socket tests: one end as a CSocketHandle on the thread
// pool, the other a plain blocking descriptor that a test drives from its own thread.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "async/SocketHandle.h"

namespace sockettest {

// How long a test waits for an event before it fails instead of hanging.
constexpr DWORD kWaitMs = 60000;

// A connected pair on 127.0.0.1: `handle` is the accepted end, `peer` the connecting one.
struct CLoopbackPair {
    CSocketHandle handle;
    int peer = -1;

    CLoopbackPair() {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(listener, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        EXPECT_EQ(::listen(listener, 1), 0);
        EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        EXPECT_GE(accepted, 0);
        ::close(listener);
        EXPECT_EQ(handle.Attach(accepted), S_OK);
    }
    ~CLoopbackPair() { ClosePeer(); }
    CLoopbackPair(const CLoopbackPair&) = delete;
    CLoopbackPair& operator=(const CLoopbackPair&) = delete;

    void ClosePeer() {
        if (peer >= 0)
            ::close(peer);
        peer = -1;
    }
    // Closes the peer abortively: the other end sees a reset, not an orderly end.
    void ResetPeer() {
        linger option{1, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
        ClosePeer();
    }
};

// Byte i of a test stream: a pattern that shows lost, repeated or reordered bytes.
inline unsigned char PatternByte(std::size_t i) {
    return static_cast<unsigned char>((i * 131) ^ (i >> 11));
}
inline std::string Pattern(std::size_t size, std::size_t from = 0) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(PatternByte(from + i));
    return s;
}

// Sends everything, in pieces of varying size; false when the connection failed.
inline bool SendInPieces(int fd, const std::string& bytes) {
    static constexpr std::size_t kPieces[] = {1, 1000, 65536, 7, 300000, 4096};
    std::size_t sent = 0;
    for (std::size_t i = 0; sent < bytes.size(); ++i) {
        const std::size_t want = std::min(kPieces[i % std::size(kPieces)], bytes.size() - sent);
        const ssize_t n = ::send(fd, bytes.data() + sent, want, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Receives until the end of the stream (or a reset, or `limit` bytes).
inline std::string ReceiveAll(int fd, std::size_t limit = SIZE_MAX) {
    std::string all;
    char chunk[65536];
    while (all.size() < limit) {
        const ssize_t n = ::recv(fd, chunk, std::min(sizeof(chunk), limit - all.size()), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        all.append(chunk, static_cast<std::size_t>(n));
    }
    return all;
}

// True when the peer sees the connection end (an orderly end or a reset) without more data.
inline bool PeerSeesClose(int fd) {
    char c;
    ssize_t n;
    do {
        n = ::recv(fd, &c, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

}  // namespace sockettest
