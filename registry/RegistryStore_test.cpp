// The registry store on disk: committed reads, modes, transactions, a corrupt file left
// alone, writers in threads and processes, and writers killed in the middle.
#include "registry/RegistryStore.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>

#include "com/DiagnosticLog.h"
#include "registry/RegistryFormat.h"

namespace {

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
const HRESULT kBadDb = HRESULT_FROM_WIN32(ERROR_BADDB);
constexpr std::string_view kKey = kCorvaneKey;

class RegistryStoreTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "registry_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_path = m_dir + "/state/registry.reg";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string Contents() const {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void WriteRaw(const std::string& text) const {
        std::filesystem::create_directories(m_dir + "/state");
        std::ofstream(m_path, std::ios::binary) << text;
    }
    static mode_t ModeOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }

    // Adds one to the DWORD "Counter" in one transaction.
    static HRESULT Increment(CRegistryStore& store) {
        return store.Transact([](CRegistryTree& tree) {
            CRegistryValue value;
            DWORD count = 0;
            if (SUCCEEDED(tree.GetValue(kKey, "Counter", &value)))
                value.GetDword(&count);
            return tree.SetValue(kKey, "Counter", CRegistryValue::FromDword(count + 1));
        });
    }

    std::string m_dir;
    std::string m_path;
};

}  // namespace

TEST_F(RegistryStoreTest, MissingFileIsAnEmptyStoreUntilTheFirstWrite) {
    CRegistryStore store(m_path);
    std::string text;
    EXPECT_EQ(store.GetString(kKey, "Logging", &text), kNotFound);
    EXPECT_EQ(store.KeyExists(kKey), kNotFound);
    EXPECT_EQ(store.DeleteValue(kKey, "Logging"), kNotFound);
    EXPECT_FALSE(std::filesystem::exists(m_path)) << "reads and failed changes write nothing";

    ASSERT_EQ(store.SetString(kKey, "Logging", "/var/log/corvane.log"), S_OK);
    ASSERT_EQ(store.SetDword(kKey, "Debugging", 1), S_OK);
    EXPECT_EQ(ModeOf(m_dir + "/state"), 0700u);
    EXPECT_EQ(ModeOf(m_path), 0600u);
    EXPECT_EQ(Contents(),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\n"
              "\"Debugging\"=dword:00000001\n"
              "\"Logging\"=\"/var/log/corvane.log\"\n\n");

    // Another store object, as another process would, sees the committed state.
    CRegistryStore other(m_path);
    DWORD debugging = 0;
    EXPECT_EQ(other.GetDword("HKLM\\Software\\Corvane", "debugging", &debugging), S_OK);
    EXPECT_EQ(debugging, 1u);
    EXPECT_EQ(other.ReadLogPath("Logging"), std::optional<std::string>("/var/log/corvane.log"));
    EXPECT_EQ(other.ReadLogPath("TrayLogging"), std::nullopt);

    // ...and the first one sees the other's changes, also after they remove things.
    ASSERT_EQ(other.DeleteKey("HKLM\\SOFTWARE"), S_OK);
    EXPECT_EQ(store.GetDword(kKey, "Debugging", &debugging), kNotFound);
    std::vector<std::string> names;
    ASSERT_EQ(store.EnumSubkeys("HKEY_LOCAL_MACHINE", &names), S_OK);
    EXPECT_TRUE(names.empty());
}

