// Fuzz target: compiles and runs arbitrary script text in the JScript engine. A helper
// thread interrupts the run after a bounded time, so endless loops end as the host
// would end them; errors, deep nesting and huge allocations must end in script errors.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include "script/engine/jscript/CJScriptEngine.h"

namespace {
class CFuzzSite : public CComObjectRoot<CFuzzSite, IActiveScriptSite> {
public:
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = 0x409;
        return S_OK;
    }
    HRESULT GetItemInfo(const BSTR&, DWORD, IUnknown**, ITypeInfo**) override {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    HRESULT OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT OnScriptError(IActiveScriptError*) override { return S_OK; }
    HRESULT OnEnterScript() override { return S_OK; }
    HRESULT OnLeaveScript() override { return S_OK; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CComPtr<CJScriptEngine> engine = MakeObject<CJScriptEngine>();
    CComPtr<CFuzzSite> site = MakeObject<CFuzzSite>();
    engine->SetScriptSite(site.Get());
    engine->InitNew();
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock guard(lock);
        if (!done.wait_for(guard, std::chrono::milliseconds(200), [&] { return finished; }))
            engine->InterruptScriptThread(SCRIPTTHREADID_ALL, nullptr, 0);
    });
    BSTR code(Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size)));
    engine->ParseScriptText(code, BSTR(), nullptr, BSTR(), 0, 0, SCRIPTTEXT_ISPERSISTENT, nullptr,
                            nullptr);
    engine->SetScriptState(SCRIPTSTATE_CONNECTED);
    {
        std::lock_guard guard(lock);
        finished = true;
    }
    done.notify_all();
    watchdog.join();
    engine->Close();
    return 0;
}
