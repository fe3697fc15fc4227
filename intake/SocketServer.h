// CSocketServer (SOCKET_SERVER): where every diverted connection enters the program.
//
// It listens on 127.0.0.1 at a free port (the private port). The connect() library in an
// application connects there instead of the destination and writes the hand-off record
// (HandoffRecord.h); the server reads it, finds the process session that owns the key,
// answers with a 4-byte Winsock code and hands the connection on: to the local web
// server when the destination is the program itself (its private port or a user
// session's private port on 127.0.0.1), otherwise, after connecting onward itself, to the
// relay (HandOn.h). Only callers from 127.0.0.1 are served; anyone else is accepted and
// closed at once.
//
// Accepts are readiness waits on the listening socket. A record that came with the
// connection (the usual case) is handled in the accept's own step; the rest of one is
// read by a CAsyncRead whose handler runs where the bytes arrive (it only parses). The
// onward connect is non-blocking: one that is done at once (loopback) goes on in the same
// step, any other waits for writability, so a slow destination holds no pool thread. The
// answer is written before the hand-on, in that order, and the onward socket joins the
// pool's readiness watch only after the answer.
//
// It also owns the table of user sessions (keyed by SID string), gives out session keys
// to attaching processes (GetSessionKey) and to the program's own connections to a user's
// private port (PrivateNumberCallback), and keeps the list of registered browsers.
//
// Locks: m_lock guards the user-session table and the browser list; it comes before any
// user session's lock and is never held while connecting, writing or running a script
// event. m_lockConnections guards the connections in progress and is innermost but for
// the pool's and the sockets' own locks.
#pragma once

#include <sys/types.h>

#include <asio/ip/tcp.hpp>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "async/AsyncThreadPool.h"
#include "async/Buffer.h"
#include "async/SocketHandle.h"
#include "com/CriticalSection.h"
#include "com/Singleton.h"
#include "idl/TrayInterfaces.h"
#include "intake/HandoffRecord.h"
#include "sessions/UserSession.h"

class CSocketServer final : public IUserSessionOwner {
public:
    CSocketServer() = default;
    ~CSocketServer();
    CSocketServer(const CSocketServer&) = delete;
    CSocketServer& operator=(const CSocketServer&) = delete;

    // Binds and starts accepting, then reads the browser list from the machine's store.
    HRESULT Start();
    // Stops accepting, ends the connections still reading their record or connecting
    // onward (waiting for them), and stops every user session.
    void Stop();

    USHORT PrivatePort() const { return m_uPrivatePort; }

    // The key of the calling process's session: the caller's uid comes from the RPC call
    // being served (the program's own uid outside one). A non-interactive user, or an
    // executable that is not a registered browser, gets an all-zero key.
    HRESULT GetSessionKey(LONG processId, const BSTR& processName, IPellora* tray, GUID* key);
    HRESULT GetSessionKeyFor(uid_t uid, LONG processId, const BSTR& processName, IPellora* tray,
                             GUID* key);
    // Ends the process session under `key`; unknown keys change nothing.
    HRESULT TermSession(const GUID& key);

    // The connect() library's question inside this program: should a connection to `port`
    // (network order) be diverted? 1 with the private port and the key written back.
    int PrivateNumberCallback(USHORT* puPort, GUID* pclsid);
    static int LspPrivateNumberCallback(USHORT* puPort, GUID* pclsid);

    // Replaces the browser list (lower-case executable paths).
    void SetBrowsers(std::vector<std::string> browsers);
    // Connections whose record is being read or whose onward connect runs.
    std::size_t ConnectionsInProgress() const;
    std::size_t UserSessionCount() const;
    std::shared_ptr<CUserSession> FindUserSession(uid_t uid) const;

    // IUserSessionOwner
    void OnUserSessionEmpty(const std::shared_ptr<CUserSession>& session) override;

    // Whether the peer of an accepted connection may hand off (127.0.0.1 only).
    static bool CanAccept(const asio::ip::tcp::endpoint& peer);

private:
    struct Connecting;
    void WaitForAccept();
    void OnAccept(const std::error_code& ec);
    bool ReadSessionKey(DWORD error, CSocketHandle socket, CBuffer* buffer, bool endOfStream,
                        bool& keepBuffer);
    // True when the connection went on to an onward connect (it is tracked there).
    bool HandOff(const CSocketHandle& socket, CBuffer* buffer, const CHandoffRecord& record);
    void EndAcceptChain();
    void OnConnected(const std::shared_ptr<Connecting>& connecting, const std::error_code& ec);
    // Whether a non-blocking connect on `fd` has ended; its outcome goes to `ec`.
    static bool IsConnectDone(int fd, std::error_code* ec);
    bool RespondToConnect(const CSocketHandle& socket, long nWSAError, CBuffer* buffer);
    CComPtr<CProcessSession> FindProcessSession(const std::string& key);
    bool IsUserSessionPort(USHORT port);
    bool IsBrowser(const BSTR& processName);
    void Track(const CSocketHandle& socket);
    void Untrack(const CSocketHandle& socket);

    USHORT m_uPrivatePort = 0;

    // Guards the listening socket and m_bStopping: the accept chain and Stop take it to use
    // the socket. Innermost apart from the pool's and the sockets' own locks; nothing else
    // is taken while it is held.
    std::mutex m_lockListen;
    std::unique_ptr<asio::ip::tcp::acceptor> m_sockListen;
    bool m_bStopping = false;  // m_lockListen

    // Guards the user-session table and the browser list. Before any user session's lock.
    mutable CComAutoCriticalSection m_lock;
    std::vector<std::string> m_browsers;
    std::unordered_map<std::string, std::shared_ptr<CUserSession>> m_userSessions;

    // Connections in progress: their client sockets (to end them at Stop) and onward
    // connects (to cancel them). Guards both and signals m_idle when they are all gone.
    mutable std::mutex m_lockConnections;
    std::condition_variable m_idle;
    std::unordered_map<SOCKET, CSocketHandle> m_reading;
    std::vector<std::shared_ptr<Connecting>> m_connecting;
    bool m_bAcceptRunning = false;  // the accept chain has a wait or a handler in flight
};

using SOCKET_SERVER = CSingleton<CSocketServer, CComAutoCriticalSection>;
