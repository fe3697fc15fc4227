// The module's termination list.
#include "com/Singleton.h"

#include <vector>

namespace {
std::vector<std::function<void()>>& TerminationFunctions() {
    static std::vector<std::function<void()>> fns;
    return fns;
}
}  // namespace

std::recursive_mutex& ModuleStaticDataLock() {
    static std::recursive_mutex lock;
    return lock;
}

void AddTerminationFunction(std::function<void()> fn) {
    std::lock_guard guard(ModuleStaticDataLock());
    TerminationFunctions().push_back(std::move(fn));
}

void ModuleTerminate() {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard guard(ModuleStaticDataLock());
            auto& fns = TerminationFunctions();
            if (fns.empty()) return;
            fn = std::move(fns.back());
            fns.pop_back();
        }
        try {
            fn();
        } catch (...) {
            ReportException("CCorvane2Module::Term", CV_HERE);
        }
    }
}
