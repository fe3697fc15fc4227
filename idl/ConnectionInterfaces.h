// IConnection: the script object Connection, the relayed connection that a filtering
// script is judging.
//
// A dual interface like the other script-visible ones: scripts read its properties by
// name (the implementing class declares a dispatch table with the ids of
// idl/DispatchIds.h), and the program's own code may call the members directly. Every
// property is read-only: the object describes a connection, it does not steer it.
#pragma once

#include <tuple>

#include "com/Bstr.h"
#include "com/Dispatch.h"
#include "idl/Identifiers.h"

struct IConnection : IDispatch {
    static constexpr IID iid = IID_IConnection;
    using Bases = std::tuple<IDispatch>;
    // The detected protocol, a NetworkProtocol value.
    virtual HRESULT get_Protocol(LONG* plProtocol) = 0;
    // The destination as the relay names it to scripts: "address:port".
    virtual HRESULT get_Address(BSTR* pbstrAddress) = 0;
    // The host name the application asked for: the TLS server name or the HTTP Host
    // header's name, lower-cased; empty when the connection names none.
    virtual HRESULT get_ServerName(BSTR* pbstrServerName) = 0;
    // The name of the application's process.
    virtual HRESULT get_ProcessName(BSTR* pbstrProcessName) = 0;

protected:
    ~IConnection() = default;
};
