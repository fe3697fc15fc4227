// The hand-on hooks; see HandOn.h.
#include "intake/HandOn.h"

#include <new>

#include "com/DiagnosticLog.h"
#include "passthru/Passthru.h"

#include <mutex>

namespace {

// Guards the two hooks; nothing is called while it is held.
std::mutex s_lock;
RelayHook s_relay;
LocalServerHook s_localServer;

}  // namespace

void SetRelayHook(RelayHook hook) {
    std::lock_guard guard(s_lock);
    s_relay = std::move(hook);
}

void SetLocalServerHook(LocalServerHook hook) {
    std::lock_guard guard(s_lock);
    s_localServer = std::move(hook);
}

void HandToRelay(CProcessSession* session, CSocketHandle client, CSocketHandle onward,
                 const std::string& host, CBuffer* buffer) {
    RelayHook hook;
    {
        std::lock_guard guard(s_lock);
        hook = s_relay;
    }
    if (hook) {
        hook(session, std::move(client), std::move(onward), host, buffer);
        return;
    }
    CComPtr<IUnknown> ptrSession;
    if (session)
        session->QueryInterface(IUnknown::iid, reinterpret_cast<void**>(&ptrSession));
    // The relay owns itself from Start on, and takes the buffer whatever Start answers.
    auto* pPassthru = new (std::nothrow)
        CPassthru(std::move(ptrSession), std::move(client), std::move(onward), host);
    if (CheckExpression(!pPassthru)) {
        delete buffer;
        return;
    }
    CheckResult(pPassthru->Start(buffer));
}

void HandToLocalServer(CProcessSession* session, CSocketHandle client, CBuffer* buffer) {
    LocalServerHook hook;
    {
        std::lock_guard guard(s_lock);
        hook = s_localServer;
    }
    if (hook) {
        hook(session, std::move(client), buffer);
        return;
    }
    delete buffer;
}
