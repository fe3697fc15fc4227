// IUserEvents: where a user session's script events go.
//
// The user-level entry points of the site's application script (User_OnStart,
// User_OnEnd and the timer function) run through this one interface, with the process
// session as the script's "User" object and the user's locale. The program installs the
// implementation that runs the application script; until one is installed the events
// run nothing and succeed. Events are raised on pool threads with no lock held.
#pragma once

#include <memory>

#include "com/Bstr.h"
#include "com/HResult.h"
#include "sessions/UserObject.h"

class IUserEvents {
public:
    virtual ~IUserEvents() = default;
    virtual HRESULT OnStart(IUserObject* user, LCID lcid) = 0;
    virtual HRESULT OnEnd(IUserObject* user, LCID lcid) = 0;
    virtual HRESULT OnTimer(IUserObject* user, LCID lcid, const BSTR& function) = 0;
};

// Installs the implementation (null: run nothing). Events already running finish with
// the one they started with.
void SetUserEvents(std::shared_ptr<IUserEvents> events);
std::shared_ptr<IUserEvents> GetUserEvents();
