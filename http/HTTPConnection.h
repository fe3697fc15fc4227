// CHTTPConnection: one client connection to the local web server.
//
// The socket server hands over the accepted socket, the connection's process session
// and any bytes it read past the hand-off. From `Start` on the connection owns itself:
//
// 1. One reader (CAsyncRead) keeps receiving from the socket. Received bytes are
//    collected until `CHTTPRequest` (local mode) reports a complete request, body
//    included.
// 2. Each complete request goes to the handler (the local web server), which answers it
//    on the socket. Bytes after a request are kept: they start the next one, so
//    requests pipelined in one segment are handed over in order, one call at a time;
//    the handler's busy-socket registration then answers them one at a time. Nothing
//    is read while a handler call is running.
// 3. A request that cannot be read is handed to the handler's error answer (which
//    closes the connection after it), and nothing more is read.
// 4. The connection closes after an idle time-out (30 seconds unless set otherwise)
//    without a received byte while no request is being handed over, on a read error,
//    when the client has closed its sending side and every request before that has
//    been handed over, or after a request that asked for the connection to close
//    ("Connection: close", or HTTP/1.0 without "Connection: keep-alive").
//
// A connection that ends by itself (the client's end of stream, a bad request) only
// drops its copy of the socket: a response still being written keeps the socket open
// until it has gone out. The idle time-out and read errors shut the socket down in
// both directions.
//
// The idle time-out is a registered wait of the thread pool on an event that every
// finished hand-over, and every arrival that hands nothing over, signals; a wait that
// times out stops the connection. References: one for the registered wait (dropped by Term) and one
// for the reader (dropped by its last completion); the connection deletes itself when both have
// gone. The reader's completions run one at a time, so the request being read and the
// collected bytes are touched by one thread at a time and need no lock.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "async/AsyncThreadPool.h"
#include "async/Buffer.h"
#include "async/Event.h"
#include "async/InstanceCount.h"
#include "async/SocketHandle.h"
#include "com/HResult.h"
#include "com/Unknown.h"
#include "http/HTTPRequest.h"
#include "http/HTTPRequestHandler.h"

class CHTTPConnection {
public:
    static constexpr DWORD kDefaultIdleTimeoutMs = 30000;

    // `ptrSession` is the connection's process session (may be null), passed to every
    // request. `pHandler` answers the requests; null means the process's handler
    // (CHTTPRequestHandler::Instance()). Create it with new (std::nothrow) and call
    // Start.
    CHTTPConnection(CComPtr<IUnknown> ptrSession, CSocketHandle socket,
                    CHTTPRequestHandler* pHandler = nullptr);

    // Before Start: the idle time-out in milliseconds, and the port that names the
    // server in requests without a "Host" header (by default the socket's local port).
    void SetIdleTimeout(DWORD timeoutMs) { m_nIdleTimeoutMs = timeoutMs; }
    void SetLocalPort(USHORT port) { m_nLocalPort = port; }

    // Starts serving. `buffer` (may be null or empty) holds bytes already received; the
    // connection takes it in every case. From here on the connection owns itself; on
    // failure it has already gone and the socket is the caller's copy only.
    HRESULT Start(CBuffer* buffer);

    // Connections alive now (constructed and not yet deleted).
    static const CInstanceCount& Instances();

private:
    ~CHTTPConnection();
    CHTTPConnection(const CHTTPConnection&) = delete;
    CHTTPConnection& operator=(const CHTTPConnection&) = delete;

    void AddRef();
    void Release();

    HRESULT Read(CBuffer* buffer);
    // The registered wait: signalled on activity; a time-out means the connection idled.
    void OnReadReady(int timedOut, void* context);
    bool OnRead(DWORD error, CSocketHandle sock, CBuffer* buffer, bool endOfStream,
                bool& takeBuffer);
    // Parses and hands over every complete request in the collected bytes. False when
    // nothing more is to be read.
    bool ProcessData(bool endOfStream);
    // Whether the client asked for the connection to end after this request: "Connection:
    // close", or HTTP/1.0 (and 0.9) without "Connection: keep-alive".
    static bool WantsClose(const CHTTPRequest& request);
    // Hands a complete request, or a failed one, to the handler.
    void Dispatch(const std::shared_ptr<CHTTPRequest>& request, bool bFailed);

    // Ends the connection: with `bShutdown`, the socket is shut down in both directions
    // first. Only the first call acts.
    void Stop(bool bShutdown = true);
    void Term();

    std::atomic<long> m_nRefs{0};
    CComPtr<IUnknown> m_ptrSession;
    CSocketHandle m_socket;
    CHTTPRequestHandler* m_pHandler;
    std::shared_ptr<CEvent> m_hEvent;
    WAITHANDLE m_wait = 0;
    std::atomic<bool> m_bStopping{false};
    // Set while a request is with the handler: the idle time-out does not count then.
    std::atomic<bool> m_bDispatching{false};
    DWORD m_nIdleTimeoutMs = kDefaultIdleTimeoutMs;
    USHORT m_nLocalPort = 0;

    // The reader's side; touched only by the reader's completions, one at a time.
    std::shared_ptr<CHTTPRequest> m_pRequest;  // the request being read; null between
    std::string m_strData;       // bytes received and not yet used by a complete request
    bool m_bHandedOver = false;  // a request was handed over since the last arrival
};
