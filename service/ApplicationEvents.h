// CApplicationUserEvents: the user events of the site's application script.
//
// A user's first process runs "User_OnStart", the end of the user's session
// "User_OnEnd", and the timer that a script set runs the function it named, each in a
// fresh instance of "global.asa" with the process session as "User".
#pragma once

#include "sessions/UserEvents.h"

class CApplicationUserEvents : public IUserEvents {
public:
    HRESULT OnStart(IUserObject* user, LCID lcid) override;
    HRESULT OnEnd(IUserObject* user, LCID lcid) override;
    HRESULT OnTimer(IUserObject* user, LCID lcid, const BSTR& function) override;

private:
    static HRESULT RunProcedure(IUserObject* user, LCID lcid, std::u16string_view strProcedure);
};
