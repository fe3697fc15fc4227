// The tray window's text rules, apart from GTK so they can be tested alone: which image
// an icon name selects, how tooltips are cut, how a menu text's mnemonic is written for
// GTK, and how a page path of a menu item or balloon becomes an address.
#pragma once

#include <string>
#include <string_view>

#include "idl/Enums.h"

// TrayIconImage::Off for "images/taskbar.off.ico" in any case, else TrayIconImage::On.
TrayIconImage IconForName(std::string_view name);

// The first TRAY_TIP_MAX_CHARS characters of a UTF-8 tooltip.
std::string CutTip(std::string_view tip);

// A menu text with "&" marking the mnemonic ("&&" a literal ampersand) in GTK's form,
// where "_" marks it and "__" is a literal underscore.
std::string MenuMnemonic(std::string_view text);

// How a page is to be opened.
struct LocalPage {
    enum class Mode { Browser, Dialog, Hidden };
    Mode mode = Mode::Browser;
    std::string strPath;  // without the "dialog:" or "hidden:" prefix
};
LocalPage ParseLocalPage(std::string_view url);

// "http://localhost:<port>/<path>"; leading slashes of the path are dropped so the
// address never reads "//".
std::string LocalPageAddress(unsigned port, std::string_view path);
