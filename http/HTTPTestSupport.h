// Test helpers for the HTTP connection and response: a memory body stream that can fail,
// a stand-in for the local web server (request handler and socket owner with the busy-
// socket registration), and a client that reads HTTP responses from a blocking socket.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "async/SocketTestSupport.h"
#include "cfb/StorageInterfaces.h"
#include "com/Unknown.h"
#include "http/HTTPRequestHandler.h"
#include "http/HTTPResponse.h"
#include "http/HTTPSocketOwner.h"

namespace httptest {

using sockettest::kWaitMs;

// A body held in memory. `failAt` makes a read that reaches that offset fail;
// `claimedSize` makes Stat report another size than the bytes held.
class CTestStream final : public CComObjectRoot<CTestStream, IStream> {
public:
    explicit CTestStream(std::string bytes, ULONGLONG failAt = ~0ull, ULONGLONG claimedSize = ~0ull)
        : m_bytes(std::move(bytes)), m_failAt(failAt), m_claimedSize(claimedSize) {}

    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (m_pos + cb > m_failAt)
            return STG_E_READFAULT;
        const ULONG n = static_cast<ULONG>(std::min<ULONGLONG>(cb, m_bytes.size() - m_pos));
        std::memcpy(pv, m_bytes.data() + m_pos, n);
        m_pos += n;
        if (pcbRead)
            *pcbRead = n;
        return n == cb ? S_OK : S_FALSE;
    }
    HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Seek(LONGLONG move, DWORD origin, ULONGLONG* pNew) override {
        if (origin != STREAM_SEEK_SET)
            return E_NOTIMPL;
        m_pos = static_cast<ULONGLONG>(move);
        if (pNew)
            *pNew = m_pos;
        return S_OK;
    }
    HRESULT SetSize(ULONGLONG) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULONGLONG, ULONGLONG*, ULONGLONG*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULONGLONG, ULONGLONG, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULONGLONG, ULONGLONG, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG* pstat, DWORD) override {
        *pstat = STATSTG{};
        pstat->type = STGTY_STREAM;
        pstat->cbSize = m_claimedSize != ~0ull ? m_claimedSize : m_bytes.size();
        return S_OK;
    }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }

private:
    std::string m_bytes;
    ULONGLONG m_pos = 0;
    ULONGLONG m_failAt;
    ULONGLONG m_claimedSize;
};

// A new stream, held for the length of the expression that passes it on.
struct CStreamArg {
    CComPtr<IStream> ptr;
    operator IStream*() const { return ptr.Get(); }
};
inline CStreamArg MakeStream(std::string bytes, ULONGLONG failAt = ~0ull,
                             ULONGLONG claimedSize = ~0ull) {
    return {CComPtr<IStream>(MakeObject<CTestStream>(std::move(bytes), failAt, claimedSize))};
}

// The local web server's part, as the connection and the response see it: one response
// at a time per socket (the busy-socket registration), released by the response.
class CFakeServer final : public CHTTPRequestHandler, public CHTTPSocketOwner {
public:
    struct Seen {
        std::string method, path, body;
        ULONG errorStatus = 0;
    };
    // Fills the response to a request; by default the body names the request.
    std::function<void(const CHTTPRequest&, CHTTPResponse&)> fill;

    void ProcessRequest(const std::shared_ptr<CHTTPRequest>& request,
                        const CSocketHandle& sock) override {
        Record({request->GetMethodText(), request->GetPath(), request->GetBody(), 0});
        BlockSocket(sock);
        CComPtr<CHTTPResponse> response = CHTTPResponse::Create(request->Session());
        response->SetSocketOwner(this);
        if (request->GetMethod() == CHTTPRequest::Method::HEAD)
            response->SetHeadRequest(true);
        if (fill) {
            fill(*request, *response);
        } else {
            response->SetEntityStream(MakeStream(request->GetMethodText() + " " +
                                                 request->GetPath() + " [" + request->GetBody() +
                                                 "]"));
        }
        if (FAILED(response->Send(sock, false)))
            ReleaseSocket(sock);
    }
    void RespondError(const std::shared_ptr<CHTTPRequest>&, const CSocketHandle& sock,
                      ULONG status) override {
        Answer(sock, status);
    }
    void RespondInternalError(const std::shared_ptr<CHTTPRequest>&, const CSocketHandle& sock,
                              HRESULT) override {
        Answer(sock, 500);
    }

