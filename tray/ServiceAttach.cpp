// Attaching the tray program to the service; see ServiceAttach.h.
#include "tray/ServiceAttach.h"

#include <unistd.h>

#include <filesystem>
#include <thread>

#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "idl/Identifiers.h"
#include "idl/ServerSocket.h"
#include "rpc/RpcConnection.h"

// What the handle tells the attach thread when the service lets go of it.
struct CServiceAttach::Watch {
    std::mutex lock;
    std::condition_variable cv;
    bool bGone = false;
};

namespace {

// How long a dropped handle waits for the connection's end to be seen: 50 × 10 ms.
constexpr int kGoneGraceSteps = 50;
constexpr std::chrono::milliseconds kGoneGraceStep{10};

// The object the service holds: it passes the calls on to the tray and, when the last
// reference goes, says so.
class CTrayHandle : public CComObjectRoot<CTrayHandle, IRpcCall> {
public:
    CTrayHandle(IRpcCall* tray, std::function<void()> gone)
        : m_ptrTray(tray), m_gone(std::move(gone)) {}
    ~CTrayHandle() override { m_gone(); }
    HRESULT RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs,
                    VARIANT* pResult) override {
        return m_ptrTray->RpcCall(iid, method, cArgs, rgArgs, pResult);
    }

private:
    CComPtr<IRpcCall> m_ptrTray;
    std::function<void()> m_gone;
};

std::string OwnExecutable() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("pellora") : path.string();
}

}  // namespace

CServiceAttach::CServiceAttach(IRpcCall* tray, std::string socketPath, Handlers handlers,
                               Backoff backoff)
    : m_ptrTray(tray),
      m_strSocketPath(std::move(socketPath)),
      m_handlers(std::move(handlers)),
      m_backoff(backoff) {}

CServiceAttach::~CServiceAttach() {
    Stop();
}

void CServiceAttach::Start() {
    if (!m_thread.joinable())
        m_thread = std::thread([this] { Run(); });
}

void CServiceAttach::Stop() {
    std::shared_ptr<Watch> watch;
    {
        std::lock_guard guard(m_lock);
        m_bStop = true;
        watch = m_ptrWatch;
    }
    m_cv.notify_all();
    if (watch) {
        // Taken and dropped so the waiter is either before its test or already waiting.
        { std::lock_guard guard(watch->lock); }
        watch->cv.notify_all();
    }
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

bool CServiceAttach::Pause(std::chrono::milliseconds delay) {
    std::unique_lock guard(m_lock);
    return !m_cv.wait_for(guard, delay, [this] { return m_bStop.load(); });
}

bool CServiceAttach::Attach(const std::shared_ptr<Watch>& watch,
                            std::shared_ptr<CRpcConnection>* out) {
    const std::string path = m_strSocketPath.empty() ? ClientServerSocketPath() : m_strSocketPath;
    std::shared_ptr<CRpcConnection> connection;
    HRESULT hr = CRpcConnection::Connect(path, &connection);
    if (FAILED(hr))
        return false;  // the service is not there (yet): not worth a log entry each time
    CComPtr<IUnknown> root;
    hr = connection->GetRoot(root.Receive());
    CComPtr<IRpcCall> server = ComQuery<IRpcCall>(root.Get());
    if (CheckExpression(FAILED(hr) || !server)) {
        connection->Close();
        return false;
    }
    HRESULT hrMake = S_OK;
    CComPtr<CTrayHandle> handle = MakeObject<CTrayHandle>(&hrMake, m_ptrTray.Get(), [watch] {
        {
            std::lock_guard guard(watch->lock);
            watch->bGone = true;
        }
        watch->cv.notify_all();
    });
    if (CheckExpression(!handle)) {
        connection->Close();
        return false;
    }
    USHORT port = 0;
    BSTR key;
    VARIANT args[5];
    for (auto& a : args)
        VariantInit(&a);
    args[0].vt = VT_I4;
    args[0].lVal = static_cast<LONG>(getpid());
    VariantSetBstr(&args[1], BSTR::FromUtf8(OwnExecutable()));
    args[2].vt = VT_UNKNOWN;
    args[2].punkVal = static_cast<IRpcCall*>(handle.Get());
    args[3].vt = VT_UI2 | VT_BYREF;
    args[3].puiVal = &port;
    args[4].vt = VT_BSTR | VT_BYREF;
    args[4].pbstrVal = &key;
    CComVariant result;
    hr = server->RpcCall(IID_ISocketServer, 1, 5, args, &result);
    VariantClear(&args[1]);
    // From here on only the service holds the handle.
    handle = nullptr;
    root = nullptr;
    server = nullptr;
    if (!CheckResult(hr)) {
        connection->Close();
        return false;
    }
    {
        std::lock_guard guard(watch->lock);
        if (watch->bGone) {
            connection->Close();
            return false;
        }
    }
    if (m_handlers.onAttached)
        m_handlers.onAttached(port);
    *out = std::move(connection);
    return true;
}

void CServiceAttach::Run() {
    std::chrono::milliseconds delay = m_backoff.first;
    for (;;) {
        if (m_bStop)
            return;
        auto watch = std::make_shared<Watch>();
        std::shared_ptr<CRpcConnection> connection;
        if (!Attach(watch, &connection)) {
            if (!Pause(delay))
                return;
            delay = std::min(delay * 2, m_backoff.most);
            continue;
        }
        delay = m_backoff.first;
        // Held until the service lets go of the tray, or Stop.
        {
            std::lock_guard guard(m_lock);
            m_ptrWatch = watch;
        }
        {
            // The handle's drop says the service let go; a connection that has ended says
            // the service went away (its references may outlive the connection for a while).
            std::unique_lock guard(watch->lock);
            while (!watch->cv.wait_for(guard, kGoneGraceStep * 10,
                                       [&] { return watch->bGone || m_bStop.load(); })) {
                if (!connection->IsConnected())
                    break;
            }
        }
        {
            std::lock_guard guard(m_lock);
            m_ptrWatch = nullptr;
        }
        if (m_bStop) {
            connection->Close();
            return;
        }
        // A service that goes away drops the tray's handle as its connections end, and
        // the end of this connection may be seen a moment later: give it that moment
        // before taking the drop for a deliberate release (which leaves the connection up).
        bool released = connection->IsConnected();
        for (int i = 0; released && i < kGoneGraceSteps && !m_bStop; ++i) {
            std::this_thread::sleep_for(kGoneGraceStep);
            released = connection->IsConnected();
        }
        connection->Close();
        if (released) {
            LogTrace("CServiceAttach: the service released the tray\n");
            if (m_handlers.onReleased)
                m_handlers.onReleased();
            return;
        }
        LogTrace("CServiceAttach: the service has gone; attaching again when it is back\n");
        if (m_handlers.onLost)
            m_handlers.onLost();
    }
}
