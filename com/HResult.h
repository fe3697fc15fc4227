// Status codes: every operation returns an HRESULT with the values COM gives them.
//
// A status is negative on failure. Failures of system calls become Win32-facility
// statuses (0x80070000 + the Win32 error code); `HResultFromErrno` maps a Linux errno
// to that Win32 code first, so a status never carries a raw errno. `ErrorText` gives
// the English message of a status for logs and script errors.
#pragma once

#include <string>

#include "com/Types.h"

using HRESULT = std::int32_t;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT MakeHResult(std::uint32_t value) { return static_cast<HRESULT>(value); }

constexpr int FACILITY_WIN32 = 7;
constexpr int FACILITY_ITF = 4;
constexpr int FACILITY_DISPATCH = 2;
constexpr int FACILITY_STORAGE = 3;

constexpr int HRESULT_FACILITY(HRESULT hr) { return (static_cast<std::uint32_t>(hr) >> 16) & 0x1FFF; }
constexpr int HRESULT_CODE(HRESULT hr) { return static_cast<std::uint32_t>(hr) & 0xFFFF; }

// A Win32 error code as a status: codes that are not positive pass unchanged.
constexpr HRESULT HRESULT_FROM_WIN32(long code) {
    return code <= 0 ? static_cast<HRESULT>(code)
                     : MakeHResult((static_cast<std::uint32_t>(code) & 0xFFFF) | 0x80070000u);
}

// Success codes.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;

// General failures.
constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFF);
constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002);
constexpr HRESULT E_POINTER = MakeHResult(0x80004003);
constexpr HRESULT E_ABORT = MakeHResult(0x80004004);
constexpr HRESULT E_FAIL = MakeHResult(0x80004005);
constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005);
constexpr HRESULT E_HANDLE = MakeHResult(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057);

// Class activation.
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154);
constexpr HRESULT CO_E_CLASSSTRING = MakeHResult(0x800401F3);
constexpr HRESULT RPC_E_DISCONNECTED = MakeHResult(0x80010108);
constexpr HRESULT RPC_E_TIMEOUT = MakeHResult(0x8001011F);

