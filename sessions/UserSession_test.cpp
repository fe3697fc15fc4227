// User sessions: process-session table, user events and their timing, clean-up, trays.
#include "sessions/UserSession.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>

#include "sessions/SessionTestSupport.h"

using namespace std::chrono_literals;

namespace {

// A child process that lives until killed.
class CSleeper {
public:
    CSleeper() {
        m_pid = fork();
        if (m_pid == 0) {
            pause();
            _exit(0);
        }
    }
    ~CSleeper() { Kill(); }
    void Kill() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -m_pid;
        }
    }
    pid_t Pid() const { return m_pid > 0 ? m_pid : -m_pid; }

private:
    pid_t m_pid;
};

class CTestOwner : public IUserSessionOwner {
public:
    void OnUserSessionEmpty(const std::shared_ptr<CUserSession>& session) override {
        if (session->MarkStoppingIfEmpty() && !m_fired.exchange(true))
            m_empty.set_value();
    }
    std::promise<void> m_empty;
    std::atomic<bool> m_fired{false};
};

class UserSessionTest : public ::testing::Test {
protected:
    void SetUp() override { SetUserEvents(m_events); }
    void TearDown() override {
        if (m_session)
            m_session->Stop();
        SetUserEvents(nullptr);
    }
    void Create() { ASSERT_EQ(S_OK, CUserSession::Create(&m_owner, 1000, getpid(), &m_session)); }
    HRESULT Attach(LONG pid, CComPtr<CProcessSession>* out, GUID* key, IPellora* tray = nullptr) {
        CSessionEvents events;
        HRESULT hr = m_session->SetTray(tray, &events);
        if (SUCCEEDED(hr))
            hr = m_session->GetProcessSession(pid, BSTR(u"/usr/bin/browser"), key, out, &events);
        HRESULT hrEvents = events.Run();
        return FAILED(hr) ? hr : FAILED(hrEvents) ? hrEvents : hr;
    }

    CShortTimings m_timings{50, 40, 30};
    std::shared_ptr<CRecordingEvents> m_events = std::make_shared<CRecordingEvents>();
    CTestOwner m_owner;
    std::shared_ptr<CUserSession> m_session;
};

TEST_F(UserSessionTest, SameProcessGetsSameKeyAndOnlyTheFirstProcessStartsTheUser) {
    Create();
    EXPECT_EQ(m_session->Sid(), "S-1-22-1-1000");
    EXPECT_NE(m_session->PrivatePort(), 0);
    CComPtr<CProcessSession> a, again, b;
    GUID keyA, keyAgain, keyB;
    ASSERT_EQ(S_OK, Attach(getpid(), &a, &keyA));
    ASSERT_EQ(S_FALSE, Attach(getpid(), &again, &keyAgain));
    EXPECT_EQ(a.Get(), again.Get());
    EXPECT_EQ(keyA, keyAgain);
    EXPECT_FALSE(keyA.IsNull());
    ASSERT_EQ(S_OK, Attach(getppid(), &b, &keyB));
    EXPECT_NE(keyA, keyB);
    auto events = m_events->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, "start");
    EXPECT_EQ(events[0].pid, getpid());

    CComPtr<CProcessSession> found;
    EXPECT_TRUE(m_session->FindProcessSession(GUID2String(keyB), &found));
    EXPECT_EQ(found.Get(), b.Get());
    EXPECT_FALSE(m_session->FindProcessSession(GUID2String(NewGUID()), &found));
}

TEST_F(UserSessionTest, DeadProcessLeavesAtCleanupAndEmptySessionIsHandedToItsOwner) {
    Create();
    CSleeper sleeper;
    CComPtr<CProcessSession> process;
    GUID key;
    ASSERT_EQ(S_OK, Attach(sleeper.Pid(), &process, &key));
    EXPECT_TRUE(m_session->FindProcessSession(GUID2String(key), &process));
    sleeper.Kill();
    // Found no more at once (its process is dead), removed at the next tick.
    EXPECT_FALSE(m_session->FindProcessSession(GUID2String(key), &process));
    ASSERT_EQ(std::future_status::ready, m_owner.m_empty.get_future().wait_for(10s));
    EXPECT_EQ(m_session->ProcessSessionCount(), 0u);
    // A stopping session takes no new process.
    CComPtr<CProcessSession> late;
    EXPECT_EQ(E_ABORT, Attach(getpid(), &late, &key));
}

