// The classes the service creates by CLSID or ProgID: the page classes of the sites, the
// entities that run pages, and the script engines.
#pragma once

#include "com/HResult.h"

// Registers them all with the class registry, and how page runs get their Server object;
// the first failure is returned (and each is logged), the rest are still registered.
HRESULT RegisterProgramClasses();
