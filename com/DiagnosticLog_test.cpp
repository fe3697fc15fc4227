// The log's entry format byte for byte, its off state, and the checks.
#include "com/DiagnosticLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::time_t FixedClock() { return 1234567890; }  // 2009-02-13 23:31:30 UTC
unsigned long FixedThread() { return 0x1a2b; }

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class DiagnosticLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        m_dir = std::filesystem::temp_directory_path() /
                ("cvlog-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        m_path = m_dir / "corvane.log";
        Log().ResetForTest();
        Log().SetClockForTest(FixedClock, FixedThread);
        Log().SetPathSource([this]() -> std::optional<std::string> { return m_path.string(); });
    }
    void TearDown() override {
        Log().ResetForTest();
        Log().SetPathSource(nullptr);
        Log().SetClockForTest(nullptr, nullptr);
        std::filesystem::remove_all(m_dir);
    }
    static CDiagnosticLog& Log() { return CDiagnosticLog::Instance(); }

    std::filesystem::path m_dir, m_path;
};

HRESULT FailingOperation(int* p) {
    if (CheckExpression(!p)) return E_POINTER;
    return S_OK;
}

TEST_F(DiagnosticLogTest, FailedCheckWritesHeaderLocationMessageAndBlankLine) {
    const int line = __LINE__ + 1;
    EXPECT_TRUE(CheckExpression(1 + 1 == 2));
    std::string expected = "[ 02/13/09 23:31:30 - 0x1a2b ]\n";
    expected += __PRETTY_FUNCTION__;
    expected += "\ncom/DiagnosticLog_test.cpp, line " + std::to_string(line) + ", last saved ";
    expected += __TIMESTAMP__;
    expected += "\nExpression: '1 + 1 == 2' was true.\n\n";
    EXPECT_EQ(ReadAll(m_path), expected);
}

TEST_F(DiagnosticLogTest, FailedCheckDoesNotStopTheCaller) {
    EXPECT_EQ(FailingOperation(nullptr), E_POINTER);
    int value = 0;
    EXPECT_EQ(FailingOperation(&value), S_OK);
    std::string text = ReadAll(m_path);
    EXPECT_NE(text.find("HRESULT {anonymous}::FailingOperation(int*)\n"), std::string::npos);
    EXPECT_NE(text.find("Expression: '!p' was true.\n\n"), std::string::npos);
}

TEST_F(DiagnosticLogTest, TraceEntryHasNoLocationBlock) {
    LogTrace("Accepted %d connections", 3);
    EXPECT_EQ(ReadAll(m_path), "[ 02/13/09 23:31:30 - 0x1a2b ]\nAccepted 3 connections\n\n");
}

TEST_F(DiagnosticLogTest, CheckResultShowsCodeAndText) {
    struct Case {
        HRESULT hr;
        const char* message;
    } cases[] = {
        {E_ACCESSDENIED, "Error code 0x5 : Access is denied.\n\n"},
        {HRESULT_FROM_WIN32(WSAECONNREFUSED),
         "Error code 0x274d : No connection could be made because the target machine actively "
         "refused it.\n\n"},
        {E_POINTER, "Error code 0x80004003 : Invalid pointer\n\n"},
        {MakeHResult(0x80041234), "Error code 0x80041234\n\n"},
    };
    for (const auto& c : cases) {
        Log().ResetForTest();
        std::filesystem::remove(m_path);
        EXPECT_FALSE(CheckResult(c.hr));
        std::string text = ReadAll(m_path);
        EXPECT_NE(text.find("Expression: 'c.hr' failed.\n"), std::string::npos) << text;
        EXPECT_TRUE(text.ends_with(c.message)) << text;
    }
    Log().ResetForTest();
    std::filesystem::remove(m_path);
    EXPECT_TRUE(CheckResult(S_FALSE));
    EXPECT_EQ(CheckResultValue(S_FALSE), S_FALSE);
    EXPECT_FALSE(std::filesystem::exists(m_path));
}

TEST_F(DiagnosticLogTest, ExceptionsAreReportedAndMapped) {
    auto run = [](auto thrower) {
        try {
            thrower();
        } catch (...) {
            return ReportException("CTest::Run", CV_HERE);
        }
        return S_OK;
    };
    EXPECT_EQ(run([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(run([] { throw ComException(E_ACCESSDENIED); }), E_ACCESSDENIED);
    EXPECT_EQ(run([] { throw 42; }), E_UNEXPECTED);
    std::string text = ReadAll(m_path);
    size_t count = 0;
    for (size_t at = 0; (at = text.find("Exception in CTest::Run\n\n", at)) != std::string::npos;
         ++at)
        ++count;
    EXPECT_EQ(count, 3u);
}

TEST_F(DiagnosticLogTest, NoPathMeansNothingIsWritten) {
    Log().SetPathSource([]() -> std::optional<std::string> { return std::nullopt; });
    EXPECT_TRUE(CheckExpression(true));
    LogTrace("nothing");
    EXPECT_TRUE(std::filesystem::is_empty(m_dir));
    EXPECT_EQ(Log().FileDescriptor(), -1);
}

TEST_F(DiagnosticLogTest, UnwritablePathTurnsLoggingOffAndGoesOn) {
    Log().SetPathSource([this]() -> std::optional<std::string> {
        return (m_dir / "missing-dir" / "x.log").string();
    });
    testing::internal::CaptureStderr();
    EXPECT_TRUE(CheckExpression(true));
    EXPECT_TRUE(CheckExpression(true));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot open the log file"), std::string::npos);
    // The decision is made once: the message is not repeated for every entry.
    EXPECT_EQ(err.find("cannot open", err.find("cannot open") + 1), std::string::npos);
}

TEST_F(DiagnosticLogTest, AnEntryWrittenWhileDecidingGoesToStderr) {
    Log().SetPathSource([this]() -> std::optional<std::string> {
        LogTrace("the settings file is damaged");  // must not wait for this very decision
        return m_path.string();
    });
    testing::internal::CaptureStderr();
    LogTrace("after");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("the settings file is damaged"),
              std::string::npos);
    EXPECT_EQ(ReadAll(m_path), "[ 02/13/09 23:31:30 - 0x1a2b ]\nafter\n\n");
}

TEST_F(DiagnosticLogTest, EntriesAppendToAnExistingFile) {
    std::ofstream(m_path) << "earlier\n";
    LogTrace("later");
    EXPECT_EQ(ReadAll(m_path), "earlier\n[ 02/13/09 23:31:30 - 0x1a2b ]\nlater\n\n");
}

}  // namespace
