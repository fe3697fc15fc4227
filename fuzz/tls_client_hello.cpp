// Fuzzes the ClientHello parser over arbitrary first bytes of a connection.
//
// Besides not crashing, each answer must agree with itself and with the answers for
// shorter inputs, as the relay sees them when a hello arrives in pieces: a complete hello
// is decided by exactly its first `length` bytes; a prefix of anything waits (never
// refusing what the whole accepts) and never asks for more than the whole turned out to
// need; a name is always a normalised host name. The Host-header helper of the same
// script object gets the bytes too.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "passthru/ConnectionObject.h"
#include "passthru/TLSClientHello.h"

namespace {

using Status = CTLSClientHello::Status;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void CheckResult(const CTLSClientHello::Result& r, std::size_t size) {
    Check(r.serverName.empty() || CTLSClientHello::NormaliseHostName(r.serverName) == r.serverName);
    switch (r.status) {
        case Status::Complete:
            Check(r.length >= 9 && r.length <= size);
            Check(r.length <= CTLSClientHello::kMaxHelloBytes);
            Check(!r.nameRejected || r.serverName.empty());
            break;
        case Status::MoreRequired:
            Check(r.length > size && r.length <= CTLSClientHello::kMaxHelloBytes);
            Check(r.serverName.empty() && !r.nameRejected);
            break;
        case Status::Unparsable:
            Check(r.serverName.empty() && !r.nameRejected && r.length == 0);
            break;
    }
}

bool Same(const CTLSClientHello::Result& a, const CTLSClientHello::Result& b) {
    return a.status == b.status && a.serverName == b.serverName &&
           a.nameRejected == b.nameRejected && a.length == b.length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const auto whole = CTLSClientHello::Parse(bytes);
    CheckResult(whole, size);

    if (whole.status == Status::Complete) {
        // Only the hello's own bytes decided.
        Check(Same(CTLSClientHello::Parse(bytes.substr(0, whole.length)), whole));
        const auto shorter = CTLSClientHello::Parse(bytes.substr(0, whole.length - 1));
        Check(shorter.status == Status::MoreRequired && shorter.length <= whole.length);
    }

    // One prefix, chosen by the input itself.
    if (size > 0) {
        const std::size_t n = (data[size - 1] * 251u + size) % size;
        const auto prefix = CTLSClientHello::Parse(bytes.substr(0, n));
        CheckResult(prefix, n);
        switch (whole.status) {
            case Status::Complete:
                if (n < whole.length)
                    Check(prefix.status == Status::MoreRequired && prefix.length <= whole.length);
                else
                    Check(Same(prefix, whole));
                break;
            case Status::MoreRequired:
                Check(prefix.status == Status::MoreRequired && prefix.length <= whole.length);
                break;
            case Status::Unparsable:
                Check(prefix.status != Status::Complete);
                break;
        }
    }

    const std::string host = ServerNameFromHTTPHost(bytes);
    Check(host.empty() || host.front() == '[' || CTLSClientHello::NormaliseHostName(host) == host);
    return 0;
}
