// CTestServer: the end-to-end tests' HTTP(S) server (test_server.py) on 127.0.0.2.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/ServiceUnderTest.h"

namespace e2e {

// A self-signed certificate for 127.0.0.2 ("cert.pem", "key.pem" in `dir`), for the TLS
// test server.
inline void MakeSelfSignedCertificate(const std::filesystem::path& dir) {
    CChildProcess openssl(
        "/usr/bin/openssl",
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.2",
         "-keyout", (dir / "key.pem").string(), "-out", (dir / "cert.pem").string()},
        {});
    openssl.Wait();
}

// A test server (test_server.py) on 127.0.0.2, plain or TLS; knows its port.
class CTestServer {
public:
    explicit CTestServer(const std::vector<std::string>& tlsFiles = {}) {
        std::vector<std::string> args{CORVANE_SOURCE_DIR "/e2e/test_server.py", "127.0.0.2"};
        args.insert(args.end(), tlsFiles.begin(), tlsFiles.end());
        m_child = std::make_unique<CChildProcess>(Executable("/usr/bin/python3"), args,
                                                  std::map<std::string, std::string>{});
        if (m_child->WaitForOutput("\n")) {
            std::istringstream in(m_child->Stdout());
            std::string word;
            in >> word >> m_port;
        }
    }
    int Port() const { return m_port; }
    // Whether the server has printed `text` within the bound: it prints "GOT <Host
    // header> <path>" for every request it receives.
    bool Printed(const std::string& text, std::chrono::seconds bound) {
        return m_child && m_child->WaitForOutput(text, bound);
    }
    std::string Url(const std::string& path, bool tls = false) const {
        return std::string(tls ? "https" : "http") + "://127.0.0.2:" + std::to_string(m_port) +
               path;
    }

private:
    std::unique_ptr<CChildProcess> m_child;
    int m_port = 0;
};

}  // namespace e2e
