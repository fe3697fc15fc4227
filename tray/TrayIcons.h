// The tray program's own icons, drawn with cairo at start: 201 ("on", a green disc with
// a tick) and 202 ("off", a grey disc with a bar). Nothing is read from disk, so the
// program shows the same icons wherever it runs.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <string>

#include "idl/Enums.h"

// A new pixbuf of `size` × `size` pixels (the caller owns the reference).
GdkPixbuf* DrawTrayIcon(TrayIconImage image, int size);

// Writes both icons as PNG files named "pellora-201.png" and "pellora-202.png" into
// `directory` (created when missing), for hosts that take icons by name from a theme
// path. False when they could not be written.
bool WriteTrayIconFiles(const std::string& directory);

// The icon name under which WriteTrayIconFiles stored `image`.
std::string TrayIconName(TrayIconImage image);
