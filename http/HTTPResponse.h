// CHTTPResponse: one answer of the local web server, and the writer that sends it.
//
// The server (or the script Response object on its behalf) fills in a status, headers
// and an optional body stream; `Send` then writes the status line and the headers and
// streams the body out in pieces no larger than the socket's send buffer, with one
// overlapped write outstanding at a time. The first write carries the head and the
// first piece of the body together.
//
// Header names compare without regard to case; a header keeps the spelling it was
// first given, and a later put replaces only its value. Headers go out in the order
// they were first put. `Send` adds "Date", "Server", "Content-Length" (the body's size;
// "0" for a response without a body that leaves the connection open, so that the
// client can tell where it ends) and, when the connection is to close, "Connection:
// close".
//
// An answer to a HEAD request (`SetHeadRequest`) carries every header that the answer
// to the same GET would carry, "Content-Length" included, but no body: body bytes would
// be read by a keep-alive client as the start of the next response.
//
// Life: the creator holds a counted reference (CComPtr). A successful `Send` takes a
// reference of its own for the writes, so the response lives until its last write has
// completed whatever its creator does. From a successful `Send` on, the socket owner
// (CHTTPSocketOwner) hears `ReleaseSocket` exactly once: after the last byte (the
// sending direction is then shut down when the connection is to close), or after a
// failure (a write error, or a body stream that fails or ends early), in which case the
// socket is shut down in both directions because the client can no longer tell where
// this response ends. A `Send` that fails has started nothing and released nothing.
//
// Not thread-safe while being filled: one thread fills it and calls `Send`; after that
// only the write completions touch it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "async/Buffer.h"
#include "async/SocketHandle.h"
#include "cfb/StorageInterfaces.h"
#include "com/HResult.h"
#include "com/Types.h"
#include "com/Unknown.h"
#include "http/HTTPSocketOwner.h"

class CHTTPResponse {
public:
    // Makes a response for a request of the process session `ptrSession` (held for the
    // response's lifetime; may be null). Null only when memory ran out (logged).
    static CComPtr<CHTTPResponse> Create(CComPtr<IUnknown> ptrSession);

    ULONG AddRef();
    ULONG Release();

    // The status line's text after "HTTP/1.1 ": for a code, its reason phrase from the
    // protocol's table ("404 Not Found"), or "%u User specified status code" for a code
    // that the table does not know. A text is used as given; one holding CR or LF is
    // refused (E_INVALIDARG), since it would split the response.
    void SetStatus(UINT code);
    HRESULT SetStatus(std::string_view text);
    const std::string& GetStatus() const { return m_strStatus; }

    // Puts a header: a new name is remembered as given, an existing one (compared
    // upper-cased) keeps its first spelling and takes the new value. A name that is empty
    // or not a header token, or a value holding CR or LF, is refused (E_INVALIDARG).
    HRESULT PutHeader(std::string_view name, std::string_view value);
    // The header's value, or an empty string when there is no such header.
    std::string GetHeader(std::string_view name) const;
    void ClearHeaders();
    // The headers in the order they will be sent (names as first given).
    const std::vector<std::pair<std::string, std::string>>& Headers() const { return m_headers; }

    // The body: its size becomes "Content-Length" and it is read from its start. A
    // stream whose size cannot be read is not used (the failure is returned). Null
    // removes the body.
    HRESULT SetEntityStream(IStream* pStream);

    // The answer to a HEAD request: everything but the body is sent.
    void SetHeadRequest(bool bHead) { m_bHeadRequest = bHead; }

    // Reports the end of this response to `pOwner` instead of the process's owner.
    void SetSocketOwner(CHTTPSocketOwner* pOwner) { m_pOwner = pOwner; }

    // Sends the response on `sock`; with `bClose`, the sending direction is shut down
    // after the last byte. Sends once: a second call fails with E_UNEXPECTED. On failure
    // nothing was started.
    HRESULT Send(CSocketHandle sock, bool bClose);

    // The write steps: `Write_Entity` fills `buffer` with the next piece of the body and
    // starts its write; `WriteMore` and `WriteComplete` are the completions of a write
    // with more to follow and of the last one.
    HRESULT Write_Entity(CSocketHandle sock, CBuffer* buffer);
    bool WriteMore(DWORD error, CSocketHandle sock, CBuffer* buffer);
    bool WriteComplete(DWORD error, CSocketHandle sock, CBuffer* buffer);

    // The "Server" header's value: the product name and its four-part version.
    static const std::string& ServerName();
    // The "Date" header's form of a time ("Sun, 06 Nov 1994 08:49:37 GMT").
    static std::string FormatDate(std::int64_t unixSeconds);

private:
    explicit CHTTPResponse(CComPtr<IUnknown> ptrSession);
    ~CHTTPResponse() = default;
    CHTTPResponse(const CHTTPResponse&) = delete;
    CHTTPResponse& operator=(const CHTTPResponse&) = delete;

    using HeaderList = std::vector<std::pair<std::string, std::string>>;
    // The header of that name (compared without regard to case), or the end.
    HeaderList::iterator FindHeader(std::string_view name);
    HeaderList::const_iterator FindHeader(std::string_view name) const;
    void RemoveHeader(std::string_view name);
    // The "Date" header's value for now.
    static const std::string& CurrentDate();
    // Whether the status allows a body (not 1xx, 204 or 304).
    bool StatusAllowsBody() const;
    // The size of the next piece of the body: up to the send buffer size.
    std::uint32_t NextPieceSize() const;
    // The end of the send: shuts down as `error` and `bClose` ask, tells the owner, and
    // drops the writes' reference (the response may be gone afterwards).
    void EndSend(bool bFailed);

    std::atomic<ULONG> m_cRef{0};
    CComPtr<IUnknown> m_ptrSession;
    CComPtr<IStream> m_ptrEntityStream;
    // Names as first given, in the order first put.
    HeaderList m_headers;
    std::string m_strStatus = "200 OK";
    ULONGLONG m_nTotalSize = 0;
    ULONGLONG m_nBodySent = 0;  // bytes of the body read into pieces so far
    DWORD m_nSendBufferSize = 1024;
    bool m_bClose = false;
    bool m_bHeadRequest = false;
    bool m_bSent = false;
    CSocketHandle m_socket;
    CHTTPSocketOwner* m_pOwner;
};
