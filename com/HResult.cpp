// Errno mapping and the English message table of the statuses the program returns.
#include "com/HResult.h"

#include <cerrno>
#include <cstdio>
#include <unordered_map>

long WinsockFromErrno(int err) {
    switch (err) {
        case ECONNREFUSED: return WSAECONNREFUSED;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ENETUNREACH: return WSAENETUNREACH;
        case EHOSTUNREACH: return WSAEHOSTUNREACH;
        case ECONNRESET: return WSAECONNRESET;
        case ECONNABORTED: return WSAECONNABORTED;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case EACCES:
        case EPERM: return WSAEACCES;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        default: return WSAECONNREFUSED;
    }
}

long Win32FromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EPIPE: return ERROR_BROKEN_PIPE;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EBUSY: return ERROR_BUSY;
        case EWOULDBLOCK: return WSAEWOULDBLOCK;
        case EINPROGRESS: return WSAEINPROGRESS;
        case EALREADY: return WSAEALREADY;
        case ENOTSOCK: return WSAENOTSOCK;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EADDRINUSE: return WSAEADDRINUSE;
        case ENETDOWN: return WSAENETDOWN;
        case ENOBUFS: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case ESHUTDOWN: return WSAESHUTDOWN;
        case ECONNREFUSED:
        case ETIMEDOUT:
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ECONNRESET:
        case ECONNABORTED:
        case EADDRNOTAVAIL:
        case EAFNOSUPPORT: return WinsockFromErrno(err);
        case EIO: return ERROR_GEN_FAILURE;
        case ENOSYS:
        case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
        default: return ERROR_GEN_FAILURE;
    }
}

HRESULT HResultFromErrno(int err) { return HRESULT_FROM_WIN32(Win32FromErrno(err)); }

