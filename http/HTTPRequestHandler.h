// CHTTPRequestHandler: where a connection to the local web server hands its requests.
//
// A CHTTPConnection reads requests and gives each complete one, in the order they
// arrived, to its handler (the local web server). The calls of one connection never
// overlap: the next request is handed over only after the call for the previous one has
// returned. The handler answers on the socket it is given, one response at a time (its
// busy-socket registration, released through CHTTPSocketOwner, keeps the answers of one
// connection in order). The server installs itself as the process's handler when it
// starts; a connection may be given another one (tests).
#pragma once

#include <memory>

#include "async/SocketHandle.h"
#include "com/HResult.h"
#include "com/Types.h"
#include "http/HTTPRequest.h"

class CHTTPRequestHandler {
public:
    // A complete request (body included, `GetBody()`), to be answered on `sock`; the
    // connection stays open for the next one.
    virtual void ProcessRequest(const std::shared_ptr<CHTTPRequest>& request,
                                const CSocketHandle& sock) = 0;
    // A request that cannot be read: answer `status` (400, 413, 414, 431, 501) and close
    // the connection after it. The connection reads nothing more.
    virtual void RespondError(const std::shared_ptr<CHTTPRequest>& request,
                              const CSocketHandle& sock, ULONG status) = 0;
    // The same for a failure of the program itself (`hr`): the internal-error answer.
    virtual void RespondInternalError(const std::shared_ptr<CHTTPRequest>& request,
                                      const CSocketHandle& sock, HRESULT hr) = 0;

    // The process's handler, which new connections hand their requests to; null until one
    // is installed.
    static CHTTPRequestHandler* Instance();
    static void SetInstance(CHTTPRequestHandler* handler);

protected:
    ~CHTTPRequestHandler() = default;
};
