// Tests of custom-interface stubs: an exported object that does not implement IRpcCall
// receives calls by ordinal through the stub registered for the interface, served by a
// listener in this process.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "com/ErrorInfo.h"
#include "rpc/RpcInterfaces.h"
#include "rpc/RpcServer.h"

namespace {

struct ITally : IUnknown {
    DECLARE_IID("{4B2D7E91-3C58-4A16-8F0D-9E6A1B5C7D24}");
    virtual HRESULT Add(LONG amount, LONG* pTotal) = 0;                        // 1
    virtual HRESULT Label(BSTR prefix, ByRef<LONG> serial, BSTR* pLabel) = 0;  // 2
    virtual HRESULT Fail() = 0;                                                // 3
};

struct IReset : IUnknown {
    DECLARE_IID("{A0E6C3F2-71B9-4D5A-8C24-3F9B6D1E0A57}");
    virtual HRESULT Reset(LONG value) = 0;  // 1
};

// An interface the test object does not answer.
constexpr IID IID_IElsewhere = MakeGUID("{5D1F8A3C-2E94-47B0-B6C1-0A7E9D2F4B68}");

class CTally : public CComObjectRoot<CTally, ITally, IReset> {
public:
    HRESULT Add(LONG amount, LONG* pTotal) override {
        m_total += amount;
        *pTotal = m_total;
        return S_OK;
    }
    HRESULT Label(BSTR prefix, ByRef<LONG> serial, BSTR* pLabel) override {
        ++*serial;
        *pLabel = BSTR::FromUtf8(prefix.ToUtf8() + std::to_string(*serial));
        return S_OK;
    }
    HRESULT Fail() override { return ReportError(E_ACCESSDENIED, u"Tally", u"Not today"); }
    HRESULT Reset(LONG value) override {
        m_total = value;
        return S_OK;
    }

private:
    LONG m_total = 0;
};

const CDispatchTable& TallyStub() {
    static const CDispatchTable table(u"ITally", {
                                                     DispMethod<&ITally::Add>(u"Add", 1),
                                                     DispMethod<&ITally::Label>(u"Label", 2),
                                                     DispMethod<&ITally::Fail>(u"Fail", 3),
                                                 });
    return table;
}

HRESULT ResetStub(void* pInterface, ULONG method, UINT cArgs, VARIANT* rgArgs, VARIANT*) {
    if (method != 1)
        return E_NOTIMPL;
    CComVariant value;
    if (cArgs != 1 || FAILED(VariantChangeType(&value, &rgArgs[0], 0, VT_I4)))
        return DISP_E_TYPEMISMATCH;
    return static_cast<IReset*>(pInterface)->Reset(value.lVal);
}

HRESULT NeverStub(void*, ULONG, UINT, VARIANT*, VARIANT*) {
    return E_UNEXPECTED;
}

class RpcInterfaces : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CRpcInterfaces::Register<ITally>(TallyStub()));
        ASSERT_EQ(S_OK, CRpcInterfaces::Register(IIDOf<IReset>(), &ResetStub));
        ASSERT_EQ(S_OK, CRpcInterfaces::Register(IID_IElsewhere, &NeverStub));
        m_path = (std::filesystem::temp_directory_path() /
                  ("rpc_interfaces." + std::to_string(getpid()) + ".sock"))
                     .string();
        auto tally = MakeObject<CTally>();
        ASSERT_EQ(S_OK, CRpcServer::Listen(m_path, 0600, 0700, static_cast<ITally*>(tally.Get()),
                                           &m_server));
        ASSERT_EQ(S_OK, CRpcConnection::Connect(m_path, &m_conn));
        CComPtr<IUnknown> root;
        ASSERT_EQ(S_OK, m_conn->GetRoot(root.Receive()));
        m_call = ComQuery<IRpcCall>(root.Get());
        ASSERT_TRUE(m_call);
    }
    void TearDown() override {
        m_call = nullptr;
        if (m_conn)
            m_conn->Close();
        if (m_server)
            m_server->Stop();
        CRpcInterfaces::Unregister(IIDOf<ITally>());
        CRpcInterfaces::Unregister(IIDOf<IReset>());
        CRpcInterfaces::Unregister(IID_IElsewhere);
    }

    std::string m_path;
    std::shared_ptr<CRpcServer> m_server;
    std::shared_ptr<CRpcConnection> m_conn;
    CComPtr<IRpcCall> m_call;
};

