// CSystemReboot: asks the system to restart, through logind on the system bus
// (org.freedesktop.login1.Manager.Reboot, not interactive). Tests replace the call so
// that nothing restarts.
#pragma once

#include <functional>

#include "com/HResult.h"

class CSystemReboot {
public:
    // Gives S_OK and whether the system accepted the request; a request that the system
    // refused or could not receive is logged and gives false.
    static HRESULT Request(bool* pbAccepted);

    // Replaces the bus call for the rest of the process (an empty function restores it).
    using Call = std::function<bool()>;
    static void SetCallForTest(Call call);
};
