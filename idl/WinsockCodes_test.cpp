// The Winsock number table in both directions.
#include "idl/WinsockCodes.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

namespace {

TEST(WinsockCodes, NamedErrnosRoundTrip) {
    struct Case {
        int err;
        long code;
    };
    const Case cases[] = {
        {0, 0},
        {ECONNREFUSED, 10061},
        {ETIMEDOUT, 10060},
        {ENETUNREACH, 10051},
        {EHOSTUNREACH, 10065},
        {ECONNRESET, 10054},
        {ECONNABORTED, 10053},
        {EADDRNOTAVAIL, 10049},
        {EACCES, 10013},
        {EAFNOSUPPORT, 10047},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WinsockErrorFromErrno(c.err), c.code) << c.err;
        EXPECT_EQ(ErrnoFromWinsockError(c.code), c.err) << c.code;
    }
}

TEST(WinsockCodes, SharedAndUnknownNumbers) {
    // One way only: several errnos share a number, or none stands for it.
    EXPECT_EQ(WinsockErrorFromErrno(EPERM), 10013);
    EXPECT_EQ(WinsockErrorFromErrno(ENOENT), 10061);
    EXPECT_EQ(WinsockErrorFromErrno(ENOMEM), 10061);
    EXPECT_EQ(WinsockErrorFromErrno(-1), 10061);

    EXPECT_EQ(ErrnoFromWinsockError(11001), EHOSTUNREACH);
    EXPECT_EQ(ErrnoFromWinsockError(11002), EHOSTUNREACH);
    EXPECT_EQ(ErrnoFromWinsockError(10092), ECONNREFUSED);
    EXPECT_EQ(ErrnoFromWinsockError(-1), ECONNREFUSED);
    EXPECT_EQ(ErrnoFromWinsockError(123456), ECONNREFUSED);
}

TEST(WinsockCodes, NameResolutionFailures) {
    EXPECT_EQ(WinsockErrorFromResolver(0), 0);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_NONAME), 11001);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_FAIL), 11001);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_NODATA), 11001);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_AGAIN), 11002);
}

}  // namespace