namespace {

// Statuses outside the Win32 facility, by their full value.
const std::unordered_map<std::uint32_t, const char*>& StatusTexts() {
    static const std::unordered_map<std::uint32_t, const char*> texts = {
        {0x00000000, "The operation completed successfully."},
        {0x00000001, "Incorrect function."},
        {0x8000FFFF, "Catastrophic failure"},
        {0x80004001, "Not implemented"},
        {0x80004002, "No such interface supported"},
        {0x80004003, "Invalid pointer"},
        {0x80004004, "Operation aborted"},
        {0x80004005, "Unspecified error"},
        {0x80040110, "Class does not support aggregation (or class object is remote)"},
        {0x80040111, "ClassFactory cannot supply requested class"},
        {0x80040154, "Class not registered"},
        {0x800401F3, "Invalid class string"},
        {0x80010108, "The object invoked has disconnected from its clients."},
        {0x8001011F, "This operation returned because the timeout period expired."},
        {0x80020001, "Unknown interface."},
        {0x80020003, "Member not found."},
        {0x80020004, "Parameter not found."},
        {0x80020005, "Type mismatch."},
        {0x80020006, "Unknown name."},
        {0x80020007, "No named arguments."},
        {0x80020008, "Bad variable type."},
        {0x80020009, "Exception occurred."},
        {0x8002000A, "Out of present range."},
        {0x8002000B, "Invalid index."},
        {0x8002000C, "Unknown language."},
        {0x8002000D, "Memory is locked."},
        {0x8002000E, "Invalid number of parameters."},
        {0x8002000F, "Parameter not optional."},
        {0x80020011, "Does not support a collection."},
        {0x80020012, "Division by zero."},
        {0x8002802B, "Element not found."},
        {0x80030001, "Unable to perform requested operation."},
        {0x80030002, "%1 could not be found."},
        {0x80030003, "The path %1 could not be found."},
        {0x80030004, "There are insufficient resources to open another file."},
        {0x80030005, "Access Denied."},
        {0x80030006, "Attempted an operation on an invalid object."},
        {0x80030008, "There is insufficient memory available to complete operation."},
        {0x80030009, "Invalid pointer error."},
        {0x80030012, "There are no more entries to return."},
        {0x80030013, "Disk is write-protected."},
        {0x80030019, "An error occurred during a seek operation."},
        {0x8003001D, "A disk error occurred during a write operation."},
        {0x8003001E, "A disk error occurred during a read operation."},
        {0x80030020, "A share violation has occurred."},
        {0x80030021, "A lock violation has occurred."},
        {0x80030050, "%1 already exists."},
        {0x80030057, "Invalid parameter error."},
        {0x80030070, "There is insufficient disk space to complete operation."},
        {0x800300FB, "The file %1 is not a valid compound file."},
        {0x800300FC, "The name %1 is not valid."},
        {0x800300FD, "An unexpected error occurred."},
        {0x800300FE, "That function is not implemented."},
        {0x800300FF, "Invalid flag error."},
        {0x80030100, "Attempted to use an object that is busy."},
        {0x80030101, "The storage has been changed since the last commit."},
        {0x80030102, "Attempted to use an object that has ceased to exist."},
        {0x80030103, "Can't save."},
        {0x80030104, "The compound file %1 was produced with an incompatible version of storage."},
        {0x80030105, "The compound file %1 was produced with a newer version of storage."},
        {0x80030106, "Share.exe or equivalent is required for operation."},
        {0x80030107, "Illegal operation called on non-file based storage."},
        {0x80030108, "Illegal operation called on object with extant marshallings."},
        {0x80030109, "The docfile has been corrupted."},
        {0x80030110, "OLE32.DLL has been loaded at the wrong address."},
        {0x80030201, "The file download was aborted abnormally.  The file is incomplete."},
        {0x80030202, "The file download has been terminated."},
    };
    return texts;
}

// Win32 error codes, by their low 16 bits.
const std::unordered_map<std::uint32_t, const char*>& Win32Texts() {
    static const std::unordered_map<std::uint32_t, const char*> texts = {
        {1, "Incorrect function."},
        {2, "The system cannot find the file specified."},
        {3, "The system cannot find the path specified."},
        {4, "The system cannot open the file."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory resources are available to process this command."},
        {13, "The data is invalid."},
        {14, "Not enough memory resources are available to complete this operation."},
        {31, "A device attached to the system is not functioning."},
        {32, "The process cannot access the file because it is being used by another process."},
        {33, "The process cannot access the file because another process has locked a portion of the file."},
        {38, "Reached the end of the file."},
        {50, "The request is not supported."},
        {80, "The file exists."},
        {87, "The parameter is incorrect."},
        {109, "The pipe has been ended."},
        {112, "There is not enough space on the disk."},
        {122, "The data area passed to a system call is too small."},
        {145, "The directory is not empty."},
        {161, "The specified path is invalid."},
        {170, "The requested resource is in use."},
        {183, "Cannot create a file when that file already exists."},
        {206, "The filename or extension is too long."},
        {258, "The wait operation timed out."},
        {259, "No more data is available."},
        {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
        {997, "Overlapped I/O operation is in progress."},
        {1009, "The configuration registry database is corrupt."},
        {1010, "The configuration registry key is invalid."},
        {1012, "The configuration registry key could not be read."},
        {1013, "The configuration registry key could not be written."},
        {1060, "The specified service does not exist as an installed service."},
        {1062, "The service has not been started."},
        {1073, "The specified service already exists."},
        {1168, "Element not found."},
        {1460, "This operation returned because the timeout period expired."},
        {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
        {10009, "The file handle supplied is not valid."},
        {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
        {10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
        {10022, "An invalid argument was supplied."},
        {10024, "Too many open sockets."},
        {10035, "A non-blocking socket operation could not be completed immediately."},
        {10036, "A blocking operation is currently executing."},
        {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress."},
        {10038, "An operation was attempted on something that is not a socket."},
        {10040, "A message sent on a datagram socket was larger than the internal message buffer or some other network limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},
        {10047, "An address incompatible with the requested protocol was used."},
        {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
        {10049, "The requested address is not valid in its context."},
        {10050, "A socket operation encountered a dead network."},
        {10051, "A socket operation was attempted to an unreachable network."},
        {10053, "An established connection was aborted by the software in your host machine."},
        {10054, "An existing connection was forcibly closed by the remote host."},
        {10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue was full."},
        {10056, "A connect request was made on an already connected socket."},
        {10057, "A request to send or receive data was disallowed because the socket is not connected and (when sending on a datagram socket using a sendto call) no address was supplied."},
        {10058, "A request to send or receive data was disallowed because the socket had already been shut down in that direction with a previous shutdown call."},
        {10060, "A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond."},
        {10061, "No connection could be made because the target machine actively refused it."},
        {10065, "A socket operation was attempted to an unreachable host."},
        {10092, "The Windows Sockets version requested is not supported."},
        {11001, "No such host is known."},
        {11002, "This is usually a temporary error during hostname resolution and means that the local server did not receive a response from an authoritative server."},
    };
    return texts;
}

}  // namespace

std::string ErrorText(HRESULT hr) {
    const auto& table = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? Win32Texts() : StatusTexts();
    const std::uint32_t key = HRESULT_FACILITY(hr) == FACILITY_WIN32
                                  ? static_cast<std::uint32_t>(HRESULT_CODE(hr))
                                  : static_cast<std::uint32_t>(hr);
    auto it = table.find(key);
    return it == table.end() ? std::string() : std::string(it->second);
}

std::string HResultToString(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%#x", static_cast<unsigned>(hr));
    return text;
}
