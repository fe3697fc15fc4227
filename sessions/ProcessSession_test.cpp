// The script object User: values shared by a user's processes, locale, script access.
#include "sessions/ProcessSession.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "com/Locale.h"
#include "idl/DispatchIds.h"
#include "idl/ServiceInterfaces.h"
#include "sessions/SessionTestSupport.h"

namespace {

class CReservedObject
    : public CComObjectRoot<CReservedObject, IDispatchImpl<CReservedObject>, ICorvane_Reserved> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IReserved", {});
        return table;
    }
};

class ProcessSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CUserSession::Create(nullptr, 1000, getpid(), &m_user));
        CSessionEvents events;
        GUID key;
        ASSERT_EQ(S_OK,
                  m_user->GetProcessSession(getpid(), BSTR(u"/usr/bin/a"), &key, &m_a, &events));
        ASSERT_EQ(S_OK,
                  m_user->GetProcessSession(getppid(), BSTR(u"/usr/bin/b"), &key, &m_b, &events));
    }
    void TearDown() override { m_user->Stop(); }

    std::shared_ptr<CUserSession> m_user;
    CComPtr<CProcessSession> m_a, m_b;
};

TEST_F(ProcessSessionTest, ValuesAreSharedAcrossTheUsersProcessesAndOwnObjectsAreRefused) {
    CComVariant value;
    ASSERT_EQ(S_OK, m_a->get_Value(BSTR(u"never"), &value));
    EXPECT_EQ(value.vt, VT_EMPTY);

    ASSERT_EQ(S_OK, m_a->put_Value(BSTR(u"Count"), CComVariant(LONG(42))));
    ASSERT_EQ(S_OK, m_b->get_Value(BSTR(u"COUNT"), &value));
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, 42);

    auto reserved = MakeObject<CReservedObject>();
    EXPECT_EQ(E_ACCESSDENIED,
              m_a->put_Value(BSTR(u"x"), CComVariant(static_cast<IDispatch*>(reserved.Get()))));
    IDispatch* byRef = reserved.Get();
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_DISPATCH | VT_BYREF;
    ref.ppdispVal = &byRef;
    EXPECT_EQ(E_ACCESSDENIED, m_a->putref_Value(BSTR(u"x"), ref));
}

TEST_F(ProcessSessionTest, LocaleTimeoutAndIdentityMembers) {
    ASSERT_EQ(S_OK, m_a->put_LCID(0));
    LONG lcid = 0;
    ASSERT_EQ(S_OK, m_b->get_LCID(&lcid));
    EXPECT_EQ(static_cast<LCID>(lcid), GetSystemDefaultLCID());
    ASSERT_EQ(S_OK, m_a->put_LCID(0x407));
    ASSERT_EQ(S_OK, m_b->get_LCID(&lcid));
    EXPECT_EQ(lcid, 0x407);
    EXPECT_EQ(E_INVALIDARG, m_a->put_LCID(0x12345));

    LONG codePage = 0;
    ASSERT_EQ(S_OK, m_a->get_CodePage(&codePage));
    EXPECT_EQ(codePage, 65001);

    BSTR text;
    ASSERT_EQ(S_OK, m_b->get_CurrentProcess(&text));
    EXPECT_EQ(text, BSTR(u"/usr/bin/b"));
    ASSERT_EQ(S_OK, m_a->get_LocalURL(&text));
    EXPECT_EQ(text.ToUtf8(), "http://localhost:" + std::to_string(m_user->PrivatePort()));
    EXPECT_EQ(E_POINTER, m_a->get_Name(nullptr));
    CComPtr<IDispatch> tray;
    EXPECT_EQ(S_OK, m_a->get_TrayIcon(tray.Receive()));
}