    void ReleaseSocket(const CSocketHandle& sock) override {
        std::lock_guard guard(m_lock);
        EXPECT_EQ(m_busy.erase(sock.socket()), 1u) << "a socket released that was not busy";
        ++m_releases;
        m_changed.notify_all();
    }

    // Waits until `count` responses have been released and no socket is busy.
    bool WaitForReleases(int count) {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                                  [&] { return m_releases >= count && m_busy.empty(); });
    }
    std::vector<Seen> SeenRequests() {
        std::lock_guard guard(m_lock);
        return m_seen;
    }
    int Releases() {
        std::lock_guard guard(m_lock);
        return m_releases;
    }

    // Marks the socket busy, first waiting while a response on it is in progress.
    void BlockSocket(const CSocketHandle& sock) {
        std::unique_lock guard(m_lock);
        m_changed.wait(guard, [&] { return !m_busy.count(sock.socket()); });
        m_busy.insert(sock.socket());
    }

private:
    void Record(Seen seen) {
        std::lock_guard guard(m_lock);
        m_seen.push_back(std::move(seen));
    }
    void Answer(const CSocketHandle& sock, ULONG status) {
        Record({"", "", "", status});
        BlockSocket(sock);
        CComPtr<CHTTPResponse> response = CHTTPResponse::Create(nullptr);
        response->SetSocketOwner(this);
        response->SetStatus(status);
        if (FAILED(response->Send(sock, true)))
            ReleaseSocket(sock);
    }

    // Guards everything below.
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::set<SOCKET> m_busy;
    int m_releases = 0;
    std::vector<Seen> m_seen;
};

// One response as a client reads it.
struct Response {
    std::string statusLine;
    std::map<std::string, std::string> headers;  // names as sent
    std::string body;
    bool complete = false;
};

// A client end that reads responses from a blocking socket; a receive time-out keeps a
// broken test from hanging.
class CClient {
public:
    explicit CClient(int fd) : m_fd(fd) {
        timeval timeout{kWaitMs / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }

    bool Send(const std::string& bytes) { return sockettest::SendInPieces(m_fd, bytes); }

    // Reads one response; its body by "Content-Length", or to the end of the stream when
    // there is none. `headOnly`: the answer to a HEAD request has no body.
    Response Read(bool headOnly = false) {
        Response r;
        std::size_t end;
        while ((end = m_pending.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill())
                return r;
        }
        std::string head = m_pending.substr(0, end);
        m_pending.erase(0, end + 4);
        std::size_t lineEnd = head.find("\r\n");
        r.statusLine = head.substr(0, lineEnd);
        while (lineEnd != std::string::npos) {
            const std::size_t next = head.find("\r\n", lineEnd + 2);
            const std::string line = head.substr(lineEnd + 2, next - lineEnd - 2);
            const std::size_t colon = line.find(": ");
            if (colon != std::string::npos)
                r.headers[line.substr(0, colon)] = line.substr(colon + 2);
            lineEnd = next;
        }
        const auto length = r.headers.find("Content-Length");
        if (headOnly) {
            r.complete = true;
        } else if (length != r.headers.end()) {
            const std::size_t size = std::stoul(length->second);
            while (m_pending.size() < size) {
                if (!Fill())
                    return r;
            }
            r.body = m_pending.substr(0, size);
            m_pending.erase(0, size);
            r.complete = true;
        } else {
            while (Fill()) {
            }
            r.body.swap(m_pending);
            r.complete = true;
        }
        return r;
    }

    // True when the server closes the connection without sending anything more.
    bool SeesClose() { return m_pending.empty() && sockettest::PeerSeesClose(m_fd); }

private:
    bool Fill() {
        char chunk[65536];
        ssize_t n;
        do {
            n = ::recv(m_fd, chunk, sizeof(chunk), 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false;
        m_pending.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int m_fd;
    std::string m_pending;
};

}  // namespace httptest
