// Where the service's Server object listens, for both ends of the attach call.
//
// The service serves its Server object over the object RPC on a Unix-domain socket. The
// installed service runs as root and listens on "/run/corvane/server.sock"; a service that
// a user starts by hand (a terminal, the tests) listens in that user's runtime directory.
// CORVANE_SERVER_SOCKET overrides both, so tests can run several services side by side.
//
// The connect() library and the tray program look for the service in the same order: the
// override, then the system socket when it exists, then the per-user socket.
#pragma once

#include <string>

// "/run/corvane/server.sock".
extern const char* const kSystemServerSocket;

// The path the service listens on: CORVANE_SERVER_SOCKET, else the system socket when the
// process runs as root, else PerUserServerSocket().
std::string ServiceServerSocketPath();

// The path a client connects to: CORVANE_SERVER_SOCKET, else the system socket when it
// exists, else PerUserServerSocket().
std::string ClientServerSocketPath();

// "$XDG_RUNTIME_DIR/corvane/server.sock", or "/tmp/corvane-<uid>/server.sock" when the
// runtime directory is not set.
std::string PerUserServerSocket();
