// The exported functions of libcorvanelsp.so, the connect() library.
//
// Every other process gets the library through LD_PRELOAD (corvane-run) and never calls
// these. The service and the tray program link the library and call both at start-up:
// `IsFilteringAllowed` tells them that they are the filter itself, and `IsCorvane`
// hands over the callback through which the library asks, for each connect the program
// makes to a loopback address, whether to divert it back into the service.
#pragma once

#include "com/Guid.h"

// The private-number callback. `port` holds the destination port in network order; an
// answer of 1 means: divert this connect to the port written back (network order) and
// send the key written back. Any other answer leaves the connect alone.
using CorvaneLspCallback = int (*)(unsigned short* port, GUID* key);

extern "C" {

// 0 inside the programs `corvane` and `pellora`, 1 in every other program.
int IsFilteringAllowed();

// Switches this process to callback mode: the library never attaches the process to
// the service and never refuses a connect on its own; it diverts only the connects that
// `callback` accepts (a null callback diverts nothing). Returns 1.
int IsCorvane(CorvaneLspCallback callback);
}
