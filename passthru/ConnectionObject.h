// CConnectionObject: the script object Connection, which shows a filtering script the
// relayed connection it is judging: the detected protocol, the destination address, the
// server name the application asked for, and the application's process name.
//
// Its creator fills it once with `Create`; afterwards it never changes, so it needs no
// lock and may be read from any thread. Scripts cannot set its properties.
//
// Also here: how the server name of an HTTP connection is taken from its Host header.
#pragma once

#include <string>
#include <string_view>

#include "com/DispatchTable.h"
#include "idl/ConnectionInterfaces.h"
#include "idl/Enums.h"
#include "idl/ServiceInterfaces.h"

class CConnectionObject
    : public CComObjectRoot<CConnectionObject, IDispatchImpl<CConnectionObject, IConnection>,
                            ICorvane_Reserved> {
public:
    static const CDispatchTable& GetDispatchTable();

    // A connection of `protocol` to `strAddress` ("address:port"), asking for
    // `strServerName` (may be empty), made by the process `bstrProcessName`. Null only
    // when memory ran out (logged).
    static CComPtr<CConnectionObject> Create(NetworkProtocol protocol, std::string_view strAddress,
                                             std::string_view strServerName,
                                             const BSTR& bstrProcessName);

    // IConnection
    HRESULT get_Protocol(LONG* plProtocol) override;
    HRESULT get_Address(BSTR* pbstrAddress) override;
    HRESULT get_ServerName(BSTR* pbstrServerName) override;
    HRESULT get_ProcessName(BSTR* pbstrProcessName) override;

private:
    NetworkProtocol m_protocol = NetworkProtocol::Unrecognised;
    BSTR m_bstrAddress;
    BSTR m_bstrServerName;
    BSTR m_bstrProcessName;
};

// The host name of an HTTP Host header value ("Example.test:8080" gives "example.test"):
// the port and one trailing dot dropped, lower-cased. An IPv6 literal keeps its brackets
// ("[::1]:80" gives "[::1]"), so a name never reads as an address with a port. A value
// that is not a plausible host (the same rules as a TLS server name) gives an empty string.
std::string ServerNameFromHTTPHost(std::string_view hostHeader);
