// The default site, compiled from sites/default/ at build time and linked into the
// program: its "boot.asa" sets the default page, the fallback language and the external
// site "Corvane.dat"; "0x809/about.asp" and the tray icons come with it.
#pragma once

#include <span>

#include "com/Types.h"

// The site file's bytes, which live as long as the program.
std::span<const BYTE> DefaultSiteBytes();