// Dispatch.
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHResult(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHResult(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHResult(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHResult(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHResult(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = MakeHResult(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = MakeHResult(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = MakeHResult(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = MakeHResult(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = MakeHResult(0x8002000B);
constexpr HRESULT DISP_E_UNKNOWNLCID = MakeHResult(0x8002000C);
constexpr HRESULT DISP_E_ARRAYISLOCKED = MakeHResult(0x8002000D);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHResult(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHResult(0x8002000F);
constexpr HRESULT DISP_E_NOTACOLLECTION = MakeHResult(0x80020011);
constexpr HRESULT DISP_E_DIVBYZERO = MakeHResult(0x80020012);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MakeHResult(0x8002802B);

// Structured storage.
constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHResult(0x80030001);
constexpr HRESULT STG_E_FILENOTFOUND = MakeHResult(0x80030002);
constexpr HRESULT STG_E_PATHNOTFOUND = MakeHResult(0x80030003);
constexpr HRESULT STG_E_TOOMANYOPENFILES = MakeHResult(0x80030004);
constexpr HRESULT STG_E_ACCESSDENIED = MakeHResult(0x80030005);
constexpr HRESULT STG_E_INVALIDHANDLE = MakeHResult(0x80030006);
constexpr HRESULT STG_E_INSUFFICIENTMEMORY = MakeHResult(0x80030008);
constexpr HRESULT STG_E_INVALIDPOINTER = MakeHResult(0x80030009);
constexpr HRESULT STG_E_NOMOREFILES = MakeHResult(0x80030012);
constexpr HRESULT STG_E_DISKISWRITEPROTECTED = MakeHResult(0x80030013);
constexpr HRESULT STG_E_SEEKERROR = MakeHResult(0x80030019);
constexpr HRESULT STG_E_WRITEFAULT = MakeHResult(0x8003001D);
constexpr HRESULT STG_E_READFAULT = MakeHResult(0x8003001E);
constexpr HRESULT STG_E_SHAREVIOLATION = MakeHResult(0x80030020);
constexpr HRESULT STG_E_LOCKVIOLATION = MakeHResult(0x80030021);
constexpr HRESULT STG_E_FILEALREADYEXISTS = MakeHResult(0x80030050);
constexpr HRESULT STG_E_INVALIDPARAMETER = MakeHResult(0x80030057);
constexpr HRESULT STG_E_MEDIUMFULL = MakeHResult(0x80030070);
constexpr HRESULT STG_E_INVALIDHEADER = MakeHResult(0x800300FB);
constexpr HRESULT STG_E_INVALIDNAME = MakeHResult(0x800300FC);
constexpr HRESULT STG_E_UNKNOWN = MakeHResult(0x800300FD);
constexpr HRESULT STG_E_UNIMPLEMENTEDFUNCTION = MakeHResult(0x800300FE);
constexpr HRESULT STG_E_INVALIDFLAG = MakeHResult(0x800300FF);
constexpr HRESULT STG_E_INUSE = MakeHResult(0x80030100);
constexpr HRESULT STG_E_NOTCURRENT = MakeHResult(0x80030101);
constexpr HRESULT STG_E_REVERTED = MakeHResult(0x80030102);
constexpr HRESULT STG_E_CANTSAVE = MakeHResult(0x80030103);
constexpr HRESULT STG_E_OLDFORMAT = MakeHResult(0x80030104);
constexpr HRESULT STG_E_OLDDLL = MakeHResult(0x80030105);
constexpr HRESULT STG_E_SHAREREQUIRED = MakeHResult(0x80030106);
constexpr HRESULT STG_E_NOTFILEBASEDSTORAGE = MakeHResult(0x80030107);
constexpr HRESULT STG_E_EXTANTMARSHALLINGS = MakeHResult(0x80030108);
constexpr HRESULT STG_E_DOCFILECORRUPT = MakeHResult(0x80030109);
constexpr HRESULT STG_E_BADBASEADDRESS = MakeHResult(0x80030110);
constexpr HRESULT STG_E_INCOMPLETE = MakeHResult(0x80030201);
constexpr HRESULT STG_E_TERMINATED = MakeHResult(0x80030202);

// Win32 error codes that the program uses by name.
constexpr long ERROR_FILE_NOT_FOUND = 2;
constexpr long ERROR_PATH_NOT_FOUND = 3;
constexpr long ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr long ERROR_ACCESS_DENIED = 5;
constexpr long ERROR_INVALID_HANDLE = 6;
constexpr long ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr long ERROR_INVALID_DATA = 13;
constexpr long ERROR_OUTOFMEMORY = 14;
constexpr long ERROR_GEN_FAILURE = 31;
constexpr long ERROR_SHARING_VIOLATION = 32;
constexpr long ERROR_LOCK_VIOLATION = 33;
constexpr long ERROR_HANDLE_EOF = 38;
constexpr long ERROR_NOT_SUPPORTED = 50;
constexpr long ERROR_FILE_EXISTS = 80;
constexpr long ERROR_INVALID_PARAMETER = 87;
constexpr long ERROR_BROKEN_PIPE = 109;
constexpr long ERROR_DISK_FULL = 112;
constexpr long ERROR_INSUFFICIENT_BUFFER = 122;
constexpr long ERROR_DIR_NOT_EMPTY = 145;
constexpr long ERROR_BAD_PATHNAME = 161;
constexpr long ERROR_BUSY = 170;
constexpr long ERROR_ALREADY_EXISTS = 183;
constexpr long ERROR_FILENAME_EXCED_RANGE = 206;
constexpr long WAIT_TIMEOUT = 258;
constexpr long ERROR_NO_MORE_ITEMS = 259;
constexpr long ERROR_OPERATION_ABORTED = 995;
constexpr long ERROR_IO_PENDING = 997;
constexpr long ERROR_BADDB = 1009;
constexpr long ERROR_BADKEY = 1010;
constexpr long ERROR_CANTREAD = 1012;
constexpr long ERROR_CANTWRITE = 1013;
constexpr long ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr long ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr long ERROR_SERVICE_EXISTS = 1073;
constexpr long ERROR_NOT_FOUND = 1168;
constexpr long ERROR_TIMEOUT = 1460;

// Winsock error numbers, which Win32-facility statuses of network calls carry.
constexpr long WSAEINTR = 10004;
constexpr long WSAEBADF = 10009;
constexpr long WSAEACCES = 10013;
constexpr long WSAEFAULT = 10014;
constexpr long WSAEINVAL = 10022;
constexpr long WSAEMFILE = 10024;
constexpr long WSAEWOULDBLOCK = 10035;
constexpr long WSAEINPROGRESS = 10036;
constexpr long WSAEALREADY = 10037;
constexpr long WSAENOTSOCK = 10038;
constexpr long WSAEMSGSIZE = 10040;
constexpr long WSAEAFNOSUPPORT = 10047;
constexpr long WSAEADDRINUSE = 10048;
constexpr long WSAEADDRNOTAVAIL = 10049;
constexpr long WSAENETDOWN = 10050;
constexpr long WSAENETUNREACH = 10051;
constexpr long WSAECONNABORTED = 10053;
constexpr long WSAECONNRESET = 10054;
constexpr long WSAENOBUFS = 10055;
constexpr long WSAEISCONN = 10056;
constexpr long WSAENOTCONN = 10057;
constexpr long WSAESHUTDOWN = 10058;
constexpr long WSAETIMEDOUT = 10060;
constexpr long WSAECONNREFUSED = 10061;
constexpr long WSAEHOSTUNREACH = 10065;
constexpr long WSAVERNOTSUPPORTED = 10092;
constexpr long WSAHOST_NOT_FOUND = 11001;
constexpr long WSATRY_AGAIN = 11002;

// The Win32 error code that stands for a Linux errno value. Network errors map to
// their Winsock numbers (connection refused 10061, time-out 10060, …); an errno the
// table does not know becomes ERROR_INVALID_FUNCTION's neighbour E_FAIL-like code 31
// ("A device attached to the system is not functioning"), never the errno itself.
long Win32FromErrno(int err);

// The Winsock number of a network errno: the table above for the ones it names and
// 10061 (connection refused) for every other one.
long WinsockFromErrno(int err);

// HRESULT_FROM_WIN32(Win32FromErrno(err)).
HRESULT HResultFromErrno(int err);

// The English message of a status, or an empty string when there is none. A
// Win32-facility status is looked up by its low 16 bits.
std::string ErrorText(HRESULT hr);

// The status as text: "0x80070057".
std::string HResultToString(HRESULT hr);
