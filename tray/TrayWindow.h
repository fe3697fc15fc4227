// ITrayWindow: what the tray object hands to the window that owns the icon.
//
// The tray object's methods run on RPC threads; everything that concerns the icon, the
// tooltip, balloons and the menu is handed to the window as a posted message and carried
// out on the window's own (GTK) thread, in the order it was posted. Strings travel as
// owned copies in UTF-8, this platform's ANSI code page.
#pragma once

#include <string>

#include "idl/Enums.h"

// A balloon message as the window queues it.
struct BalloonRecord {
    std::string strTitle;
    std::string strMessage;
    std::string strClickUrl;
    std::string strExtras;
};

// One posted message and its argument.
struct TrayPost {
    TrayMessage message = TrayMessage::LoadLibraries;
    std::string strText;    // SetIcon, SetTip
    BalloonRecord balloon;  // Balloon
    UINT uValue = 0;        // SetPrivatePort: the port; BalloonEnd: 1 for a click
};

class ITrayWindow {
public:
    // Queues a message for the window thread; callable from any thread.
    virtual void Post(TrayPost post) = 0;
    // The menu tree changed; callable from any thread.
    virtual void MenuChanged() = 0;
    // Removes the icon and ends the window's loop; callable from any thread.
    virtual void Destroy() = 0;
    // Takes the icon down until the next port arrives and forgets the port (the service
    // that drove it has gone); callable from any thread.
    virtual void Reset() = 0;

protected:
    ~ITrayWindow() = default;
};
