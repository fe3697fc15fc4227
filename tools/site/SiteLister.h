// Prints the tree of a site file with the fields of every page record, so that a person
// can see what a site holds.
#pragma once

#include <ostream>
#include <string>

#include "com/HResult.h"

class CSiteLister {
public:
    // Lists the site at strPath; a failure to open it is returned (and nothing printed).
    static HRESULT List(const std::string& strPath, std::ostream& out);
};
