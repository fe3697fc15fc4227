// The enumerations and fixed numbers that more than one part of Corvane agrees on.
//
// `NetworkProtocol` is an enumeration of the service's type library: scripts receive it
// as the first argument of Filtering_IsProtocolAllowed and can name its values (the
// type library object in TypeLibrary.h gives them to script engines). The rest belongs
// to the tray program and the service's side of it: the messages the tray object posts
// to its window, the icons, the balloon options, the page prefixes of menu items, and how
// the icon's position on screen is looked for.
#pragma once

#include <string_view>

#include "com/Types.h"

// The protocol that the relay detected on a diverted connection.
enum class NetworkProtocol : LONG {
    Unrecognised = 0,
    HTTP = 1,
    TLS1 = 2,
    SSL3 = 3,
    SSL2 = 4,
};

// ---- The tray program ------------------------------------------------------------------

// Messages the tray object posts to its window thread; each carries one argument.
enum class TrayMessage : UINT {
    IconCallback = 1024,    // a mouse or keyboard event on the icon
    Balloon = 1025,         // a balloon record; the window takes ownership
    BalloonEnd = 1026,      // 1 when the user clicked the balloon, else 0
    SetIcon = 1027,         // the icon name; the window takes ownership
    SetTip = 1028,          // the tip text; the window takes ownership
    SetPrivatePort = 1029,  // the local web server's port
    LoadLibraries = 1030,   // once, at the window's start
};

// The tray program's own icons.
enum class TrayIconImage : WORD {
    Program = 101,  // the program's file icon
    On = 201,       // the window's own icon and the "on" state
    Off = 202,      // the "off" state, and the icon shown at start
    Spare = 203,    // carried but not shown
};

// The icon's identifier within the tray window.
constexpr UINT TRAY_ICON_ID = 1;
// The icon name that selects the "off" image (compared without regard to case); any
// other name selects the "on" image.
inline constexpr std::u16string_view TRAY_ICON_OFF_NAME = u"images/taskbar.off.ico";
// Tooltips are cut to this many characters.
constexpr UINT TRAY_TIP_MAX_CHARS = 63;

// A menu item's or balloon's page path with one of these prefixes opens in an HTML
// dialog (visible, or without a window) instead of the browser.
inline constexpr std::u16string_view TRAY_PAGE_PREFIX_DIALOG = u"dialog:";
inline constexpr std::u16string_view TRAY_PAGE_PREFIX_HIDDEN = u"hidden:";
constexpr DWORD HTMLDLG_NOUI = 16;
constexpr DWORD HTMLDLG_MODAL = 32;

// Option bits of a balloon window.
enum BalloonOption : DWORD {
    BALLOON_CLOSE_BOX = 0x1,
    BALLOON_TOPMOST = 0x4,
    BALLOON_CLOSE_ON_LBUTTON_DOWN = 0x8,
    BALLOON_CLOSE_ON_MBUTTON_DOWN = 0x10,
    BALLOON_CLOSE_ON_RBUTTON_DOWN = 0x20,
    BALLOON_CLOSE_ON_LBUTTON_UP = 0x40,
    BALLOON_CLOSE_ON_MBUTTON_UP = 0x80,
    BALLOON_CLOSE_ON_RBUTTON_UP = 0x100,
    BALLOON_CLOSE_ON_MOUSE_MOVE = 0x200,
    BALLOON_CLOSE_ON_KEY_PRESS = 0x400,
    BALLOON_CLOSE_ON_DEACTIVATE = 0x800,
    BALLOON_DELETE_SELF = 0x1000,
    BALLOON_NO_FADE_IN = 0x2000,
    BALLOON_NO_FADE_OUT = 0x4000,
    BALLOON_DO_NOT_SHOW = 0x8000,
};

// What the tray shows its balloons with: a close box, topmost, closed by a key press or
// by losing activation, no fade-out.
constexpr DWORD BALLOON_TRAY_OPTIONS = BALLOON_CLOSE_BOX | BALLOON_TOPMOST |
                                       BALLOON_CLOSE_ON_KEY_PRESS | BALLOON_CLOSE_ON_DEACTIVATE |
                                       BALLOON_NO_FADE_OUT;
constexpr UINT BALLOON_TIMEOUT_MS = 15000;

// How the icon's position on screen is looked for.
enum class TrackType : LONG {
    DirectFirst = 0,      // ask the tray directly, then scan the screen
    VisualScanFirst = 1,  // scan the screen, then ask directly
    DirectOnly = 2,
    VisualScanOnly = 3,
};

// How fresh a scanned position must be: re-scan when older than 60, 30 or 10 seconds.
enum class TrackPrecision : LONG {
    Default = 0,  // the locator's default, High
    Low = 1,
    Medium = 2,
    High = 3,
};