TEST_F(RpcInterfaces, TableStubConvertsArgumentsAndReturnsResultAndOutValues) {
    CComVariant amount(LONG(5)), total;
    ASSERT_EQ(S_OK, m_call->RpcCall(IIDOf<ITally>(), 1, 1, &amount, &total));
    EXPECT_EQ(VT_I4, total.vt);
    EXPECT_EQ(5, total.lVal);
    // A string argument converts to the declared LONG.
    CComVariant text(u"10");
    ASSERT_EQ(S_OK, m_call->RpcCall(IIDOf<ITally>(), 1, 1, &text, &total));
    EXPECT_EQ(15, total.lVal);

    // Arguments in declared order; the by-reference one comes back changed.
    LONG serial = 41;
    CComVariant args[2] = {CComVariant(u"n-"), CComVariant()};
    args[1].vt = VT_I4 | VT_BYREF;
    args[1].plVal = &serial;
    CComVariant label;
    ASSERT_EQ(S_OK, m_call->RpcCall(IIDOf<ITally>(), 2, 2, args, &label));
    args[1].vt = VT_EMPTY;  // the pointer is not the variant's to free
    EXPECT_EQ(42, serial);
    ASSERT_EQ(VT_BSTR, label.vt);
    EXPECT_EQ(u"n-42", label.Text());

    CComVariant wrong(u"not a number");
    EXPECT_EQ(DISP_E_TYPEMISMATCH, m_call->RpcCall(IIDOf<ITally>(), 1, 1, &wrong, &total));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, m_call->RpcCall(IIDOf<ITally>(), 1, 0, nullptr, &total));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, m_call->RpcCall(IIDOf<ITally>(), 9, 0, nullptr, nullptr));
}

TEST_F(RpcInterfaces, MethodErrorInformationReachesTheCaller) {
    EXPECT_EQ(E_ACCESSDENIED, m_call->RpcCall(IIDOf<ITally>(), 3, 0, nullptr, nullptr));
    CComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, info.Receive()));
    BSTR source, description;
    info->GetSource(&source);
    info->GetDescription(&description);
    EXPECT_EQ(u"Tally", source.View());
    EXPECT_EQ(u"Not today", description.View());
}

TEST_F(RpcInterfaces, FunctionStubAndInterfacesWithoutAStub) {
    CComVariant value(LONG(100)), total;
    ASSERT_EQ(S_OK, RpcInvoke(m_call.Get(), IIDOf<IReset>(), 1, nullptr, LONG(100)));
    ASSERT_EQ(S_OK, RpcInvoke(m_call.Get(), IIDOf<ITally>(), 1, &total, LONG(1)));
    EXPECT_EQ(101, total.lVal);
    EXPECT_EQ(E_NOTIMPL, m_call->RpcCall(IIDOf<IReset>(), 2, 0, nullptr, nullptr));

    // A stub for an interface the object does not answer, and no stub at all.
    EXPECT_EQ(E_NOINTERFACE, m_call->RpcCall(IID_IElsewhere, 1, 0, nullptr, nullptr));
    ASSERT_EQ(S_OK, CRpcInterfaces::Unregister(IIDOf<IReset>()));
    EXPECT_EQ(S_FALSE, CRpcInterfaces::Unregister(IIDOf<IReset>()));
    EXPECT_EQ(E_NOINTERFACE, m_call->RpcCall(IIDOf<IReset>(), 1, 1, &value, nullptr));
}

}  // namespace
