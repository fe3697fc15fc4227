// The installed user-event implementation.
#include "sessions/UserEvents.h"

#include <mutex>

namespace {

// Guards s_events; innermost, nothing is called while it is held.
std::mutex s_lock;
std::shared_ptr<IUserEvents> s_events;

}  // namespace

void SetUserEvents(std::shared_ptr<IUserEvents> events) {
    std::lock_guard guard(s_lock);
    s_events = std::move(events);
}

std::shared_ptr<IUserEvents> GetUserEvents() {
    std::lock_guard guard(s_lock);
    return s_events;
}
