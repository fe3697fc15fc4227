// The synchronous attach call; see ServerAttach.h.
#include "lsp/ServerAttach.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "com/DiagnosticLog.h"
#include "idl/Identifiers.h"
#include "rpc/RpcFrame.h"

namespace {

constexpr std::int32_t kInitOrdinal = 1;
constexpr UINT kPortArg = 3;
constexpr UINT kKeyArg = 4;

// Owns the socket of the call.
class CSocket {
public:
    explicit CSocket(int fd) : m_fd(fd) {}
    ~CSocket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// The only object a reply carries here is the root object: remember its id. The call
// sends no objects of its own.
class CRootMap final : public IRpcObjectMap {
public:
    HRESULT MarshalObject(IUnknown*, RpcObjectRef*) override { return E_NOTIMPL; }
    HRESULT UnmarshalObject(const RpcObjectRef& ref, VARTYPE, void** ppv) override {
        *ppv = nullptr;
        if (ref.kind != RpcObjectRef::SenderObject)
            return E_INVALIDARG;
        m_id = ref.id;
        m_found = true;
        return S_OK;
    }
    bool m_found = false;
    std::uint64_t m_id = 0;
};

HRESULT SendAll(int fd, const std::vector<BYTE>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return HResultFromErrno(n < 0 ? errno : EPIPE);
        done += static_cast<std::size_t>(n);
    }
    return S_OK;
}

HRESULT ReceiveAll(int fd, BYTE* p, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::recv(fd, p + done, size - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return HResultFromErrno(errno);
        if (n == 0)
            return RPC_E_DISCONNECTED;
        done += static_cast<std::size_t>(n);
    }
    return S_OK;
}

// Sends one call frame and reads its reply.
HRESULT Call(int fd, const RpcCallHeader& header, VARIANT* args, UINT cArgs, CRootMap* map,
             RpcFrame* frame) {
    std::vector<BYTE> out;
    HRESULT hr = CRpcFrameCodec::EncodeCall(header, args, cArgs, nullptr, 0, nullptr, out);
    if (!CheckResult(hr))
        return hr;
    hr = SendAll(fd, out);
    if (!CheckResult(hr))
        return hr;
    std::vector<BYTE> in(kRpcHeaderSize);
    hr = ReceiveAll(fd, in.data(), in.size());
    if (!CheckResult(hr))
        return hr;
    std::size_t frameSize = 0;
    hr = CRpcFrameCodec::ParseHeader(in.data(), in.size(), &frameSize);
    if (CheckExpression(hr != S_OK))
        return RPC_E_INVALID_DATA;
    in.resize(frameSize);
    hr = ReceiveAll(fd, in.data() + kRpcHeaderSize, frameSize - kRpcHeaderSize);
    if (!CheckResult(hr))
        return hr;
    hr = CRpcFrameCodec::Decode(in.data(), in.size(), map, frame);
    if (!CheckResult(hr))
        return hr;
    if (CheckExpression(frame->type != RpcFrameType::Reply || frame->reply.callId != header.callId))
        return RPC_E_INVALID_DATA;
    return S_OK;
}

}  // namespace

HRESULT CServerAttach::Init(const std::string& socketPath, LONG processId,
                            const std::string& executable, USHORT* pPort, GUID* pKey,
                            int timeoutMs) {
    try {
        if (CheckExpression(!pPort || !pKey))
            return E_POINTER;
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        if (CheckExpression(socketPath.empty() || socketPath.size() >= sizeof where.sun_path))
            return E_INVALIDARG;
        std::memcpy(where.sun_path, socketPath.data(), socketPath.size());

        CSocket sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (CheckExpression(sock.Get() < 0))
            return HResultFromErrno(errno);
        timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(sock.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        // A missing service is the normal case of an unfiltered desktop: no log entry.
        if (::connect(sock.Get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0)
            return HResultFromErrno(errno);

        CRootMap map;
        RpcFrame root;
        HRESULT hr = Call(sock.Get(), RpcCallHeader{1, 0, GUID_NULL, 0, RPC_CALL_GETROOT, 0},
                          nullptr, 0, &map, &root);
        if (!CheckResult(hr))
            return hr;
        if (!CheckResult(root.reply.hr))
            return root.reply.hr;
        if (CheckExpression(!map.m_found))
            return E_NOINTERFACE;

        USHORT port = 0;
        BSTR keyText;
        CComVariant pid(processId);
        CComVariant name(BSTR::FromUtf8(executable));
        CComVariant tray(static_cast<IUnknown*>(nullptr));
        VARIANT args[5];
        args[0] = pid;
        args[1] = name;
        args[2] = tray;
        VariantInit(&args[kPortArg]);
        args[kPortArg].vt = VT_BYREF | VT_UI2;
        args[kPortArg].puiVal = &port;
        VariantInit(&args[kKeyArg]);
        args[kKeyArg].vt = VT_BYREF | VT_BSTR;
        args[kKeyArg].pbstrVal = &keyText;

        RpcFrame reply;
        hr = Call(sock.Get(),
                  RpcCallHeader{2, map.m_id, IID_ISocketServer, kInitOrdinal, RPC_CALL_CUSTOM, 0},
                  args, 5, &map, &reply);
        if (!CheckResult(hr))
            return hr;
        if (!CheckResult(reply.reply.hr))
            return reply.reply.hr;
        bool gotPort = false;
        std::optional<GUID> key;
        for (auto& [index, value] : reply.reply.outs) {
            if (index == kPortArg && value.vt == VT_UI2) {
                port = value.uiVal;
                gotPort = true;
            } else if (index == kKeyArg && value.vt == VT_BSTR) {
                key = ParseGUID(Utf16ToUtf8(VariantText(value)));
            }
        }
        if (CheckExpression(!gotPort || !key))
            return RPC_E_INVALID_DATA;
        *pPort = port;
        *pKey = *key;
        return S_OK;
    } catch (...) {
        return ReportException("CServerAttach::Init", CV_HERE);
    }
}
