// The relay end to end: the real corvane service on loopback, programs started with
// corvane-run, and test servers on 127.0.0.2. What a program receives through the
// service must be exactly what it receives directly: large bodies, uploads, TLS, a
// client that half-closes, and a real browser loading a page with its resources.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "e2e/ServiceUnderTest.h"
#include "e2e/TestServer.h"

namespace fs = std::filesystem;

namespace {

using e2e::CTestServer;
using e2e::Executable;

std::string Hex(const unsigned char* p, unsigned n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

// SHA-256 of a file, in lower-case hex.
std::string Sha256OfFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &n);
    return Hex(md, n);
}

class RelayEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = fs::temp_directory_path() / ("cv-relay-" + std::to_string(getpid()));
        fs::remove_all(s_dir);
        fs::create_directories(s_dir);
        e2e::MakeSelfSignedCertificate(s_dir);
        s_http = new CTestServer();
        s_https = new CTestServer({(s_dir / "cert.pem").string(), (s_dir / "key.pem").string()});
    }
    static void TearDownTestSuite() {
        delete s_http;
        delete s_https;
        s_http = s_https = nullptr;
        fs::remove_all(s_dir);
    }

    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        // Programs that are not built with the sanitizer (curl, python, chromium) cannot
        // run with its runtime preloaded; the relay itself is checked under the
        // sanitizers by its own tests.
        GTEST_SKIP() << "third-party programs cannot be preloaded with the sanitizer runtime";
#endif
        ASSERT_NE(s_http->Port(), 0) << "the plain test server did not start";
        ASSERT_NE(s_https->Port(), 0) << "the TLS test server did not start";
        m_dir = s_dir / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(m_dir);
        // The diverted programs run as another user and write their output here.
        fs::permissions(s_dir, fs::perms::all);
        fs::permissions(m_dir, fs::perms::all);
        ASSERT_TRUE(m_service.Start(
            m_dir, {"/usr/bin/curl", "/usr/bin/python3", "/usr/lib/chromium/chromium"}));
    }
    void TearDown() override {
        m_service.Stop();
    }

    int Diverted(const std::vector<std::string>& command, std::string* out = nullptr) {
        return m_service.Diverted(command, out);
    }
    std::string Log() const {
        return m_service.Log();
    }

    static fs::path s_dir;
    static CTestServer* s_http;
    static CTestServer* s_https;
    fs::path m_dir;
    e2e::CServiceUnderTest m_service;
};

fs::path RelayEndToEnd::s_dir;
CTestServer* RelayEndToEnd::s_http = nullptr;
CTestServer* RelayEndToEnd::s_https = nullptr;

TEST_F(RelayEndToEnd, CurlReceivesTheSameBytesAsDirectlyOverHttpAndTls) {
    const std::string curl = Executable("/usr/bin/curl");
    if (curl.empty())
        GTEST_SKIP() << "curl is not installed";
    struct Case {
        bool tls;
        long long bytes;
    };
    for (const Case& c : {Case{false, 100ll << 20}, Case{true, 8ll << 20}}) {
        const std::string url =
            (c.tls ? s_https : s_http)->Url("/big?bytes=" + std::to_string(c.bytes), c.tls);
        const fs::path direct = m_dir / "direct.bin", relayed = m_dir / "relayed.bin";
        CChildProcess plain(curl, {"-sfk", "-o", direct.string(), url}, {});
        ASSERT_EQ(plain.Wait(), 0) << plain.Stderr();
        ASSERT_EQ(Diverted({curl, "-sfk", "-o", relayed.string(), url}), 0) << url;
        EXPECT_EQ(fs::file_size(relayed), static_cast<std::uintmax_t>(c.bytes)) << url;
        EXPECT_EQ(Sha256OfFile(relayed), Sha256OfFile(direct)) << url;
    }
    // Both connections went through the service, each detected as what it was.
    const std::string log = Log();
    EXPECT_NE(log.find("HTTP"), std::string::npos) << log;
    EXPECT_NE(log.find("TLS1"), std::string::npos) << log;
}

TEST_F(RelayEndToEnd, UploadArrivesWhole) {
    const std::string curl = Executable("/usr/bin/curl");
    if (curl.empty())
        GTEST_SKIP() << "curl is not installed";
    const fs::path body = m_dir / "upload.bin";
    {
        std::ofstream out(body, std::ios::binary);
        std::string block(1 << 16, '\0');
        for (int i = 0; i < 320; ++i) {  // 20 MiB
            for (std::size_t j = 0; j < block.size(); ++j)
                block[j] = char((i * 131 + j) & 0xff);
            out << block;
        }
    }
    for (bool tls : {false, true}) {
        std::string answer;
        ASSERT_EQ(Diverted({curl, "-sfk", "--data-binary", "@" + body.string(),
                            (tls ? s_https : s_http)->Url("/upload", tls)},
                           &answer),
                  0);
        EXPECT_EQ(answer, std::to_string(fs::file_size(body)) + " " + Sha256OfFile(body));
    }
}

TEST_F(RelayEndToEnd, ClientThatShutsItsSendSideStillReceivesTheWholeAnswer) {
    const std::string python = Executable("/usr/bin/python3");
    if (python.empty())
        GTEST_SKIP() << "python3 is not installed";
    const std::string script =
        "import socket,sys\n"
        "s=socket.create_connection(('127.0.0.2'," +
        std::to_string(s_http->Port()) +
        "))\n"
        "s.sendall(b'GET /big?bytes=5000000 HTTP/1.0\\r\\nHost: 127.0.0.2\\r\\n\\r\\n')\n"
        "s.shutdown(socket.SHUT_WR)\n"
        "n=0\n"
        "while True:\n"
        "    b=s.recv(65536)\n"
        "    if not b: break\n"
        "    n+=len(b)\n"
        "print(n)\n";
    std::string out;
    ASSERT_EQ(Diverted({python, "-c", script}, &out), 0);
    // The body and the header of the answer.
    long long received = std::stoll(out);
    EXPECT_GT(received, 5000000);
    EXPECT_LT(received, 5000000 + 1000);
}

TEST_F(RelayEndToEnd, HeadlessChromiumLoadsAPageWithItsResources) {
    const std::string chromium = Executable("/usr/lib/chromium/chromium");
    if (chromium.empty())
        GTEST_SKIP() << "chromium is not installed";
    const fs::path profile = m_dir / "profile";
    const fs::path shot = m_dir / "page.png";
    std::vector<std::string> common{chromium,
                                    "--headless",
                                    "--no-sandbox",
                                    "--disable-gpu",
                                    "--no-first-run",
                                    "--disable-background-networking",
                                    "--user-data-dir=" + profile.string()};
    std::string dom;
    auto dumpDom = common;
    dumpDom.insert(dumpDom.end(), {"--dump-dom", s_http->Url("/page.html")});
    ASSERT_EQ(Diverted(dumpDom, &dom), 0);
    EXPECT_NE(dom.find("script ran: resources loaded"), std::string::npos) << dom;
    EXPECT_NE(dom.find("data-img=\"loaded\""), std::string::npos) << dom;

    auto screenshot = common;
    screenshot.insert(screenshot.end(), {"--window-size=640,360", "--screenshot=" + shot.string(),
                                         s_http->Url("/page.html")});
    ASSERT_EQ(Diverted(screenshot), 0);
    EXPECT_GT(fs::file_size(shot), 1000u);
    if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOT"))
        fs::copy_file(shot, keep, fs::copy_options::overwrite_existing);
    // The page and its resources came through the service.
    EXPECT_NE(Log().find("HTTP"), std::string::npos);
}

}  // namespace