TEST_F(UserSessionTest, TimerCallsItsFunctionEveryIntervalUntilReplacedOrCancelled) {
    Create();
    CComPtr<CProcessSession> process;
    GUID key;
    ASSERT_EQ(S_OK, Attach(getpid(), &process, &key));
    const auto set = std::chrono::steady_clock::now();
    ASSERT_EQ(S_OK, process->SetTimer(2, BSTR(u"Tick")));  // 2 "minutes" = 60 ms
    auto events = m_events->WaitFor(4);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[1].kind, "timer:Tick");
    EXPECT_GE(events[1].when - set, 60ms);
    EXPECT_GE(events[2].when - events[1].when, 40ms);  // queued calls may bunch a little

    ASSERT_EQ(S_OK, process->SetTimer(1, BSTR(u"Tock")));
    std::size_t before = m_events->Events().size();
    events = m_events->WaitFor(before + 2);
    EXPECT_EQ(events.back().kind, "timer:Tock");

    ASSERT_EQ(S_OK, process->CancelTimer());
    // A tick queued just before the cancel may still run; none after it.
    std::size_t afterCancel = m_events->WaitFor(1000, 100ms).size();
    EXPECT_EQ(m_events->WaitFor(1000, 150ms).size(), afterCancel);
    EXPECT_EQ(E_POINTER, process->SetTimer(1, BSTR()));
}

TEST_F(UserSessionTest, TimeoutEndsTheUserAndLastProcessLeavingEndsItAfterTheDelay) {
    Create();
    CComPtr<CProcessSession> process;
    GUID key;
    ASSERT_EQ(S_OK, Attach(getpid(), &process, &key));
    ASSERT_EQ(S_OK, process->put_Timeout(0));  // fires at once
    auto events = m_events->WaitFor(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, "end");
    LONG minutes = -1;
    ASSERT_EQ(S_OK, process->put_Timeout(20));
    ASSERT_EQ(S_OK, process->get_Timeout(&minutes));
    EXPECT_EQ(minutes, 20);

    // With a time-out set, the last process leaving brings User_OnEnd after the delay.
    const auto left = std::chrono::steady_clock::now();
    ASSERT_EQ(S_OK, process->Detach());
    events = m_events->WaitFor(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].kind, "end");
    EXPECT_EQ(events[2].pid, 0);  // the detached session
    EXPECT_GE(events[2].when - left, 40ms);
}

TEST_F(UserSessionTest, DifferentTrayEndsTheOldTraysProcesses) {
    Create();
    auto trayA = MakeObject<CFakeTray>();
    auto trayB = MakeObject<CFakeTray>();
    CComPtr<CProcessSession> a, b, c;
    GUID keyA, keyB, keyC;
    ASSERT_EQ(S_OK, Attach(getpid(), &a, &keyA, trayA.Get()));
    EXPECT_EQ(trayA->m_port, m_session->PrivatePort());
    ASSERT_EQ(S_OK, Attach(getppid(), &b, &keyB, trayA.Get()));  // same tray: nothing ends
    EXPECT_EQ(m_session->ProcessSessionCount(), 2u);

    ASSERT_EQ(S_OK, Attach(getpid(), &c, &keyC, trayB.Get()));
    EXPECT_EQ(trayB->m_port, m_session->PrivatePort());
    EXPECT_EQ(m_session->ProcessSessionCount(), 1u);
    EXPECT_NE(keyA, keyC);  // a new session for the same process
    auto events = m_events->Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].kind, "end");
    EXPECT_EQ(events[1].pid, getppid());  // the last of the old table
    EXPECT_EQ(events[2].kind, "start");

    // The held tray stops answering: its attach again counts as a new tray.
    trayB->m_alive = false;
    CComPtr<CProcessSession> d;
    ASSERT_EQ(S_OK, Attach(getppid(), &d, &keyB, trayB.Get()));
    EXPECT_EQ(m_session->ProcessSessionCount(), 1u);

    ASSERT_EQ(S_OK, m_session->SetTip(BSTR(u"tip")));
    BSTR tip;
    ASSERT_EQ(S_OK, m_session->GetTip(&tip));
    EXPECT_EQ(tip, BSTR(u"tip"));
}

TEST_F(UserSessionTest, TrayOperationsWithoutTrayFail) {
    Create();
    BSTR tip;
    EXPECT_EQ(E_UNEXPECTED, m_session->GetTip(&tip));
    EXPECT_EQ(E_UNEXPECTED, m_session->SetIcon(BSTR(u"x")));
}

}  // namespace
