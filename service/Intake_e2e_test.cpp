// The intake end to end: the real corvane program, a client attaching over the RPC as an
// ordinary user, and hand-offs on the private port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "intake/HandoffTestSupport.h"
#include "service/ChildProcess_test.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kUser = 1000;  // an interactive user on a machine without logind
const std::string kBrowser = "/usr/bin/testbrowser";

// attach_test_client as a user, driven line by line.
class CAttachClient {
public:
    CAttachClient(const std::string& socket, uid_t uid) {
        int in[2], out[2];
        EXPECT_EQ(0, pipe2(in, O_CLOEXEC));
        EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string program = ATTACH_TEST_CLIENT, user = std::to_string(uid);
        std::vector<char*> argv{program.data(), const_cast<char*>(socket.c_str()), user.data(),
                                nullptr};
        EXPECT_EQ(0, posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ));
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~CAttachClient() {
        Kill();
        close(m_in);
        close(m_out);
    }
    pid_t Pid() const { return m_pid; }
    std::string Command(const std::string& line) {
        std::string text = line + "\n";
        EXPECT_EQ(static_cast<ssize_t>(text.size()), write(m_in, text.data(), text.size()));
        return ReadLine();
    }
    std::string ReadLine() {
        std::string line;
        char c;
        while (read(m_out, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    void Kill() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1;
};

struct Attached {
    bool ok = false;
    unsigned short port = 0;
    GUID key;
};

Attached Parse(const std::string& line) {
    Attached a;
    std::istringstream words(line);
    std::string status, key;
    words >> status >> a.port >> key;
    a.ok = status == "ok";
    if (auto g = ParseGUID(key))
        a.key = *g;
    return a;
}

class IntakeEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("cv-intake-e2e-" + std::to_string(getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        fs::permissions(m_dir, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
        m_socket = (m_dir / "run" / "server.sock").string();
        std::ofstream(m_dir / "registry.reg")
            << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\n"
            << "\"Logging\"=\"" << (m_dir / "corvane.log").string() << "\"\n\n"
            << "[HKEY_LOCAL_"
               "MACHINE\\SOFTWARE\\Clients\\StartMenuInternet\\Test\\shell\\open\\command]\n"
            << "@=\"\\\"" << kBrowser << "\\\"\"\n";
        m_service = std::make_unique<CChildProcess>(
            CORVANE_EXE, std::vector<std::string>{},
            std::map<std::string, std::string>{
                {"CORVANE_REGISTRY", (m_dir / "registry.reg").string()},
                {"CORVANE_UNIT_DIR", (m_dir / "units").string()},
                {"CORVANE_SERVER_SOCKET", m_socket},
                {"CORVANE_SESSION_CLEANUP_MS", "100"}});
        ASSERT_TRUE(m_service->WaitForOutput("Service started\n")) << m_service->Stderr();
    }
    void TearDown() override {
        if (m_service) {
            m_service->Signal(SIGTERM);
            EXPECT_EQ(m_service->Wait(), 0) << m_service->Stderr();
        }
        fs::remove_all(m_dir);
    }
    std::string HandOff(unsigned short port, const std::string& record) {
        CTestClient client(port);
        EXPECT_TRUE(client.Connected());
        EXPECT_TRUE(client.Write(record));
        return client.Read(4);
    }

    fs::path m_dir;
    std::string m_socket;
    std::unique_ptr<CChildProcess> m_service;
};

TEST_F(IntakeEndToEnd, AttachOverRpcThenHandOffs) {
    CAttachClient browser(m_socket, kUser);
    ASSERT_EQ(browser.ReadLine(), "ready");
    Attached first = Parse(browser.Command("init self " + kBrowser));
    ASSERT_TRUE(first.ok);
    ASSERT_NE(first.port, 0);
    ASSERT_FALSE(first.key.IsNull());
    // The same process again: the same key.
    Attached second = Parse(browser.Command("init self " + kBrowser));
    EXPECT_EQ(second.key, first.key);
    EXPECT_EQ(second.port, first.port);
    // Another uid's process is refused; so is a process that does not exist.
    EXPECT_EQ(browser.Command("init 1 " + kBrowser), "fail 0x80070005");
    EXPECT_EQ(browser.Command("init 0 " + kBrowser), "fail 0x80070057");

    CAttachClient editor(m_socket, kUser);
    ASSERT_EQ(editor.ReadLine(), "ready");
    Attached plain = Parse(editor.Command("init self /usr/bin/editor"));
    ASSERT_TRUE(plain.ok);
    EXPECT_TRUE(plain.key.IsNull());

    const unsigned short port = first.port;
    // Unknown key: exactly 10013.
    EXPECT_EQ(HandOff(port, MakeRecord(IPv4Address("127.0.0.1", 9), NewGUID())),
              std::string("\x1D\x27\x00\x00", 4));
    // IPv6 destination: 10065.
    EXPECT_EQ(HandOff(port, MakeRecord(IPv6Address("2001:db8::1", 443), first.key)),
              std::string("\x51\x27\x00\x00", 4));
    // A record in pieces to a listening destination: answered 0 once complete.
    {
        int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        ASSERT_EQ(0, ::listen(listener, 4));
        socklen_t len = sizeof addr;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        const std::string record = MakeRecord(IPv4Address("127.0.0.1", ntohs(addr.sin_port)),
                                              first.key, "GET / HTTP/1.1\r\n");
        CTestClient client(port);
        for (std::size_t at = 0; at < record.size(); at += 9) {
            ASSERT_TRUE(client.Write(record.substr(at, 9)));
        }
        EXPECT_EQ(client.Read(4), std::string(4, '\0'));
        ::close(listener);
    }
    // L = 257 is never answered; the connection is closed once it holds more than a record.
    {
        CTestClient client(port);
        ASSERT_TRUE(client.Write(MakeRecord(std::string(257, '\0'), first.key)));
        EXPECT_EQ(client.Read(4), "");
        EXPECT_TRUE(client.WaitClosed());
    }
    // A caller that is not 127.0.0.1 is closed at accept.
    {
        CTestClient client(port, "127.0.0.2");
        client.Write(MakeRecord(IPv4Address("127.0.0.1", 9), first.key));
        EXPECT_EQ(client.Read(4), "");
        EXPECT_TRUE(client.WaitClosed());
    }

    // The attached process is killed: its key is refused, and the clean-up drops it.
    browser.Kill();
    EXPECT_EQ(HandOff(port, MakeRecord(IPv6Address("::2", 1), first.key)),
              std::string("\x1D\x27\x00\x00", 4));
    // Term of a live process's key ends its session.
    Attached again = Parse(editor.Command("init self /usr/bin/editor"));
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(editor.Command("term " + GUID2String(NewGUID())), "ok");
}

}  // namespace
