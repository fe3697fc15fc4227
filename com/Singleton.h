// CSingleton: one lazily created, process-wide instance of a class, ended at module
// termination.
//
// `CSingleton<T>::instance()` reads an existing instance without locking; the first
// call creates it under the module's static-data lock and registers a termination
// function with the module. `ModuleTerminate()` runs the termination functions most
// recently registered first, so a singleton that uses another one created before it
// is deleted while the other still exists.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <new>

#include "com/DiagnosticLog.h"

// The module's global lock for static data; guards singleton creation and the
// termination list. Nothing else is taken while it is held.
std::recursive_mutex& ModuleStaticDataLock();

// Registers a function to run at module termination.
void AddTerminationFunction(std::function<void()> fn);

// Runs and forgets the termination functions, most recently added first.
void ModuleTerminate();

// The lock parameter names the lock class that T's own operations use; it is kept
// for the shape of the declarations (CSingleton<CAsyncThreadPool, CComAutoCriticalSection>).
template <class T, class Lock = std::recursive_mutex>
class CSingleton {
public:
    static T* instance() {
        if (T* p = s_instance.load(std::memory_order_acquire)) return p;
        std::lock_guard guard(ModuleStaticDataLock());
        if (T* p = s_instance.load(std::memory_order_relaxed)) return p;
        T* created = new (std::nothrow) T();
        if (CheckExpression(!created)) return nullptr;
        s_instance.store(created, std::memory_order_release);
        AddTerminationFunction([] { delete s_instance.exchange(nullptr); });
        return created;
    }

    // True when the instance exists (does not create it).
    static bool exists() { return s_instance.load(std::memory_order_acquire) != nullptr; }

private:
    static inline std::atomic<T*> s_instance{nullptr};
};
