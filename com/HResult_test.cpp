// Status construction, errno mapping and message texts.
#include "com/HResult.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(HResult, Win32FacilityAndPredicates) {
    EXPECT_EQ(HRESULT_FROM_WIN32(5), E_ACCESSDENIED);
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
    EXPECT_EQ(HRESULT_FROM_WIN32(-5), -5);
    EXPECT_EQ(static_cast<uint32_t>(HRESULT_FROM_WIN32(10061)), 0x8007274Du);
    EXPECT_EQ(HRESULT_FACILITY(E_INVALIDARG), FACILITY_WIN32);
    EXPECT_EQ(HRESULT_CODE(E_INVALIDARG), 87);
    EXPECT_TRUE(FAILED(E_UNEXPECTED));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
}

TEST(HResult, ErrnoMapsToWin32AndWinsockNumbers) {
    struct Case {
        int err;
        long win32;
    } cases[] = {
        {ENOENT, 2},         {EACCES, 5},          {ENOMEM, 8},          {EINVAL, 87},
        {ENOSPC, 112},       {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},  {ENETUNREACH, 10051},
        {EHOSTUNREACH, 10065}, {ECONNRESET, 10054}, {ECONNABORTED, 10053}, {EADDRNOTAVAIL, 10049},
        {EAFNOSUPPORT, 10047}, {EDOM, 31},
    };
    for (const auto& c : cases) EXPECT_EQ(Win32FromErrno(c.err), c.win32) << c.err;
    EXPECT_EQ(WinsockFromErrno(EPERM), 10013);
    EXPECT_EQ(WinsockFromErrno(EPIPE), 10061);
    EXPECT_EQ(HResultFromErrno(ENOENT), HRESULT_FROM_WIN32(2));
}

TEST(HResult, TextsAndFormatting) {
    EXPECT_EQ(ErrorText(E_INVALIDARG), "The parameter is incorrect.");
    EXPECT_EQ(ErrorText(E_UNEXPECTED), "Catastrophic failure");
    EXPECT_EQ(ErrorText(MakeHResult(0x80041234)), "");
    EXPECT_EQ(HResultToString(E_UNEXPECTED), "0x8000ffff");
    EXPECT_EQ(HResultToString(0), "0");
}
