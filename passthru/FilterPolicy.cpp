// The installed filter policy.
#include "passthru/FilterPolicy.h"

#include <mutex>

namespace {

std::mutex& PolicyLock() {
    static std::mutex s_lock;  // guards the policy pointer only; a leaf lock
    return s_lock;
}

std::shared_ptr<CFilterPolicy>& Policy() {
    static std::shared_ptr<CFilterPolicy> s_policy;
    return s_policy;
}

}  // namespace

void CFilterPolicy::Install(std::shared_ptr<CFilterPolicy> policy) {
    std::lock_guard guard(PolicyLock());
    Policy() = std::move(policy);
}

std::shared_ptr<CFilterPolicy> CFilterPolicy::Current() {
    std::lock_guard guard(PolicyLock());
    return Policy();
}
