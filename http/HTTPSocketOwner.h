// CHTTPSocketOwner: who hears that a connection's socket is free for the next response.
//
// The local web server answers the requests of one connection one at a time: it marks
// the connection's socket busy before it answers a request and waits while it is busy.
// A response (CHTTPResponse) ends that busy time: once `Send` has started, the response
// calls `ReleaseSocket` exactly once, when its last byte has been written, when a write
// failed, or when the body could not be read. The server installs itself as the
// process's owner when it starts; a response may be given another owner (tests).
#pragma once

#include "async/SocketHandle.h"

class CHTTPSocketOwner {
public:
    // The socket `sock` has no response in progress any more. Called on a pool thread,
    // with no lock of the response held.
    virtual void ReleaseSocket(const CSocketHandle& sock) = 0;

    // The process's owner, which new responses report to; null until one is installed.
    static CHTTPSocketOwner* Instance();
    static void SetInstance(CHTTPSocketOwner* owner);

protected:
    ~CHTTPSocketOwner() = default;
};
