// CHtmlDialog: a local page shown as a dialog in a WebKitGTK window.
//
// Menu items and balloons whose page is marked "dialog:" open here instead of the
// browser; "hidden:" pages load in a window that is never shown. The feature string
// (DialogFeatures.h) sets the size, the position (given, centred on the screen, or by the
// tray icon), whether the user may resize the window and whether the page scrolls. The
// page ends the dialog with window.close(), the user by closing the window. The dialog
// does not block the GTK thread: while it is open the tray window counts as busy, and
// `onClosed` tells it when the dialog has gone. The object deletes itself then.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "tray/DialogFeatures.h"
#include "tray/TrayIconPosition.h"

class CHtmlDialog {
public:
    // Opens `address`. `anchor` is the tray icon's position, when known; `onClosed` runs
    // on the GTK thread when the dialog has ended. Returns null when no dialog could be
    // made (the caller then opens the page in the browser).
    static CHtmlDialog* Open(const std::string& address, const DialogFeatures& features,
                             bool hidden, std::optional<TrayPoint> anchor,
                             std::function<void()> onClosed);

    // Brings a visible dialog to the front.
    void Present();
    // Ends the dialog (as if the page had closed it).
    void Close();

    // Where a dialog of `width` × `height` goes on a `screenWidth` × `screenHeight` screen:
    // the given position, else centred, else with its bottom right corner at the anchor
    // (kept on the screen).
    static TrayPoint Placement(const DialogFeatures& features, int width, int height,
                               int screenWidth, int screenHeight, std::optional<TrayPoint> anchor);

private:
    CHtmlDialog() = default;
    ~CHtmlDialog() = default;
    static void OnDestroy(void* widget, void* self);
    static void OnPageClose(void* view, void* self);
    static void OnTitle(void* view, void* property, void* self);

    void* m_window = nullptr;  // GtkWidget*
    bool m_bHidden = false;
    std::function<void()> m_onClosed;
};
