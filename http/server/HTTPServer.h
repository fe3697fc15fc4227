// CHTTPServer (`HTTP_SERVER`): the local web server, which answers the requests that
// browsers send to the service's own pages.
//
// A connection to the local web server (CHTTPConnection) hands each complete request
// here. The server finds the page's entity in the best language the client and the
// session allow, runs it with fresh Request and Response objects, checks the result's
// content type against the client's "Accept" header, and sends the answer with a
// CHTTPResponse. Errors are answered with the site's error page for the status
// ("404_error.asp", then "404_error.html") when it has one, else with the bare status or,
// for a failure of the program, the internal-error page.
//
// One response at a time per connection: a connection's socket is busy from the moment
// its request is taken until its response has been written (the response reports that
// through CHTTPSocketOwner). A request that arrives for a busy socket waits in that
// socket's queue and is taken, in order, when the socket is released; no pool thread
// ever waits for a socket.
//
// Locks: the server's lock guards the busy-socket map only and is innermost: nothing is
// called out while it is held.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "com/Singleton.h"
#include "http/HTTPRequest.h"
#include "http/HTTPRequestHandler.h"
#include "http/HTTPResponse.h"
#include "http/HTTPSocketOwner.h"
#include "idl/ServiceInterfaces.h"

class CHTTPServer final : public CHTTPRequestHandler, public CHTTPSocketOwner {
public:
    // Where the server finds entities: the storage manager's `LoadEntity`, unless a test
    // hands in another.
    using EntityLoader =
        std::function<HRESULT(LCID lcid, std::u16string_view name, IHTTPEntity** ppEntity)>;

    CHTTPServer();
    ~CHTTPServer();
    CHTTPServer(const CHTTPServer&) = delete;
    CHTTPServer& operator=(const CHTTPServer&) = delete;

    // Installs the server as the process's request handler and socket owner.
    void Install();
    void SetEntityLoader(EntityLoader loader) { m_loader = std::move(loader); }

    // CHTTPRequestHandler
    void ProcessRequest(const std::shared_ptr<CHTTPRequest>& request,
                        const CSocketHandle& sock) override;
    void RespondError(const std::shared_ptr<CHTTPRequest>& request, const CSocketHandle& sock,
                      ULONG status) override;
    void RespondInternalError(const std::shared_ptr<CHTTPRequest>& request,
                              const CSocketHandle& sock, HRESULT hr) override;

    // CHTTPSocketOwner
    void ReleaseSocket(const CSocketHandle& sock) override;
    // Sockets whose response is still being sent (the owner must outlive them).
    std::size_t BusySockets() const;

    // The entity for the request's path ("/" is the site's default page); STG_E_FILENOTFOUND
    // when no language has it.
    HRESULT FindEntity(const CHTTPRequest& request, IHTTPEntity** ppEntity);
    // The entity of that name in the best language for the request.
    HRESULT FindEntityLCID(const CHTTPRequest& request, std::u16string_view strEntity,
                           IHTTPEntity** ppEntity);
    // Runs the entity into `response`; *ppResponse receives the response object.
    HRESULT PerformGet(IHTTPEntity* pEntity, const CHTTPRequest& request, const std::string* pBody,
                       CHTTPResponse* response, IHTTPResponse** ppResponse);
    // True when the client's "Accept" header allows the response's content type.
    static bool CheckMimeType(const CHTTPRequest& request, IHTTPResponse* pResponse);
    // The page name that a request path asks for: "/" stays, otherwise the leading
    // slashes go and percent escapes are decoded (UTF-8). False for a path that does not
    // decode to text.
    static bool EntityNameFromPath(std::string_view path, std::u16string* pName);
    // The body of the internal-error page for `hr`.
    static std::string InternalErrorPage(HRESULT hr);

private:
    using Work = std::function<void()>;

    // Runs `work` now when the socket is free (marking it busy), else queues it.
    void WhenSocketFree(const CSocketHandle& sock, Work work);
    void Process(const std::shared_ptr<CHTTPRequest>& request, const CSocketHandle& sock);
    void ProcessGetHeadPost(const std::shared_ptr<CHTTPRequest>& request, const CSocketHandle& sock,
                            CHTTPRequest::Method method);
    void SendError(const std::shared_ptr<CHTTPRequest>& request, const CSocketHandle& sock,
                   ULONG status, std::string_view text);
    void SendInternalError(const std::shared_ptr<CHTTPRequest>& request, const CSocketHandle& sock,
                           HRESULT hr);
    // Sends, and releases the socket itself when the send cannot start.
    HRESULT Send(CHTTPResponse* response, const CSocketHandle& sock, bool bClose);

    // Guards m_mapBusy. Innermost.
    mutable std::mutex m_lock;
    // Busy sockets and the work waiting for each.
    std::unordered_map<SOCKET, std::deque<Work>> m_mapBusy;
    EntityLoader m_loader;
};

using HTTP_SERVER = CSingleton<CHTTPServer>;
