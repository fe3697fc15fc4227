// The restart request to logind over sd-bus.
#include "objects/SystemReboot.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "com/DiagnosticLog.h"

namespace {

std::mutex& CallLock() {
    static std::mutex lock;  // guards TestCall(); taken alone
    return lock;
}

CSystemReboot::Call& TestCall() {
    static CSystemReboot::Call call;
    return call;
}

bool RebootThroughLogind() {
    sd_bus* pBus = nullptr;
    const int rcOpen = sd_bus_open_system(&pBus);
    std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus(pBus,
                                                                     &sd_bus_flush_close_unref);
    if (CheckExpression(rcOpen < 0)) {
        LogTrace("Cannot reach the system bus to restart: %s\n", std::strerror(-rcOpen));
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* pReply = nullptr;
    const int rc =
        sd_bus_call_method(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Reboot", &error, &pReply, "b", 0);
    sd_bus_message_unref(pReply);
    if (CheckExpression(rc < 0)) {
        LogTrace("The restart request was refused: %s\n",
                 error.message ? error.message : std::strerror(-rc));
        sd_bus_error_free(&error);
        return false;
    }
    sd_bus_error_free(&error);
    return true;
}

}  // namespace

HRESULT CSystemReboot::Request(bool* pbAccepted) {
    if (CheckExpression(!pbAccepted))
        return E_POINTER;
    *pbAccepted = false;
    try {
        Call call;
        {
            std::lock_guard guard(CallLock());
            call = TestCall();
        }
        *pbAccepted = call ? call() : RebootThroughLogind();
        return S_OK;
    } catch (...) {
        return ReportException("CSystemReboot::Request", CV_HERE);
    }
}

void CSystemReboot::SetCallForTest(Call call) {
    std::lock_guard guard(CallLock());
    TestCall() = std::move(call);
}