TEST_F(RegistryStoreTest, TransactionWritesOnceOrNotAtAll) {
    CRegistryStore store(m_path);
    ASSERT_EQ(store.Transact([](CRegistryTree& tree) {
        for (int i = 0; i < 50; ++i) {
            std::string cls = "HKLM\\SOFTWARE\\Classes\\Corvane.Class" + std::to_string(i);
            HRESULT hr = tree.SetValue(cls, "", CRegistryValue::FromString("Class"));
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }),
              S_OK);
    std::vector<std::string> names;
    ASSERT_EQ(store.EnumSubkeys("HKLM\\SOFTWARE\\Classes", &names), S_OK);
    EXPECT_EQ(names.size(), 50u);

    // A change that fails part way leaves the file exactly as it was.
    const std::string before = Contents();
    struct stat st1 {
    }, st2{};
    ASSERT_EQ(stat(m_path.c_str(), &st1), 0);
    EXPECT_EQ(store.Transact([](CRegistryTree& tree) {
        tree.DeleteKey("HKLM\\SOFTWARE\\Classes");
        return tree.SetValue("HKEY_NOWHERE", "x", CRegistryValue());
    }),
              E_INVALIDARG);
    EXPECT_EQ(store.Transact([](CRegistryTree&) -> HRESULT { throw std::runtime_error("x"); }),
              E_UNEXPECTED);
    // A change that changes nothing writes nothing.
    EXPECT_EQ(store.CreateKey("HKLM\\SOFTWARE\\Classes"), S_FALSE);
    ASSERT_EQ(stat(m_path.c_str(), &st2), 0);
    EXPECT_EQ(st1.st_ino, st2.st_ino);
    EXPECT_EQ(Contents(), before);
    EXPECT_EQ(store.KeyExists("HKLM\\SOFTWARE\\Classes\\Corvane.Class49"), S_OK);

    // A change that calls a store would wait for its own lock; it is refused instead.
    HRESULT inner = S_OK;
    EXPECT_EQ(store.Transact([&](CRegistryTree&) { return inner = store.CreateKey(kKey); }),
              E_UNEXPECTED);
    EXPECT_EQ(inner, E_UNEXPECTED);
    EXPECT_EQ(store.SetDword(kKey, "After", 1), S_OK) << "the store still works afterwards";
}

TEST_F(RegistryStoreTest, KeepsTheModeOfAnExistingFile) {
    WriteRaw("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\S-1-22-1-1000]\r\n");
    ASSERT_EQ(chmod(m_path.c_str(), 0640), 0);
    CRegistryStore store(m_path);
    ASSERT_EQ(store.SetDword("HKU\\S-1-22-1-1000\\Software\\Corvane", "Switch", 1), S_OK);
    EXPECT_EQ(ModeOf(m_path), 0640u);
    EXPECT_EQ(Contents().find('\r'), std::string::npos) << "written with LF";
}

TEST_F(RegistryStoreTest, CorruptFileIsReportedOnceAndNeverOverwritten) {
    const std::string corrupt =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\n"
        "\"Logging\"=\"unterminated\n\"Debugging\"=dword:00000001\n";
    WriteRaw(corrupt);
    CRegistryStore store(m_path);

    testing::internal::CaptureStderr();
    std::string text;
    EXPECT_EQ(store.GetString(kKey, "Debugging", &text), kBadDb);
    EXPECT_EQ(store.SetString(kKey, "Logging", "fixed"), kBadDb);
    EXPECT_EQ(store.DeleteKey("HKLM\\SOFTWARE"), kBadDb);
    EXPECT_EQ(store.ReadLogPath("Logging"), std::nullopt);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Contents(), corrupt);
    EXPECT_FALSE(std::filesystem::exists(m_path + ".tmp"));
    EXPECT_NE(report.find(m_path), std::string::npos) << report;
    EXPECT_NE(report.find("line 4"), std::string::npos) << report;
    EXPECT_EQ(report.find("corrupt"), report.rfind("corrupt")) << "once: " << report;

    // A new version of the bad file is reported again; a repaired one works again.
    WriteRaw(corrupt + "junk\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(store.KeyExists(kKey), kBadDb);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("corrupt"), std::string::npos);
    WriteRaw("Windows Registry Editor Version 5.00\n");
    EXPECT_EQ(store.SetString(kKey, "Logging", "fixed"), S_OK);
}

TEST_F(RegistryStoreTest, ReadingTheLogPathFromACorruptFileDoesNotWaitForTheLog) {
    // The log asks the store for its path while deciding; anything the store logged
    // then would wait for that same decision.
    WriteRaw("Windows Registry Editor Version 5.00\nbroken\n");
    CRegistryStore store(m_path);
    CDiagnosticLog& log = CDiagnosticLog::Instance();
    log.ResetForTest();
    log.SetPathSource([&] { return store.ReadLogPath("Logging"); });
    testing::internal::CaptureStderr();
    LogTrace("an entry that decides where the log goes");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("line 2"), std::string::npos);
    EXPECT_EQ(log.FileDescriptor(), -1);
    log.SetPathSource({});
    log.ResetForTest();
}