TEST_F(ProcessSessionTest, ScriptsReachMembersThroughDispatch) {
    CComPtr<IDispatch> dispatch = ComQuery<IDispatch>(static_cast<IUserObject*>(m_a.Get()));
    ASSERT_TRUE(dispatch);
    const char16_t* names[] = {u"timeout"};
    DISPID id = 0;
    ASSERT_EQ(S_OK, dispatch->GetIDsOfNames(GUID_NULL, names, 1, 0, &id));
    EXPECT_EQ(id, DISPID_IUSEROBJECT_TIMEOUT);

    CComVariant value(LONG(7));
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &put, 1, 1};
    ASSERT_EQ(S_OK, dispatch->Invoke(id, GUID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr,
                                     nullptr, nullptr));
    CComVariant result;
    DISPPARAMS none;
    ASSERT_EQ(S_OK, dispatch->Invoke(id, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result,
                                     nullptr, nullptr));
    EXPECT_EQ(result.lVal, 7);

    // Value(name) = v and Value(name) through dispatch.
    CComVariant args[2] = {CComVariant(u"hello"), CComVariant(u"Greeting")};
    DISPPARAMS putValue{args, &put, 2, 1};
    ASSERT_EQ(S_OK, dispatch->Invoke(DISPID_IUSEROBJECT_VALUE, GUID_NULL, 0, DISPATCH_PROPERTYPUT,
                                     &putValue, nullptr, nullptr, nullptr));
    CComVariant name(u"greeting");
    DISPPARAMS getValue{&name, nullptr, 1, 0};
    CComVariant got;
    ASSERT_EQ(S_OK, dispatch->Invoke(DISPID_IUSEROBJECT_VALUE, GUID_NULL, 0, DISPATCH_PROPERTYGET,
                                     &getValue, &got, nullptr, nullptr));
    EXPECT_EQ(got.vt, VT_BSTR);

    // The same variable through the Contents collection; StaticObjects is read-only.
    CComPtr<IDispatch> contents, statics;
    ASSERT_EQ(S_OK, m_a->get_Contents(contents.Receive()));
    ASSERT_EQ(S_OK, m_b->get_StaticObjects(statics.Receive()));
    CComVariant key(u"Greeting"), item;
    DISPPARAMS getItem{&key, nullptr, 1, 0};
    ASSERT_EQ(S_OK, contents->Invoke(DISPID_VALUE, GUID_NULL, 0, DISPATCH_PROPERTYGET, &getItem,
                                     &item, nullptr, nullptr));
    EXPECT_EQ(u"hello", std::u16string(BSTR::ViewOf(item.bstrVal)));
    CComVariant putArgs[2] = {CComVariant(u"x"), CComVariant(u"Greeting")};
    DISPPARAMS putItem{putArgs, &put, 2, 1};
    EXPECT_TRUE(FAILED(statics->Invoke(DISPID_VALUE, GUID_NULL, 0, DISPATCH_PROPERTYPUT, &putItem,
                                       nullptr, nullptr, nullptr)));
}

// A session of a process follows that process: open while it runs, closed as soon as it has
// ended, whether it is still a zombie or has been reaped, and closed for good afterwards.
TEST_F(ProcessSessionTest, IsOpenWhileItsProcessRunsAndClosedOnceItHasEnded) {
    for (const bool reap : {false, true}) {
        SCOPED_TRACE(reap ? "reaped" : "zombie");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            pause();
            _exit(0);
        }
        auto session = MakeObject<CProcessSession>();
        GUID key;
        ASSERT_EQ(S_OK, session->Init(m_user, BSTR(u"/usr/bin/child"), child, &key));
        EXPECT_TRUE(session->IsOpen());
        EXPECT_TRUE(session->IsOpenRecently());
        ASSERT_EQ(0, kill(child, SIGKILL));
        siginfo_t info{};
        // Waits for the end; without WNOWAIT the child is reaped as well.
        ASSERT_EQ(0,
                  waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | (reap ? 0 : WNOWAIT)));
        // What was seen a moment ago holds for a millisecond only.
        std::this_thread::sleep_for(std::chrono::nanoseconds(2 * CProcessSession::kSeenOpenForNs));
        EXPECT_FALSE(session->IsOpenRecently());
        EXPECT_FALSE(session->IsOpen());
        EXPECT_FALSE(session->IsOpen());
        if (!reap)
            waitpid(child, nullptr, 0);
    }
}

TEST_F(ProcessSessionTest, AProcessGoneBeforeItAttachedIsClosedAndADetachedOneOpen) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(0);
    ASSERT_EQ(child, waitpid(child, nullptr, 0));
    auto gone = MakeObject<CProcessSession>();
    GUID key;
    ASSERT_EQ(S_OK, gone->Init(m_user, BSTR(u"/usr/bin/gone"), child, &key));
    EXPECT_FALSE(gone->IsOpen());

    // The program's own session (no process id) and a detached one count as open.
    auto own = MakeObject<CProcessSession>();
    ASSERT_EQ(S_OK, own->Init(m_user, BSTR(u"/usr/bin/own"), 0, &key));
    // A session is bound once; a second Init changes nothing, its key least of all.
    GUID again{}, kept{};
    EXPECT_EQ(E_UNEXPECTED, own->Init(m_user, BSTR(u"/usr/bin/other"), 0, &again));
    ASSERT_EQ(S_OK, own->GetKey(&kept));
    EXPECT_TRUE(kept == key);
    EXPECT_TRUE(own->IsOpen());
    ASSERT_EQ(S_OK, m_b->Detach());
    EXPECT_TRUE(m_b->IsOpen());
}

}  // namespace
