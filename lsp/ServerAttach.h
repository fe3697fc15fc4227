// CServerAttach: the one call through which a process attaches itself to the service.
//
// The connect() library lives in every program of the desktop, so it does not run the
// object RPC's connection machinery (a thread pool, proxies). It makes its single call
// synchronously: a blocking Unix-domain socket to the Server object's listener, the
// listener's root object (a GETROOT call), then the custom call
// `ISocketServer::Init(pid, executable path, no tray, out port, out key)`, encoded and
// decoded with the RPC frame codec. The socket is closed afterwards, which releases the
// root object on the service's side.
#pragma once

#include <string>

#include "com/Guid.h"
#include "com/HResult.h"

class CServerAttach {
public:
    // Calls Init on the Server object listening at `socketPath`. On success `*pPort` is
    // the private port (host order) and `*pKey` the session key, all zero when the
    // process is not to be diverted. Every step is bounded by `timeoutMs`.
    static HRESULT Init(const std::string& socketPath, LONG processId,
                        const std::string& executable, USHORT* pPort, GUID* pKey,
                        int timeoutMs = 10000);
};
