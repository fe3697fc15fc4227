// Where a connection goes after its hand-off has been answered with 0: to the relay
// (a connection onward to another destination) or to the local web server (a
// connection to the program itself).
//
// Both take over the client socket, the onward socket where there is one, and the
// buffer holding the application's first data (which they free or hand on). The relay's
// default starts a CPassthru; until the local web server's HTTP connection is connected
// here, its default frees the buffer and releases the socket, which closes the
// connection after the answer. Tests install their own hooks to see what arrives.
#pragma once

#include <functional>
#include <string>

#include "async/Buffer.h"
#include "async/SocketHandle.h"
#include "sessions/ProcessSession.h"

using RelayHook =
    std::function<void(CProcessSession* session, CSocketHandle client, CSocketHandle onward,
                       const std::string& host, CBuffer* buffer)>;
using LocalServerHook =
    std::function<void(CProcessSession* session, CSocketHandle client, CBuffer* buffer)>;

// Installs a hook; an empty one restores the default.
void SetRelayHook(RelayHook hook);
void SetLocalServerHook(LocalServerHook hook);

void HandToRelay(CProcessSession* session, CSocketHandle client, CSocketHandle onward,
                 const std::string& host, CBuffer* buffer);
void HandToLocalServer(CProcessSession* session, CSocketHandle client, CBuffer* buffer);
