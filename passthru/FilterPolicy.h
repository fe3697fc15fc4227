// CFilterPolicy: who judges the relayed connections, and what the relay tells it.
//
// The relay asks the installed policy whether a connection may go on at all
// (`IsProtocolAllowed`) and, for HTTP, lets it judge each request (`ClassifyRequest`),
// whose verdict arrives on the relay's `IFilterDecision` (possibly before the call
// returns, possibly never: the data then stays held). The program installs the policy of
// the site's scripts; with none installed every connection and request goes on, which is
// how the relay runs on its own (its tests, the benchmarks of the transparent relay).
#pragma once

#include <memory>
#include <string>

#include "com/HResult.h"
#include "com/Unknown.h"
#include "idl/Enums.h"

class CHTTPRequest;

// The verdicts a relay accepts.
class IFilterDecision {
public:
    virtual HRESULT Continue() = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT HTTPTransfer(const std::string& strLocalURL) = 0;

protected:
    ~IFilterDecision() = default;
};

// What the relay knows of a connection when it asks.
struct CConnectionFacts {
    NetworkProtocol protocol = NetworkProtocol::Unrecognised;
    std::string strHost;           // the destination, "address:port"
    std::string strServerName;     // the TLS server name or the HTTP Host name; may be empty
    CComPtr<IUnknown> ptrSession;  // the application's process session; may be null
};

class CFilterPolicy {
public:
    virtual ~CFilterPolicy() = default;
    virtual bool IsProtocolAllowed(const CConnectionFacts& facts) = 0;
    virtual HRESULT ClassifyRequest(const CConnectionFacts& facts, const CHTTPRequest& request,
                                    IFilterDecision* pDecision) = 0;

    // Process-wide; null removes it. Classifications already running keep theirs.
    static void Install(std::shared_ptr<CFilterPolicy> policy);
    static std::shared_ptr<CFilterPolicy> Current();
};
