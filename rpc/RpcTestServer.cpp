// The peer process of the object RPC's end-to-end tests.
//
//     rpc_test_server SOCKET-PATH [client]
//
// Serves a test object (CTestRoot below) on SOCKET-PATH with mode 0600 and writes
// "ready" to standard output. With "client" it connects to SOCKET-PATH instead and
// exercises the other direction: it takes the root of the test process, calls its
// method "Ping" through dispatch and writes "ok <result>" or "fail <status>". It writes
// "blocked" from inside Block(), so a test knows a call is in progress before killing
// it. It exits when standard input closes.
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "com/DispatchTable.h"
#include "com/ErrorInfo.h"
#include "rpc/RpcServer.h"

namespace {

// The custom interface of the tests: method 1 adds its arguments, method 2 doubles its
// by-reference argument.
constexpr IID IID_ITestCustom = MakeGUID("{0C7A3B2E-55D1-4E8F-9B36-7F1D2A4C6E90}");

class CTestRoot : public CComObjectRoot<CTestRoot, IDispatchImpl<CTestRoot>, IRpcCall> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(
            u"ITestRoot", {
                              DispMethod<&CTestRoot::Add>(u"Add", 1),
                              DispMethod<&CTestRoot::Echo>(u"Echo", 2),
                              DispMethod<&CTestRoot::CallBack>(u"CallBack", 3),
                              DispMethod<&CTestRoot::Caller>(u"Caller", 4),
                              DispMethod<&CTestRoot::Keep>(u"Keep", 5),
                              DispMethod<&CTestRoot::Kept>(u"Kept", 6),
                              DispMethod<&CTestRoot::Twice>(u"Twice", 7),
                              DispMethod<&CTestRoot::Fail>(u"Fail", 8),
                              DispMethod<&CTestRoot::Block>(u"Block", 9),
                              DispMethod<&CTestRoot::Self>(u"Self", 10),
                              DispMethod<&CTestRoot::IsNullString>(u"IsNullString", 11),
                          });
        return table;
    }
    HRESULT Add(LONG a, LONG b, LONG* pResult) {
        *pResult = a + b;
        return S_OK;
    }
    HRESULT Echo(const VARIANT& v, VARIANT* pResult) { return VariantCopy(pResult, &v); }
    // Calls `callback.Name(value)` by name and returns its result.
    HRESULT CallBack(IDispatch* callback, BSTR name, LONG value, VARIANT* pResult) {
        if (!callback)
            return E_POINTER;
        const char16_t* names[] = {name.Str().c_str()};
        DISPID id = 0;
        HRESULT hr = callback->GetIDsOfNames(GUID_NULL, names, 1, 0, &id);
        if (FAILED(hr))
            return hr;
        CComVariant arg(value);
        DISPPARAMS params{&arg, nullptr, 1, 0};
        return callback->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &params, pResult, nullptr,
                                nullptr);
    }
    // "uid pid" of the caller.
    HRESULT Caller(BSTR* pResult) {
        auto caller = CurrentRpcCaller();
        if (!caller)
            return E_UNEXPECTED;
        *pResult = BSTR::FromUtf8(std::to_string(caller->uid) + " " + std::to_string(caller->pid));
        return S_OK;
    }
    HRESULT Keep(IUnknown* object) {
        std::lock_guard lock(m_mutex);
        m_kept = object;
        return S_OK;
    }
    HRESULT Kept(IUnknown** pResult) {
        std::lock_guard lock(m_mutex);
        *pResult = m_kept.Get();
        if (*pResult)
            (*pResult)->AddRef();
        return S_OK;
    }
    HRESULT Twice(ByRef<LONG> value, ByRef<BSTR> text) {
        *value *= 2;
        text->Mutable() += u"!";
        return S_OK;
    }
    HRESULT Fail() { return ReportError(E_ACCESSDENIED, u"TestRoot", u"Denied on purpose"); }
    HRESULT Block() {
        std::printf("blocked\n");
        std::fflush(stdout);
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [] { return false; });
        return S_OK;
    }
    HRESULT Self(IDispatch** pResult) {
        *pResult = this;
        AddRef();
        return S_OK;
    }
    HRESULT IsNullString(BSTR text, bool* pResult) {
        *pResult = text.IsNull();
        return S_OK;
    }

    HRESULT RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs,
                    VARIANT* pResult) override {
        if (iid != IID_ITestCustom)
            return E_NOINTERFACE;
        if (method == 1) {
            LONGLONG sum = 0;
            for (UINT i = 0; i < cArgs; ++i) {
                CComVariant v;
                if (FAILED(VariantChangeType(&v, &rgArgs[i], 0, VT_I8)))
                    return DISP_E_TYPEMISMATCH;
                sum += v.llVal;
            }
            if (pResult)
                *static_cast<CComVariant*>(pResult) = CComVariant(sum);
            return S_OK;
        }
        if (method == 2) {
            if (cArgs != 1 || rgArgs[0].vt != (VT_I4 | VT_BYREF))
                return E_INVALIDARG;
            *rgArgs[0].plVal *= 2;
            return S_OK;
        }
        return ReportError(E_NOTIMPL, u"TestCustom", u"No such method");
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    CComPtr<IUnknown> m_kept;
};

int RunClient(const char* path) {
    std::shared_ptr<CRpcConnection> conn;
    HRESULT hr = CRpcConnection::Connect(path, &conn);
    CComPtr<IUnknown> root;
    if (SUCCEEDED(hr))
        hr = conn->GetRoot(root.Receive());
    CComPtr<IDispatch> dispatch = ComQuery<IDispatch>(root.Get());
    CComVariant result;
    if (SUCCEEDED(hr)) {
        const char16_t* names[] = {u"Ping"};
        DISPID id = 0;
        hr = dispatch ? dispatch->GetIDsOfNames(GUID_NULL, names, 1, 0, &id) : E_NOINTERFACE;
        DISPPARAMS none;
        if (SUCCEEDED(hr))
            hr = dispatch->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr,
                                  nullptr);
    }
    if (SUCCEEDED(hr))
        std::printf("ok %s\n", Utf16ToUtf8(CComVariant(result).Text()).c_str());
    else
        std::printf("fail %s\n", HResultToString(hr).c_str());
    std::fflush(stdout);
    dispatch = nullptr;
    root = nullptr;
    if (conn)
        conn->Close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    if (argc > 2 && std::string(argv[2]) == "client")
        return RunClient(argv[1]);
    auto root = MakeObject<CTestRoot>();
    std::shared_ptr<CRpcServer> server;
    HRESULT hr =
        CRpcServer::Listen(argv[1], 0600, 0700, static_cast<IDispatch*>(root.Get()), &server);
    if (FAILED(hr)) {
        std::printf("fail %s\n", HResultToString(hr).c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    server->Stop();
    return 0;
}
