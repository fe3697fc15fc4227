// Winsock numbers ↔ errno. The forward direction is com's table; the reverse walks the
// errnos that table names, so the two can never disagree.
#include "idl/WinsockCodes.h"

#include <netdb.h>

#include <cerrno>

namespace {

// The errnos with a Winsock number of their own, in order of preference for the reverse
// direction: where two share a number (EACCES and EPERM), the first listed wins.
constexpr int kNamedErrnos[] = {
    ECONNREFUSED, ETIMEDOUT,     ENETUNREACH, EHOSTUNREACH, ECONNRESET,
    ECONNABORTED, EADDRNOTAVAIL, EACCES,      EPERM,        EAFNOSUPPORT,
};

}  // namespace

long WinsockErrorFromErrno(int err) {
    return err == 0 ? 0 : WinsockFromErrno(err);
}

long WinsockErrorFromResolver(int gaiError) {
    if (gaiError == 0)
        return 0;
    return gaiError == EAI_AGAIN ? WSATRY_AGAIN : WSAHOST_NOT_FOUND;
}

int ErrnoFromWinsockError(long code) {
    if (code == 0)
        return 0;
    for (int err : kNamedErrnos)
        if (WinsockFromErrno(err) == code)
            return err;
    if (code == WSAHOST_NOT_FOUND || code == WSATRY_AGAIN)
        return EHOSTUNREACH;
    return ECONNREFUSED;
}