TEST_F(RegistryStoreTest, ConcurrentWritersLoseNoUpdate) {
    constexpr int kThreads = 4, kThreadIncrements = 25;
    constexpr int kProcesses = 3, kProcessIncrements = 20;
    CRegistryStore shared(m_path);

    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CRegistryStore store(m_path);
            int failures = 0;
            for (int i = 0; i < kProcessIncrements; ++i)
                failures += FAILED(Increment(store));
            _exit(failures);
        }
        children.push_back(pid);
    }
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CRegistryStore own(m_path);
            for (int i = 0; i < kThreadIncrements; ++i) {
                failures += FAILED(Increment(t % 2 ? own : shared));
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(failures.load(), 0);
    DWORD count = 0;
    ASSERT_EQ(shared.GetDword(kKey, "Counter", &count), S_OK);
    EXPECT_EQ(count, DWORD{kThreads * kThreadIncrements + kProcesses * kProcessIncrements});
}

TEST_F(RegistryStoreTest, WriterKilledAtAnyMomentLeavesTheOldOrTheNewFile) {
    constexpr int kRounds = 60;
    constexpr int kValues = 1000;
    constexpr std::string_view kBulk = "HKLM\\SOFTWARE\\Corvane\\Bulk";
    std::mt19937 random(12345);
    DWORD lastGeneration = 0;
    int killedWhileWriting = 0;

    for (int round = 0; round < kRounds; ++round) {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Rewrites every value with the next generation, over and over, and tells the
            // parent after each commit.
            close(pipeFds[0]);
            CRegistryStore store(m_path);
            while (true) {
                HRESULT hr = store.Transact([&](CRegistryTree& tree) {
                    CRegistryValue value;
                    DWORD generation = 0;
                    if (SUCCEEDED(tree.GetValue(kBulk, "Generation", &value))) {
                        value.GetDword(&generation);
                    }
                    ++generation;
                    const std::string text =
                        "generation " + std::to_string(generation) + std::string(20, 'x');
                    for (int i = 0; i < kValues; ++i) {
                        tree.SetValue(kBulk, "Value" + std::to_string(i),
                                      CRegistryValue::FromString(text));
                    }
                    return tree.SetValue(kBulk, "Generation",
                                         CRegistryValue::FromDword(generation));
                });
                if (FAILED(hr) || write(pipeFds[1], "c", 1) != 1)
                    _exit(1);
            }
        }
        close(pipeFds[1]);
        // Two commit notices give the length of one transaction; the kill lands at a
        // random moment within the next one.
        char committed;
        ASSERT_EQ(read(pipeFds[0], &committed, 1), 1) << "round " << round;
        const auto first = std::chrono::steady_clock::now();
        ASSERT_EQ(read(pipeFds[0], &committed, 1), 1) << "round " << round;
        const auto cycle = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - first);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (cycle.count() + 1)));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        close(pipeFds[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << " status " << status;
        killedWhileWriting += std::filesystem::exists(m_path + ".tmp");

        CRegistryStore reader(m_path);
        CRegistryTree tree;
        ASSERT_EQ(reader.Read(&tree), S_OK) << "round " << round;
        std::vector<CRegistryEntry> entries;
        ASSERT_EQ(tree.EnumValues(kBulk, &entries), S_OK);
        ASSERT_EQ(entries.size(), std::size_t{kValues + 1}) << "round " << round;
        CRegistryValue value;
        DWORD generation = 0;
        ASSERT_EQ(tree.GetValue(kBulk, "Generation", &value), S_OK);
        ASSERT_EQ(value.GetDword(&generation), S_OK);
        ASSERT_GE(generation, lastGeneration + 1) << "a committed generation was lost";
        const std::string expected = "generation " + std::to_string(generation);
        for (const CRegistryEntry& entry : entries) {
            std::string text;
            if (entry.name == "Generation")
                continue;
            ASSERT_EQ(entry.value.GetString(&text), S_OK);
            ASSERT_TRUE(text.starts_with(expected)) << entry.name << " " << text;
        }
        lastGeneration = generation;
    }
    std::cout << "killed " << killedWhileWriting << " of " << kRounds
              << " writers while their temporary file existed\n";
    // The lock was let go by every killed writer, and a left-over temporary is no obstacle.
    CRegistryStore store(m_path);
    EXPECT_EQ(store.SetDword(kKey, "Done", 1), S_OK);
}
