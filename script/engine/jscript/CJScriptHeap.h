// One Duktape heap and what the engine keeps beside it.
//
// The heap is the JavaScript world of one engine object: its global object, the
// compiled functions it runs, the interrupt request that the execution time-out hook
// reads, the lock that keeps every entry into the interpreter on one thread at a time,
// and the table of dispatch ids that the engine's IDispatch views hand out for names.
// Objects that live outside the heap but refer into it (dispatch views of script
// objects) hold the heap by shared pointer and find it closed once the engine closes.
// Allocations are counted and refused beyond a limit, so a script that builds huge
// strings gets a RangeError instead of taking the process's memory.
//
// Creating a Duktape heap costs far more than a small page's run, so a heap can be
// reset for another run instead (`Reset`): the scripts then run in a new Duktape thread
// with a new global environment (fresh global object and fresh built-ins), everything
// the host kept in the heap is dropped, and a garbage collection releases the host
// objects the previous run still held. Nothing of the previous run stays reachable.
#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>
#include "com/Dispatch.h"
#include "duktape.h"

struct IActiveScriptSite;
struct CJScriptErrorDetails;

class CJScriptHeap : public std::enable_shared_from_this<CJScriptHeap> {
public:
    explicit CJScriptHeap(std::size_t memoryLimit = kDefaultMemoryLimit);
    ~CJScriptHeap();
    CJScriptHeap(const CJScriptHeap&) = delete;
    CJScriptHeap& operator=(const CJScriptHeap&) = delete;

    static constexpr std::size_t kDefaultMemoryLimit = 256u << 20;

    // Creates the Duktape heap; E_OUTOFMEMORY when Duktape cannot start.
    HRESULT Open();
    // How many Duktape heaps the process has created so far (a reused heap is not
    // created again).
    static std::size_t OpenedCount();
    // Destroys the Duktape heap (finalizers release the host objects it held).
    void Close();
    // Makes the heap as good as new for another engine: a new global environment, the
    // host's kept values and names dropped, the previous run's garbage collected, no
    // site. False when the heap cannot be reused (it is in a call, or Duktape failed);
    // it must then be closed.
    bool Reset();
    // The context scripts run in: the heap's own thread, or after a reset the thread
    // that carries the current global environment.
    duk_context* Context() const { return m_run; }
    // The heap that a native function of this heap runs in.
    static CJScriptHeap* From(duk_context* ctx);
    static std::shared_ptr<CJScriptHeap> SharedFrom(duk_context* ctx);

    // Calls into the heap from the host nest; the interrupt request lives until the
    // outermost call returns. EnterCall tells whether this call is the outermost.
    bool EnterCall() { return m_depth++ == 0; }
    void LeaveCall(bool outermost) {
        --m_depth;
        if (outermost)
            ClearInterrupt();
    }
    bool InScript() const { return m_depth > 0; }

    // Guards the interpreter: every entry into the heap holds it (recursive, so a
    // script → host → script call re-enters on the same thread). A leaf below the
    // engine's own lock.
    std::recursive_mutex& Lock() { return m_lock; }

    // Interrupt requests, read by the time-out hook at instruction boundaries.
    void RequestInterrupt() { m_interrupt.store(true, std::memory_order_release); }
    bool InterruptRequested() const { return m_interrupt.load(std::memory_order_acquire); }
    void ClearInterrupt() { m_interrupt.store(false, std::memory_order_release); }

    // Dispatch ids for member names (the same name always gets the same id).
    DISPID IdOfName(const std::u16string& name);
    const std::u16string* NameOfId(DISPID id) const;

    // Keeps the JavaScript value at `index` reachable under a new key; PushKept puts it
    // back on the stack, Release lets it go.
    unsigned Keep(duk_idx_t index);
    void PushKept(unsigned key);
    void ReleaseKept(unsigned key);

    // The locale the engine's site gave, for conversions.
    LCID m_lcid = 0x0409;
    // The site, for named items created on demand (not owned; the engine holds it).
    IActiveScriptSite* m_pSite = nullptr;
    // Reports an error of a call that came from the host to the engine's site; set by
    // the engine while it is open. Called without the heap's lock.
    std::function<void(const CJScriptErrorDetails&)> m_reportError;
    // Identifiers already settled as globals of the current global environment (own or
    // global members); guarded by Lock().
    std::set<std::u16string> m_resolvedNames;

private:
    static void* Alloc(void* udata, duk_size_t size);
    static void* Realloc(void* udata, void* ptr, duk_size_t size);
    static void Free(void* udata, void* ptr);
    static void Fatal(void* udata, const char* message);

    const std::size_t m_memoryLimit;
    std::atomic<std::size_t> m_memoryUsed{0};
    duk_context* m_ctx = nullptr;  // the heap's own thread
    duk_context* m_run = nullptr;  // see Context(); kept reachable from the heap stash
    std::recursive_mutex m_lock;   // see Lock()
    std::atomic<bool> m_interrupt{false};
    std::map<std::u16string, DISPID> m_ids;  // guarded by m_lock
    std::vector<std::u16string> m_names;     // index = DISPID - kFirstId
    unsigned m_nextKey = 1;                  // guarded by m_lock
    std::atomic<int> m_depth{0};             // changed under m_lock
    static constexpr DISPID kFirstId = 1000;
};
