// Where the service's Server object listens, and where it keeps its browser list, for both
// ends of the attach call.
//
// The service serves its Server object over the object RPC on a Unix-domain socket. The
// installed service runs as root and listens on "/run/corvane/server.sock"; a service that
// a user starts by hand (a terminal, the tests) listens in that user's runtime directory.
// CORVANE_SERVER_SOCKET overrides both, so tests can run several services side by side.
//
// Beside the socket the service keeps the list of the browsers it diverts (their
// executable paths, one a line), which the connect() library reads when it cannot attach:
// a listed program then fails closed, any other program connects unfiltered. The installed
// service keeps it in "/var/lib/corvane/browsers" so that it is there at boot, before the
// service starts; any other service keeps it as "browsers" beside its socket.
//
// The tray program looks for the service in this order: the override, then the system
// socket when it exists, then the per-user socket. The connect() library, which is
// loaded into every process of an installed system, honours no environment variable
// there: on a machine with an installed service (the system socket or the system browser
// list exists) it uses only the system paths, so no user can point a browser at a
// service of their own. Environment variables are read with secure_getenv, so a set-user-id
// program never takes them from its caller.
#pragma once

#include <string>

// "/run/corvane/server.sock".
extern const char* const kSystemServerSocket;
// "/var/lib/corvane/browsers".
extern const char* const kSystemBrowserList;

// The path the service listens on: CORVANE_SERVER_SOCKET, else the system socket when the
// process runs as root, else PerUserServerSocket().
std::string ServiceServerSocketPath();

// The path of the browser list the service writes: beside CORVANE_SERVER_SOCKET when set,
// else the system list when the process runs as root, else beside PerUserServerSocket().
std::string ServiceBrowserListPath();

// The path a client connects to: CORVANE_SERVER_SOCKET, else the system socket when it
// exists, else PerUserServerSocket().
std::string ClientServerSocketPath();

// "$XDG_RUNTIME_DIR/corvane/server.sock", or "/tmp/corvane-<uid>/server.sock" when the
// runtime directory is not set.
std::string PerUserServerSocket();

// "browsers" in the directory of `socketPath`.
std::string BrowserListBeside(const std::string& socketPath);

// What the connect() library attaches to and which browser list it reads.
struct LibraryServicePaths {
    std::string socket;
    std::string browserList;
    bool installed = false;  // the system paths, whatever the environment says
};

// The connect() library's paths: the system socket and list when either of them exists,
// else CORVANE_SERVER_SOCKET or the per-user socket and the list beside it.
LibraryServicePaths LibraryPaths();
// The same decision with other system paths (the tests' stand-ins).
LibraryServicePaths LibraryPathsWith(const char* systemSocket, const char* systemList);
