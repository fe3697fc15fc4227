// CServiceAttach: keeps the tray program attached to the service.
//
// A thread connects to the service's Server object and calls
// `ISocketServer::Init(own pid, own executable, tray object, out port, out key)`, which
// binds the tray to the user's session (the service then tells it the private port). The
// tray object is handed over through a small handle that lets the program see when the
// service lets go of it:
//   - the connection is still up: the service released the tray on purpose (another
//     tray took the user's session); the tray program's work is done (`onReleased`).
//   - the connection ended: the service has gone (stopped or restarted); the tray forgets
//     what it was told (`onLost`) and attaches again once the service is back.
// Attempts that fail wait before the next one, doubling from half a second up to thirty;
// the thread only ever waits on its condition variable, so Stop ends it at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "rpc/IRpcCall.h"

// How long failed attempts wait: `first` after the first, doubling up to `most`.
struct AttachBackoff {
    std::chrono::milliseconds first{500};
    std::chrono::milliseconds most{30000};
};

class CServiceAttach {
public:
    struct Handlers {
        std::function<void(USHORT port)> onAttached;
        std::function<void()> onLost;
        std::function<void()> onReleased;
    };
    using Backoff = AttachBackoff;

    // `tray` answers the IPellora calls the service makes; `socketPath` empty means the
    // client path of the service's socket (idl/ServerSocket.h), looked up at each attempt.
    CServiceAttach(IRpcCall* tray, std::string socketPath, Handlers handlers, Backoff backoff = {});
    ~CServiceAttach();

    void Start();
    void Stop();

private:
    struct Watch;
    void Run();
    // One attach; true when the service holds the tray, with `watch` told when it lets go.
    bool Attach(const std::shared_ptr<Watch>& watch, std::shared_ptr<class CRpcConnection>* out);
    // Waits up to `delay` unless stopped; false when stopped.
    bool Pause(std::chrono::milliseconds delay);

    CComPtr<IRpcCall> m_ptrTray;
    const std::string m_strSocketPath;
    const Handlers m_handlers;
    const Backoff m_backoff;

    std::atomic<bool> m_bStop{false};
    std::mutex m_lock;  // guards m_ptrWatch and the pauses' waits; before a watch's lock
    std::condition_variable m_cv;
    std::shared_ptr<Watch> m_ptrWatch;  // the attachment being held
    std::thread m_thread;
};
