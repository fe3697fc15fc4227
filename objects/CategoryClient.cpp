// The classification server's client: connect, normalise, resolve, ask, check the reply.
#include "objects/CategoryClient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "com/DiagnosticLog.h"
#include "http/URLCracker.h"
#include "idl/WinsockCodes.h"
#include "objects/CategoryProtocol.h"

namespace {

constexpr int kTimeoutSeconds = 30;
// The URL parser sees at most this many characters of the normalised URL.
constexpr std::size_t kMaxParsedChars = 1024;

class CSocket {
public:
    CSocket() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)) {}
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    ~CSocket() { Close(); }
    int Get() const { return m_fd; }
    void Close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

HRESULT WinsockResult(int err) {
    return HRESULT_FROM_WIN32(WinsockErrorFromErrno(err));
}

using AddrInfoPtr = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

int Resolve(const std::string& host, const char* service, AddrInfoPtr* pList) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* pResult = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), service, &hints, &pResult);
    pList->reset(rc == 0 ? pResult : nullptr);
    return rc;
}

// Connects to the first address of the server that accepts; false when none does.
bool ConnectToServer(int fd, std::string_view strServer) {
    const std::size_t colon = strServer.find(':');
    const std::string host(strServer.substr(0, colon));
    const std::string port =
        colon == std::string_view::npos ? std::string() : std::string(strServer.substr(colon + 1));
    AddrInfoPtr list(nullptr, &freeaddrinfo);
    if (Resolve(host, port.empty() ? nullptr : port.c_str(), &list) == 0) {
        for (const addrinfo* p = list.get(); p; p = p->ai_next) {
            sockaddr_in addr;
            if (p->ai_addrlen != sizeof addr)
                continue;
            std::memcpy(&addr, p->ai_addr, sizeof addr);
            if (addr.sin_port == 0)
                addr.sin_port = htons(4004);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
                return true;
        }
    }
    WriteLog("CSP Server is not available at " + host + ":" +
                 (port.empty() ? std::string(CCategoryProtocol::kDefaultPort) : port) + "!",
             nullptr);
    return false;
}

HRESULT SendAll(int fd, const std::vector<BYTE>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (CheckExpression(n <= 0))
            return WinsockResult(n < 0 ? errno : ECONNRESET);
        done += static_cast<std::size_t>(n);
    }
    return S_OK;
}

// S_OK when all `size` bytes arrived, S_FALSE when the server closed first.
HRESULT ReceiveAll(int fd, BYTE* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::recv(fd, data + done, size - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (CheckExpression(n < 0))
            return WinsockResult(errno);
        if (n == 0)
            return S_FALSE;
        done += static_cast<std::size_t>(n);
    }
    return S_OK;
}

}  // namespace

HRESULT CCategoryClient::Query(std::string_view strServer, std::string_view strURL,
                               std::string* pstrCategories, bool* pbSuccess) {
    if (CheckExpression(!pstrCategories || !pbSuccess))
        return E_POINTER;
    *pbSuccess = false;
    try {
        CSocket sock;
        if (CheckExpression(sock.Get() < 0))
            return WinsockResult(errno);
        const timeval timeout{kTimeoutSeconds, 0};
        // On Linux the send time-out bounds connect() as well.
        if (CheckExpression(
                ::setsockopt(sock.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0 ||
                ::setsockopt(sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0))
            return WinsockResult(errno);
        if (!ConnectToServer(sock.Get(), strServer))
            return S_OK;

        const std::string strNormal = CCategoryProtocol::NormalizeURL(strURL);
        if (CheckExpression(strNormal.size() > CCategoryProtocol::kMaxUrlBytes))
            return E_INVALIDARG;
        CURLCracker::Parts parts;
        const HRESULT hrCrack =
            CURLCracker::Crack(std::string_view(strNormal).substr(0, kMaxParsedChars), &parts);
        if (FAILED(hrCrack))
            return hrCrack;
        const bool bIsURLChecked = hrCrack == S_OK && !parts.strHost.empty();
        if (CheckExpression(!bIsURLChecked))
            return E_INVALIDARG;

        AddrInfoPtr list(nullptr, &freeaddrinfo);
        int ret = Resolve(parts.strHost, nullptr, &list);
        if (ret != 0)
            ret = Resolve(parts.strHost, nullptr, &list);
        ret = static_cast<int>(WinsockErrorFromResolver(ret));
        if (CheckExpression(ret != 0 || !list || list->ai_addrlen != sizeof(sockaddr_in)))
            return HRESULT_FROM_WIN32(ret ? ret : WSAHOST_NOT_FOUND);
        sockaddr_in addr;
        std::memcpy(&addr, list->ai_addr, sizeof addr);

        std::vector<BYTE> request;
        HRESULT hr = CCategoryProtocol::BuildRequest(addr.sin_addr.s_addr, strNormal, &request);
        if (!CheckResult(hr))
            return hr;
        hr = SendAll(sock.Get(), request);
        if (FAILED(hr))
            return hr;

        BYTE header[CCategoryProtocol::kReplyHeaderSize];
        hr = ReceiveAll(sock.Get(), header, sizeof header);
        if (FAILED(hr))
            return hr;
        if (CheckExpression(hr == S_FALSE))
            return S_OK;  // the server closed before its reply header was complete
        const auto reply = CCategoryProtocol::ParseReplyHeader(header);
        if (const char* pszRefused = CCategoryProtocol::CheckReplyHeader(reply)) {
            CheckExpressionAt(true, pszRefused, CV_HERE);
            return S_OK;
        }
        // Categories past the first 128 are never read; closing drops them.
        const std::size_t count =
            std::min<std::size_t>(reply.count, CCategoryProtocol::kMaxCategories);
        std::vector<BYTE> categories(4 * count);
        hr = ReceiveAll(sock.Get(), categories.data(), categories.size());
        sock.Close();
        if (FAILED(hr))
            return hr;
        if (CheckExpression(hr == S_FALSE))
            return S_OK;  // closed before the announced categories arrived
        *pstrCategories = CCategoryProtocol::FormatCategories(categories.data(), count);
        *pbSuccess = true;
        return S_OK;
    } catch (...) {
        return ReportException("CCategoryClient::Query", CV_HERE);
    }
}
