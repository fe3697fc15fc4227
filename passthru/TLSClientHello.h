// CTLSClientHello: the server name (SNI) that a TLS client asks for in its ClientHello.
//
// The relay holds every byte an application sends until the connection is classified, so
// it can hand this parser everything received so far, as often as a new chunk arrives.
// The parser reassembles the handshake message from its TLS records (it may be split
// anywhere, also over several records), checks every length against its container and
// reads the host_name entry of the server_name extension. It is a pure function of the
// bytes: no socket, no state between calls, so the relay, the tests and the fuzzer call it
// alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class CTLSClientHello {
public:
    enum class Status {
        // The whole ClientHello has arrived; serverName holds its name (or is empty).
        Complete,
        // A prefix of what could still be a ClientHello: look again with more bytes.
        MoreRequired,
        // Not a parsable ClientHello: malformed, not a handshake record, another handshake
        // message, an SSL 2.0-format hello, or larger than kMaxHelloBytes. No name.
        Unparsable,
    };

    struct Result {
        Status status = Status::Unparsable;
        // The lower-cased host name, or empty: no server_name extension, no host_name
        // entry, a name that is not a plausible DNS name, or no complete hello.
        std::string serverName;
        // Complete: the hello had a host_name entry that was refused as implausible.
        bool nameRejected = false;
        // Complete: how many bytes of the input carried the hello, from the first record
        // header to the hello's last byte (what follows is not looked at).
        // MoreRequired: the least total input length at which the hello could be complete;
        // exact when the rest of the hello falls in a record whose header has arrived.
        std::size_t length = 0;
    };

    // The most input bytes a hello may take, record headers included. Real hellos are a
    // few hundred bytes to a few KiB; beyond this the parser gives up rather than make
    // the relay hold an unbounded amount of data.
    static constexpr std::size_t kMaxHelloBytes = 64 * 1024;

    // Examines the bytes that the application has sent so far.
    static Result Parse(std::string_view data);

    // The name lower-cased when `name` is a plausible DNS host name: 1 to 253 bytes of
    // ASCII letters, digits, '-', '_' and '.', in labels of 1 to 63 bytes, without a
    // trailing dot (a host_name is sent without one). Anything else, an embedded NUL
    // included, gives an empty string.
    static std::string NormaliseHostName(std::string_view name);
};
