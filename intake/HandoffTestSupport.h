// Test helpers for the intake: hand-off records, a blocking loopback client and a
// recording hand-on hook.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "com/Guid.h"
#include "intake/HandOn.h"

// The bytes of a record for `address` and `key`, followed by `data`.
inline std::string MakeRecord(const std::string& address, const GUID& key,
                              const std::string& data = {}) {
    std::string out(4, '\0');
    const auto length = static_cast<std::uint32_t>(address.size());
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>(length >> (8 * i));
    out += address;
    auto bytes = key.ToBytes();
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return out + data;
}

inline std::string IPv4Address(const char* ip, unsigned short port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return std::string(reinterpret_cast<const char*>(&addr), sizeof addr);
}

inline std::string IPv6Address(const char* ip, unsigned short port) {
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(port);
    inet_pton(AF_INET6, ip, &addr.sin6_addr);
    return std::string(reinterpret_cast<const char*>(&addr), sizeof addr);
}

// A blocking TCP client on loopback, optionally from another local address.
class CTestClient {
public:
    explicit CTestClient(unsigned short port, const char* from = nullptr) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (from) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            inet_pton(AF_INET, from, &local.sin_addr);
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~CTestClient() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Connected() const { return m_connected; }
    bool Write(const std::string& bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Reads until `n` bytes came, the peer closed, or the bound passed.
    std::string Read(std::size_t n, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        std::string out;
        const auto until = std::chrono::steady_clock::now() + bound;
        while (out.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd p{m_fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buffer[4096];
            ssize_t got = ::recv(m_fd, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0) {
                m_closed = true;
                break;
            }
            out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }
    // True when the peer closes within the bound (reading and dropping what comes).
    bool WaitClosed(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        Read(1 << 20, bound);
        return m_closed;
    }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
};

// What the hand-on hooks received.
struct HandOnRecord {
    std::string target;  // "relay" or "local"
    LONG pid = 0;
    std::string host;
    std::string data;
    bool onward = false;
};

class CRecordingHandOn {
public:
    CRecordingHandOn() {
        SetRelayHook([this](CProcessSession* session, CSocketHandle, CSocketHandle onward,
                            const std::string& host, CBuffer* buffer) {
            Add({"relay", session->ProcessId(), host, Take(buffer), !onward.IsInvalid()});
        });
        SetLocalServerHook([this](CProcessSession* session, CSocketHandle, CBuffer* buffer) {
            Add({"local", session->ProcessId(), {}, Take(buffer), false});
        });
    }
    ~CRecordingHandOn() {
        SetRelayHook(nullptr);
        SetLocalServerHook(nullptr);
    }
    std::vector<HandOnRecord> WaitFor(std::size_t n) {
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_records.size() >= n; });
        return m_records;
    }

private:
    static std::string Take(CBuffer* buffer) {
        std::string data;
        if (buffer)
            data.assign(reinterpret_cast<const char*>(buffer->data()), buffer->length());
        delete buffer;
        return data;
    }
    void Add(HandOnRecord record) {
        std::lock_guard lock(m_mutex);
        m_records.push_back(std::move(record));
        m_cv.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<HandOnRecord> m_records;
};
