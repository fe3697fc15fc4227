// Whether this program is one of the browsers the service diverts, from the list file the
// service keeps (one executable path a line, compared without regard to ASCII case, as
// the service compares). The connect() library asks only when it cannot attach to the
// service: a listed program must then fail closed, any other may connect unfiltered.
//
// The lookup runs inside a connect() of any program, so it allocates nothing: it streams
// the file through a small buffer on the stack and reads at most kMaxListBytes.
#pragma once

#include <cstddef>

enum class BrowserListAnswer {
    Listed,
    NotListed,
    NoList,  // the file is missing, unreadable, not a regular file or longer than the bound
};

constexpr std::size_t kMaxListBytes = 1 << 20;

// Looks `executable` up in the list at `listPath`.
BrowserListAnswer LookUpBrowser(const char* listPath, const char* executable);
