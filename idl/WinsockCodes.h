// Winsock error numbers on this platform, in both directions.
//
// The service answers a diverted connect with a 4-byte Winsock number, and statuses of
// network calls carry Winsock numbers, never an errno. The connect() library reads that
// number back and has to set errno from it. Both directions come from one table (the one
// behind WinsockFromErrno in com/HResult.h), so a number that leaves the service as
// "connection refused" arrives in the application as ECONNREFUSED.
#pragma once

#include "com/HResult.h"

// The Winsock number for a failed socket call's errno; 0 for 0. Errnos the table does
// not name become 10061 (connection refused).
long WinsockErrorFromErrno(int err);

// The Winsock number for a failed name resolution (a getaddrinfo result): 11002 (try
// again) for a temporary failure, 11001 (host not found) for every other one; 0 for 0.
long WinsockErrorFromResolver(int gaiError);

// The errno that stands for a Winsock number; 0 for 0. Access denied (10013) is EACCES;
// a failed name resolution (11001, 11002) is EHOSTUNREACH, since connect() itself never
// resolves names; a number the table does not name is ECONNREFUSED, the same default
// the other direction uses.
int ErrnoFromWinsockError(long code);
