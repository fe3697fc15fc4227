// The Server object: encodings, registry values, the machine identifier, HTTP fetches
// and downloads against a loopback server, restart, and URL categories against a small
// category server of the test's own. Nothing leaves 127.0.0.0/8.
#include "objects/ServerObject.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "com/SafeArray.h"
#include "objects/CategoryProtocol.h"
#include "objects/HTTPFetch.h"
#include "objects/LoopbackTestServer.h"
#include "objects/MachineFingerprint.h"
#include "objects/PendingReplacements.h"
#include "objects/SystemReboot.h"
#include "objects/TextEncoder.h"
#include "registry/RegistryStore.h"

namespace {

std::string Utf8(const BSTR& b) {
    return b.ToUtf8();
}

std::string Contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ServerObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/cv_server_XXXXXX";
        ASSERT_NE(::mkdtemp(szTemplate), nullptr);
        m_dir = szTemplate;
        m_sites = m_dir / "sites";
        std::filesystem::create_directory(m_sites);
        m_store = std::make_unique<CRegistryStore>((m_dir / "registry.reg").string());
        m_ptrServer = MakeObject<CServerObject>(m_store.get(), m_sites);
        ASSERT_TRUE(m_ptrServer);
    }
    void TearDown() override {
        m_ptrServer = nullptr;
        std::filesystem::remove_all(m_dir);
    }

    std::filesystem::path m_dir, m_sites;
    std::unique_ptr<CRegistryStore> m_store;
    CComPtr<CServerObject> m_ptrServer;
};

// ---- Encodings and digest ------------------------------------------------------------------

TEST_F(ServerObjectTest, URLEncodesUtf8BytesWithLowerCaseHex) {
    const std::pair<std::u16string, const char*> cases[] = {
        {u"a b&c", "a+b%26c"},
        {u"\u00E9", "%c3%a9"},
        {u"http://host/a:b", "http://host/a:b"},
        {u"AZaz09!'()*-./:_~", "AZaz09!'()*-./:_~"},
        {u"\"#$%&+,;<=>?@[\\]^`{|}",
         "%22%23%24%25%26%2b%2c%3b%3c%3d%3e%3f%40%5b%5c%5d%5e%60%7b%7c%7d"},
        {std::u16string(u"\x01\t\x7F", 3), "%01%09%7f"},
        {u"\U0001F600", "%f0%9f%98%80"},
        {u"", ""},
    };
    for (const auto& [input, expected] : cases) {
        BSTR out;
        ASSERT_EQ(m_ptrServer->URLEncode(BSTR(input), &out), S_OK);
        EXPECT_EQ(Utf8(out), expected) << expected;
    }
    BSTR out;
    EXPECT_EQ(m_ptrServer->URLEncode(BSTR(), &out), S_OK);
    EXPECT_EQ(out.Length(), 0u);
    EXPECT_EQ(m_ptrServer->URLEncode(BSTR(u"x"), nullptr), E_POINTER);
}

TEST_F(ServerObjectTest, HTMLEncodesMarkupAndEverythingOutsidePrintableAscii) {
    const std::pair<std::u16string, const char*> cases[] = {
        {u"<a href=\"x\">'&'</a>", "&lt;a href=\"x\"&gt;'&amp;'&lt;/a&gt;"},
        {u"a\nb\tc\r", "a&#x000A;b&#x0009;c&#x000D;"},
        {u"caf\u00E9 \u20AC", "caf&#x00E9; &#x20AC;"},
        {u"\U0001F600", "&#x01F600;"},
        {u"\U0010FFFF", "&#x10FFFF;"},
        {std::u16string(1, char16_t(0xD83D)) + u"x", "&#xD83D;x"},  // lone high surrogate
        {std::u16string(1, char16_t(0xDE00)), "&#xDE00;"},          // lone low surrogate
        {u"\x7F", "&#x007F;"},
        {u"", ""},
    };
    for (const auto& [input, expected] : cases) {
        BSTR out;
        ASSERT_EQ(m_ptrServer->HTMLEncode(BSTR(input), &out), S_OK);
        EXPECT_EQ(Utf8(out), expected) << expected;
    }
}

TEST_F(ServerObjectTest, MD5HashesTheUtf8Bytes) {
    const std::pair<std::u16string, const char*> cases[] = {
        {u"", "d41d8cd98f00b204e9800998ecf8427e"},
        {u"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {u"\u00E9", "66ddcd97cfdeabb2f6fb8a999b4bc76f"},
    };
    for (const auto& [input, expected] : cases) {
        BSTR out;
        ASSERT_EQ(m_ptrServer->MD5Hash(BSTR(input), &out), S_OK);
        EXPECT_EQ(Utf8(out), expected);
    }
    EXPECT_EQ(m_ptrServer->MD5Hash(BSTR(u"x"), nullptr), E_POINTER);
}

// ---- Registry values and the machine identifier ----------------------------------------------

TEST_F(ServerObjectTest, RegistryKeyStoresIntegersAsDwordsAndTheRestAsText) {
    CComVariant value;
    ASSERT_EQ(m_ptrServer->get_RegistryKey(BSTR(u"Missing"), &value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);

    struct Case {
        const char* name;
        CComVariant input;
        DWORD type;
        CComVariant readBack;
    };
    const Case cases[] = {
        {"Int", CComVariant(LONG(5)), REG_DWORD, CComVariant(LONG(5))},
        {"Short", CComVariant(SHORT(-2)), REG_DWORD, CComVariant(LONG(-2))},
        {"Bool", CComVariant(true), REG_DWORD, CComVariant(LONG(-1))},
        {"Byte", CComVariant(BYTE(200)), REG_DWORD, CComVariant(LONG(200))},
        {"Big", CComVariant::Of(VT_UI4, 0xFFFFFFFFu), REG_DWORD, CComVariant(LONG(-1))},
        {"Double", CComVariant(2.5), REG_SZ, CComVariant(u"2.5")},
        {"Text", CComVariant(u"h\u00E9llo"), REG_SZ, CComVariant(u"h\u00E9llo")},
        {"Long", CComVariant(LONGLONG(1) << 40), REG_SZ, CComVariant(u"1099511627776")},
    };
    for (const auto& c : cases) {
        const BSTR name = BSTR::FromUtf8(c.name);
        ASSERT_EQ(m_ptrServer->put_RegistryKey(name, c.input), S_OK) << c.name;
        CRegistryValue stored;
        ASSERT_EQ(m_store->GetValue(kCorvaneKey, c.name, &stored), S_OK);
        EXPECT_EQ(stored.Type(), c.type) << c.name;
        CComVariant got;
        ASSERT_EQ(m_ptrServer->get_RegistryKey(name, &got), S_OK);
        EXPECT_EQ(got.vt, c.readBack.vt) << c.name;
        if (got.vt == VT_I4)
            EXPECT_EQ(got.lVal, c.readBack.lVal) << c.name;
        else
            EXPECT_EQ(got.Text(), c.readBack.Text()) << c.name;
    }
    DWORD big = 0;
    ASSERT_EQ(m_store->GetDword(kCorvaneKey, "Big", &big), S_OK);
    EXPECT_EQ(big, 0xFFFFFFFFu);

    // Types the object does not read are refused, and the value stays.
    ASSERT_EQ(m_store->SetValue(kCorvaneKey, "Bin", CRegistryValue::FromBinary({1, 2})), S_OK);
    EXPECT_EQ(m_ptrServer->get_RegistryKey(BSTR(u"Bin"), &value), E_INVALIDARG);
    EXPECT_EQ(m_ptrServer->get_RegistryKey(BSTR(u"x"), nullptr), E_POINTER);
}

TEST_F(ServerObjectTest, RegistryKeyWorksThroughDispatch) {
    CComPtr<IDispatch> ptrDisp;
    ASSERT_EQ(m_ptrServer.QueryInterface(ptrDisp), S_OK);
    const char16_t* names[] = {u"registrykey"};
    DISPID dispid = 0;
    ASSERT_EQ(ptrDisp->GetIDsOfNames(IID_IServerObject, names, 1, 0, &dispid), S_OK);
    EXPECT_EQ(dispid, 4);

    // RegistryKey("Limit") = 30, with the value passed by reference as VBScript does.
    LONG thirty = 30;
    VARIANT args[2];
    VariantInit(&args[0]);
    args[0].vt = VT_BYREF | VT_I4;
    args[0].plVal = &thirty;
    CComVariant name(u"Limit");
    static_cast<VARIANT&>(args[1]) = name;
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS put{args, &putId, 2, 1};
    ASSERT_EQ(ptrDisp->Invoke(dispid, IID_IServerObject, 0, DISPATCH_PROPERTYPUT, &put, nullptr,
                              nullptr, nullptr),
              S_OK);
    DWORD stored = 0;
    ASSERT_EQ(m_store->GetDword(kCorvaneKey, "Limit", &stored), S_OK);
    EXPECT_EQ(stored, 30u);

    DISPPARAMS get{&args[1], nullptr, 1, 0};
    CComVariant result;
    ASSERT_EQ(ptrDisp->Invoke(dispid, IID_IServerObject, 0, DISPATCH_PROPERTYGET, &get, &result,
                              nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 30);
    VariantInit(&args[1]);  // `name` owns the string
}

TEST_F(ServerObjectTest, RegistryFailuresAreReturned) {
    std::ofstream(m_store->Path()) << "this is not a registry file\n";
    CComVariant value;
    EXPECT_EQ(m_ptrServer->get_RegistryKey(BSTR(u"Any"), &value), HRESULT_FROM_WIN32(ERROR_BADDB));
    EXPECT_EQ(m_ptrServer->put_RegistryKey(BSTR(u"Any"), CComVariant(LONG(1))),
              HRESULT_FROM_WIN32(ERROR_BADDB));
    BSTR id;
    EXPECT_EQ(m_ptrServer->get_MachineId(&id), HRESULT_FROM_WIN32(ERROR_BADDB));
    EXPECT_EQ(Contents(m_store->Path()), "this is not a registry file\n");
}

TEST_F(ServerObjectTest, MachineIdIsComputedOnceAndKept) {
    CMachineFingerprint::Facts facts;
    ASSERT_EQ(CMachineFingerprint::Collect(&facts), S_OK);
    std::string expected;
    ASSERT_EQ(CTextEncoder::MD5Hex(CMachineFingerprint::Compose(facts), &expected), S_OK);

    BSTR id;
    ASSERT_EQ(m_ptrServer->get_MachineId(&id), S_OK);
    EXPECT_EQ(Utf8(id), expected);
    std::string stored;
    ASSERT_EQ(m_store->GetString(kCorvaneKey, "CV_MachineID", &stored), S_OK);
    EXPECT_EQ(stored, expected);

    // A stored identifier wins over the machine's facts; an empty one is replaced.
    ASSERT_EQ(m_store->SetString(kCorvaneKey, "CV_MachineID", "from-an-earlier-machine"), S_OK);
    ASSERT_EQ(m_ptrServer->get_MachineId(&id), S_OK);
    EXPECT_EQ(Utf8(id), "from-an-earlier-machine");
    ASSERT_EQ(m_store->SetString(kCorvaneKey, "CV_MachineID", ""), S_OK);
    ASSERT_EQ(m_ptrServer->get_MachineId(&id), S_OK);
    EXPECT_EQ(Utf8(id), expected);
    EXPECT_EQ(m_ptrServer->get_MachineId(nullptr), E_POINTER);
}

// ---- HTTP ----------------------------------------------------------------------------------

// Serves canned raw responses by request path and remembers the request heads.
class CCannedHTTPServer {
public:
    CCannedHTTPServer()
        : m_server([this](int fd) {
              const std::string head = CLoopbackTestServer::ReadRequestHead(fd);
              const std::size_t start = head.find(' ') + 1;
              const std::string path = head.substr(start, head.find(' ', start) - start);
              std::string response;
              {
                  std::lock_guard guard(m_lock);
                  m_heads.push_back(head);
                  auto it = m_responses.find(path);
                  response = it != m_responses.end()
                                 ? it->second
                                 : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
              }
              CLoopbackTestServer::WriteAll(fd, response);
          }) {}

    void Set(const std::string& path, const std::string& raw) {
        std::lock_guard guard(m_lock);
        m_responses[path] = raw;
    }
    std::string URL(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_server.Port()) + path;
    }
    std::string LastHead() {
        std::lock_guard guard(m_lock);
        return m_heads.empty() ? std::string() : m_heads.back();
    }

    static std::string Response(const std::string& type, const std::string& body) {
        std::string raw = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
        if (!type.empty())
            raw += "Content-Type: " + type + "\r\n";
        return raw + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }

private:
    std::mutex m_lock;  // guards the two maps; the server thread and the test share them
    std::map<std::string, std::string> m_responses;
    std::vector<std::string> m_heads;
    CLoopbackTestServer m_server;  // last: stops before the maps go
};

TEST_F(ServerObjectTest, MakeRemoteRequestReturnsTextOrBytes) {
    CCannedHTTPServer http;
    const std::string png("\x89PNG\r\n\x1a\n\x00\xff", 10);
    http.Set("/page",
             CCannedHTTPServer::Response("text/html; charset=utf-8", "<p>caf\xC3\xA9</p>"));
    http.Set("/plain", CCannedHTTPServer::Response("", "no type"));
    http.Set("/image", CCannedHTTPServer::Response("image/png", png));
    http.Set("/empty", CCannedHTTPServer::Response("text/plain", ""));
    // "Text/HTML" is not text: the comparison is case-sensitive.
    http.Set("/upper", CCannedHTTPServer::Response("Text/HTML", "ab"));
    http.Set("/moved", "HTTP/1.1 302 Found\r\nLocation: /page\r\nContent-Length: 0\r\n\r\n");

    struct Case {
        const char* path;
        std::u16string text;  // for string results
        std::string bytes;    // for byte arrays
        bool isText;
    };
    const Case cases[] = {
        {"/page", u"<p>caf\u00E9</p>", "", true},
        {"/plain", u"no type", "", true},
        {"/image", u"", png, false},
        {"/empty", u"", "", true},
        {"/upper", u"", "ab", false},
        {"/moved", u"<p>caf\u00E9</p>", "", true},
    };
    for (const auto& c : cases) {
        CComVariant response;
        bool ok = false;
        ASSERT_EQ(m_ptrServer->MakeRemoteRequest(BSTR::FromUtf8(http.URL(c.path)), &response, &ok),
                  S_OK)
            << c.path;
        EXPECT_TRUE(ok) << c.path;
        if (c.isText) {
            ASSERT_EQ(response.vt, VT_BSTR) << c.path;
            EXPECT_EQ(response.Text(), c.text) << c.path;
        } else {
            ASSERT_EQ(response.vt, VT_ARRAY | VT_I1) << c.path;
            LONG ub = -1;
            ASSERT_EQ(SafeArrayGetUBound(response.parray, 1, &ub), S_OK);
            ASSERT_EQ(ub + 1, static_cast<LONG>(c.bytes.size()));
            EXPECT_EQ(std::memcmp(response.parray->pvData, c.bytes.data(), c.bytes.size()), 0);
        }
    }
    const std::string head = http.LastHead();
    EXPECT_NE(head.find("User-Agent: Corvane2\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Pragma: no-cache\r\n"), std::string::npos) << head;
}

TEST_F(ServerObjectTest, MakeRemoteRequestFailures) {
    CCannedHTTPServer http;
    http.Set("/nolength", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody until close");
    http.Set("/short", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 10\r\n\r\nabc");
    http.Set("/error", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 2\r\n\r\nno");

    CComVariant response;
    bool ok = true;
    // Answers of the server that count as local failures.
    EXPECT_EQ(m_ptrServer->MakeRemoteRequest(BSTR::FromUtf8(http.URL("/nolength")), &response, &ok),
              HRESULT_FROM_WIN32(12150));
    EXPECT_FALSE(ok);
    EXPECT_EQ(m_ptrServer->MakeRemoteRequest(BSTR::FromUtf8(http.URL("/short")), &response, &ok),
              E_FAIL);

    // HTTP errors and unreachable servers: false, no error, and the reason.
    ok = true;
    ASSERT_EQ(m_ptrServer->MakeRemoteRequest(BSTR::FromUtf8(http.URL("/error")), &response, &ok),
              S_OK);
    EXPECT_FALSE(ok);
    EXPECT_EQ(response.Text(), u"HTTP/1.1 500 Internal Server Error");
    ASSERT_EQ(m_ptrServer->MakeRemoteRequest(BSTR::FromUtf8(http.URL("/missing")), &response, &ok),
              S_OK);
    EXPECT_FALSE(ok);
    EXPECT_EQ(response.Text(), u"HTTP/1.1 404 Not Found");

    CClosedLoopbackPort closed;
    ok = true;
    ASSERT_EQ(m_ptrServer->MakeRemoteRequest(
                  BSTR::FromUtf8("http://127.0.0.1:" + std::to_string(closed.Port()) + "/"),
                  &response, &ok),
              S_OK);
    EXPECT_FALSE(ok);
    ASSERT_EQ(response.vt, VT_BSTR);
    EXPECT_FALSE(response.Text().empty());
    // Only HTTP and HTTPS are fetched.
    ASSERT_EQ(m_ptrServer->MakeRemoteRequest(BSTR(u"file:///etc/passwd"), &response, &ok), S_OK);
    EXPECT_FALSE(ok);

    EXPECT_EQ(m_ptrServer->MakeRemoteRequest(BSTR(), &response, &ok), E_INVALIDARG);
    EXPECT_EQ(m_ptrServer->MakeRemoteRequest(BSTR(u"http://127.0.0.1/"), nullptr, &ok), E_POINTER);
    EXPECT_EQ(m_ptrServer->MakeRemoteRequest(BSTR(u"http://127.0.0.1/"), &response, nullptr),
              E_POINTER);
}

// ---- Downloads -------------------------------------------------------------------------------

class DownloadTest : public ServerObjectTest {
protected:
    std::vector<std::string> SiteFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_sites))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::filesystem::path ListPath() const {
        return CPendingReplacements::ListPathBeside(m_store->Path());
    }

    // Both fetches of `url` end as failed fetches (not as failed calls) and replace nothing
    // ("Corvane.dat" is the download's target); the text MakeRemoteRequest answered with.
    std::string ExpectBothFetchesFail(const std::string& url) {
        CComVariant response;
        bool ok = true;
        EXPECT_EQ(m_ptrServer->MakeRemoteRequest(BSTR::FromUtf8(url), &response, &ok), S_OK);
        EXPECT_FALSE(ok) << url;
        EXPECT_EQ(response.vt, VT_BSTR) << url;
        const std::string text = response.vt == VT_BSTR ? Utf16ToUtf8(response.Text()) : "";
        EXPECT_FALSE(text.empty()) << url;

        bool reboot = false;
        ok = true;
        EXPECT_EQ(m_ptrServer->DownloadFile(BSTR::FromUtf8(url), BSTR(u"Corvane.dat"),
                                            ByRef<bool>(&reboot), &ok),
                  S_OK);
        EXPECT_FALSE(ok) << url;
        EXPECT_FALSE(reboot) << url;
        return text;
    }

    CCannedHTTPServer m_http;
};

TEST_F(DownloadTest, ReplacesAFileThatIsNotInUse) {
    m_http.Set("/Corvane.dat", CCannedHTTPServer::Response("application/octet-stream", "new site"));
    std::ofstream(m_sites / "Corvane.dat") << "old site";
    bool reboot = false, ok = false;
    ASSERT_EQ(m_ptrServer->DownloadFile(BSTR::FromUtf8(m_http.URL("/Corvane.dat")),
                                        BSTR(u"Corvane.dat"), ByRef<bool>(&reboot), &ok),
              S_OK);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(reboot);
    EXPECT_EQ(Contents(m_sites / "Corvane.dat"), "new site");
    EXPECT_EQ(SiteFiles(), std::vector<std::string>{"Corvane.dat"});  // no temporary left

    // A new file in a subdirectory of the sites.
    std::filesystem::create_directory(m_sites / "extra");
    ASSERT_EQ(m_ptrServer->DownloadFile(BSTR::FromUtf8(m_http.URL("/Corvane.dat")),
                                        BSTR(u"extra/./More.dat"), ByRef<bool>(&reboot), &ok),
              S_OK);
    EXPECT_TRUE(ok);
    EXPECT_EQ(Contents(m_sites / "extra" / "More.dat"), "new site");
}

TEST_F(DownloadTest, AFileInUseIsReplacedAtTheNextStart) {
    m_http.Set("/Corvane.dat", CCannedHTTPServer::Response("", "new site"));
    const auto target = m_sites / "Corvane.dat";
    std::ofstream(target) << "old site";
    // The service holds its sites open; so does this test.
    const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    bool reboot = false, ok = false;
    ASSERT_EQ(m_ptrServer->DownloadFile(BSTR::FromUtf8(m_http.URL("/Corvane.dat")),
                                        BSTR(u"Corvane.dat"), ByRef<bool>(&reboot), &ok),
              S_OK);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(reboot);
    EXPECT_EQ(Contents(target), "old site");
    ::close(fd);

    std::vector<std::pair<std::string, std::string>> entries;
    CPendingReplacements list(ListPath());
    ASSERT_EQ(list.Read(&entries), S_OK);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].second, target.string());
    EXPECT_EQ(Contents(entries[0].first), "new site");

    ASSERT_EQ(list.Apply(), S_OK);
    EXPECT_EQ(Contents(target), "new site");
    EXPECT_EQ(SiteFiles(), std::vector<std::string>{"Corvane.dat"});
}

TEST_F(DownloadTest, FailuresLeaveTheTargetAlone) {
    m_http.Set("/nolength", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody until close");
    m_http.Set("/short", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 9\r\n\r\nabc");
    m_http.Set("/partial", "HTTP/1.1 206 Partial Content\r\nContent-Length: 3\r\n\r\nabc");
    m_http.Set("/ok", CCannedHTTPServer::Response("", "fine"));
    std::ofstream(m_sites / "Corvane.dat") << "old site";
    CClosedLoopbackPort closed;

    struct Case {
        std::string url;
        std::u16string name;
        HRESULT hr;
    };
    const Case cases[] = {
        {m_http.URL("/missing"), u"Corvane.dat", S_OK},  // 404: false
        {m_http.URL("/partial"), u"Corvane.dat", S_OK},  // only 200 is a download
        {"http://127.0.0.1:" + std::to_string(closed.Port()) + "/", u"Corvane.dat", S_OK},
        {m_http.URL("/nolength"), u"Corvane.dat", HRESULT_FROM_WIN32(12150)},
        {m_http.URL("/short"), u"Corvane.dat", E_FAIL},
        {m_http.URL("/ok"), u"../outside.dat", E_ACCESSDENIED},
        {m_http.URL("/ok"), u"/etc/passwd", E_ACCESSDENIED},
        {m_http.URL("/ok"), u".", E_ACCESSDENIED},
        {m_http.URL("/ok"), u"", E_INVALIDARG},
        {m_http.URL("/ok"), u"nodir/x.dat", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
    };
    for (const auto& c : cases) {
        bool reboot = false, ok = true;
        EXPECT_EQ(m_ptrServer->DownloadFile(BSTR::FromUtf8(c.url), BSTR(c.name),
                                            ByRef<bool>(&reboot), &ok),
                  c.hr)
            << c.url;
        EXPECT_FALSE(ok) << c.url;
        EXPECT_FALSE(reboot) << c.url;
    }
    EXPECT_EQ(Contents(m_sites / "Corvane.dat"), "old site");
    EXPECT_EQ(SiteFiles(), std::vector<std::string>{"Corvane.dat"});
    EXPECT_FALSE(std::filesystem::exists(m_dir / "outside.dat"));
    EXPECT_FALSE(std::filesystem::exists(ListPath()));

    bool reboot = false, ok = false;
    EXPECT_EQ(m_ptrServer->DownloadFile(BSTR(), BSTR(u"a"), ByRef<bool>(&reboot), &ok),
              E_INVALIDARG);
    EXPECT_EQ(
        m_ptrServer->DownloadFile(BSTR(u"http://127.0.0.1/"), BSTR(), ByRef<bool>(&reboot), &ok),
        E_INVALIDARG);
    EXPECT_EQ(m_ptrServer->DownloadFile(BSTR(u"http://127.0.0.1/"), BSTR(u"a"),
                                        ByRef<bool>(&reboot), nullptr),
              E_POINTER);
}

// ---- Servers that stall, and servers that cannot be trusted ---------------------------------

// Takes a request, sends `start` (perhaps nothing) and then says nothing more until the
// client gives up and closes the connection.
class CStallingHTTPServer {
public:
    explicit CStallingHTTPServer(std::string start)
        : m_start(std::move(start)), m_server([this](int fd) {
              CLoopbackTestServer::ReadRequestHead(fd);
              CLoopbackTestServer::WriteAll(fd, m_start);
              char c;
              while (::recv(fd, &c, 1, 0) > 0) {
              }
          }) {}
    std::string URL() const { return "http://127.0.0.1:" + std::to_string(m_server.Port()) + "/f"; }

private:
    const std::string m_start;
    CLoopbackTestServer m_server;
};

// A fetch gives up once the server has sent nothing for the stall limit: a silent server, or
// one that stops in the middle of the body, ends the call as a failed fetch and changes no file.
TEST_F(DownloadTest, AServerThatStallsEndsTheCall) {
    struct ShortStall {
        ShortStall() { CHTTPFetch::SetStallSeconds(1); }
        ~ShortStall() { CHTTPFetch::SetStallSeconds(60); }
    } shortStall;
    std::ofstream(m_sites / "Corvane.dat") << "old site";
    const std::string starts[] = {
        "",
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100\r\n\r\nabc",
    };
    for (const auto& start : starts) {
        CStallingHTTPServer http(start);
        const auto began = std::chrono::steady_clock::now();
        ExpectBothFetchesFail(http.URL());
        // Generous: the point is that the calls end, not how soon.
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
    }
    EXPECT_EQ(Contents(m_sites / "Corvane.dat"), "old site");
    EXPECT_EQ(SiteFiles(), std::vector<std::string>{"Corvane.dat"});
}

// A TLS server on 127.0.0.1 with a certificate of its own making (self-signed, EC P-256).
// Were a client to accept it, it would answer every request with a small page.
class CSelfSignedTLSServer {
public:
    CSelfSignedTLSServer() = default;
    ~CSelfSignedTLSServer() = default;

    std::string URL() const {
        return "https://127.0.0.1:" + std::to_string(m_server.Port()) + "/f";
    }
    int Handshakes() const { return m_handshakes; }

private:
    using Context = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

    static Context MakeContext() {
        Context ctx(SSL_CTX_new(TLS_server_method()), &SSL_CTX_free);
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"),
                                                                &EVP_PKEY_free);
        std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
        if (!ctx || !key || !cert)
            return ctx;
        X509_set_version(cert.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
        X509_set_pubkey(cert.get(), key.get());
        X509_NAME* name = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(cert.get(), name);
        X509_sign(cert.get(), key.get(), EVP_sha256());
        SSL_CTX_use_certificate(ctx.get(), cert.get());
        SSL_CTX_use_PrivateKey(ctx.get(), key.get());
        return ctx;
    }

    void Serve(int fd) {
        std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(m_ctx.get()), &SSL_free);
        if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1)
            return;
        ++m_handshakes;
        char buffer[4096];
        SSL_read(ssl.get(), buffer, sizeof buffer);
        const std::string page = CCannedHTTPServer::Response("text/plain", "trusted");
        SSL_write(ssl.get(), page.data(), static_cast<int>(page.size()));
        SSL_shutdown(ssl.get());
    }

    Context m_ctx = MakeContext();
    std::atomic<int> m_handshakes{0};
    CLoopbackTestServer m_server{[this](int fd) { Serve(fd); }};
};

// Both fetches verify the server's certificate: one the server made for itself is refused
// before a request is sent, and the script hears why.
TEST_F(DownloadTest, BothFetchesRefuseACertificateThatDoesNotVerify) {
    CSelfSignedTLSServer tls;
    std::ofstream(m_sites / "Corvane.dat") << "old site";
    const std::string why = ExpectBothFetchesFail(tls.URL());
    EXPECT_NE(why.find("certificate"), std::string::npos) << why;
    EXPECT_EQ(tls.Handshakes(), 0);
    EXPECT_EQ(Contents(m_sites / "Corvane.dat"), "old site");
}

TEST_F(DownloadTest, RebootFlagReachesAScriptVariable) {
    m_http.Set("/f", CCannedHTTPServer::Response("", "new"));
    const auto target = m_sites / "in-use.dat";
    std::ofstream(target) << "old";
    const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);

    CComPtr<IDispatch> ptrDisp;
    ASSERT_EQ(m_ptrServer.QueryInterface(ptrDisp), S_OK);
    VARIANT_BOOL reboot = VARIANT_FALSE;
    CComVariant url(BSTR::FromUtf8(m_http.URL("/f"))), name(u"in-use.dat");
    VARIANT args[3];
    VariantInit(&args[0]);
    args[0].vt = VT_BYREF | VT_BOOL;
    args[0].pboolVal = &reboot;
    static_cast<VARIANT&>(args[1]) = name;
    static_cast<VARIANT&>(args[2]) = url;
    DISPPARAMS params{args, nullptr, 3, 0};
    CComVariant result;
    EXPECT_EQ(ptrDisp->Invoke(7, IID_IServerObject, 0, DISPATCH_METHOD, &params, &result, nullptr,
                              nullptr),
              S_OK);
    VariantInit(&args[1]);
    VariantInit(&args[2]);
    ::close(fd);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);
    EXPECT_EQ(reboot, VARIANT_TRUE);
}

// ---- Restart ---------------------------------------------------------------------------------

TEST_F(ServerObjectTest, RebootWindowsReportsWhetherTheSystemAccepted) {
    std::atomic<int> calls{0};
    for (const bool accepted : {true, false}) {
        CSystemReboot::SetCallForTest([&] {
            ++calls;
            return accepted;
        });
        bool result = !accepted;
        EXPECT_EQ(m_ptrServer->RebootWindows(&result), S_OK);
        EXPECT_EQ(result, accepted);
    }
    CSystemReboot::SetCallForTest([] { return true; });  // never the real call in tests
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(m_ptrServer->RebootWindows(nullptr), E_POINTER);
}

// ---- URL categories --------------------------------------------------------------------------

// A category server that answers every request with the reply the test sets and keeps
// the last request it read.
class CCategoryServer {
public:
    CCategoryServer()
        : m_server([this](int fd) {
              std::string header(CCategoryProtocol::kRequestHeaderSize, '\0');
              if (!CLoopbackTestServer::ReadExact(fd, header.data(), header.size()))
                  return;
              const std::size_t length =
                  (static_cast<BYTE>(header[16]) << 8) | static_cast<BYTE>(header[17]);
              std::string url(length, '\0');
              if (!CLoopbackTestServer::ReadExact(fd, url.data(), url.size()))
                  return;
              std::string reply;
              {
                  std::lock_guard guard(m_lock);
                  m_strRequest = header + url;
                  reply = m_strReply;
              }
              CLoopbackTestServer::WriteAll(fd, reply);
          }) {}

    static std::string Reply(const char* magic, uint32_t id, uint16_t status,
                             const std::vector<uint32_t>& categories, int announce = -1) {
        std::string r(magic, 4);
        r += std::string(4, '\0');
        const uint32_t idN = htonl(id);
        r.append(reinterpret_cast<const char*>(&idN), 4);
        const uint16_t statusN = htons(status);
        const uint16_t countN =
            htons(static_cast<uint16_t>(announce >= 0 ? announce : categories.size()));
        r.append(reinterpret_cast<const char*>(&statusN), 2);
        r.append(reinterpret_cast<const char*>(&countN), 2);
        for (uint32_t c : categories) {
            const uint32_t n = htonl(c);
            r.append(reinterpret_cast<const char*>(&n), 4);
        }
        return r;
    }
    void SetReply(std::string reply) {
        std::lock_guard guard(m_lock);
        m_strReply = std::move(reply);
    }
    std::string Request() {
        std::lock_guard guard(m_lock);
        return m_strRequest;
    }
    std::u16string Address() const { return u"127.0.0.1:" + Utf8ToUtf16(std::to_string(Port())); }
    uint16_t Port() const { return m_server.Port(); }

private:
    std::mutex m_lock;  // guards the reply and the request
    std::string m_strReply, m_strRequest;
    CLoopbackTestServer m_server;
};

TEST_F(ServerObjectTest, CheckURLJoinsTheCategoriesOfAPositiveAnswer) {
    CCategoryServer csp;
    csp.SetReply(CCategoryServer::Reply("CSRP", 1, 0, {12, 7, 40}));
    CComVariant response;
    bool ok = false;
    ASSERT_EQ(
        m_ptrServer->CheckURL(BSTR(csp.Address()), BSTR(u"localhost:443/path?q"), &response, &ok),
        S_OK);
    EXPECT_TRUE(ok);
    EXPECT_EQ(response.Text(), u"12/7/40");

    // The request: magic, version, id 1, the host's address, the length and the
    // normalised URL (https for port 443) with its zero.
    const std::string url = "https://localhost:443/path?q";
    std::string expected("CSRQ\x40\0\0\0\0\0\0\x01\x7F\0\0\x01", 16);
    expected += static_cast<char>(0);
    expected += static_cast<char>(url.size() + 1);
    expected += url;
    expected += '\0';
    EXPECT_EQ(csp.Request(), expected);

    // More than 128 categories: the first 128 are kept.
    std::vector<uint32_t> many(200);
    for (uint32_t i = 0; i < many.size(); ++i)
        many[i] = i;
    csp.SetReply(CCategoryServer::Reply("CSRP", 1, 0, many));
    ASSERT_EQ(
        m_ptrServer->CheckURL(BSTR(csp.Address()), BSTR(u"http://127.0.0.1/"), &response, &ok),
        S_OK);
    EXPECT_TRUE(ok);
    std::string first128 = "0";
    for (int i = 1; i < 128; ++i)
        first128 += "/" + std::to_string(i);
    EXPECT_EQ(Utf16ToUtf8(response.Text()), first128);

    csp.SetReply(CCategoryServer::Reply("CSRP", 1, 0, {}));
    ASSERT_EQ(m_ptrServer->CheckURL(BSTR(csp.Address()), BSTR(u"127.0.0.1"), &response, &ok), S_OK);
    EXPECT_TRUE(ok);
    EXPECT_EQ(response.vt, VT_BSTR);
    EXPECT_EQ(response.Text(), u"");
}

TEST_F(ServerObjectTest, CheckURLAnswersFalseForRefusalsAndBrokenReplies) {
    CCategoryServer csp;
    const std::string good = CCategoryServer::Reply("CSRP", 1, 0, {1, 2});
    const std::string replies[] = {
        CCategoryServer::Reply("CSRP", 1, 1, {}),      // CSP_ERROR
        CCategoryServer::Reply("CSRP", 1, 2, {}),      // CSP_INVALID_URL
        CCategoryServer::Reply("CSRP", 1, 3, {}),      // CSP_EXPIRED_LIST
        CCategoryServer::Reply("CSRP", 1, 9, {5}),     // unknown status
        CCategoryServer::Reply("CSRX", 1, 0, {5}),     // wrong magic
        CCategoryServer::Reply("CSRP", 7, 0, {5}),     // wrong message id
        good.substr(0, 10),                            // closed inside the header
        CCategoryServer::Reply("CSRP", 1, 0, {1}, 3),  // closed before the categories
        "",
    };
    for (const auto& reply : replies) {
        csp.SetReply(reply);
        CComVariant response(u"untouched");
        bool ok = true;
        ASSERT_EQ(m_ptrServer->CheckURL(BSTR(csp.Address()), BSTR(u"127.0.0.1/x"), &response, &ok),
                  S_OK);
        EXPECT_FALSE(ok);
        EXPECT_EQ(response.Text(), u"untouched");
    }

    // Nobody listening: false, no error.
    CClosedLoopbackPort closed;
    CComVariant response;
    bool ok = true;
    ASSERT_EQ(
        m_ptrServer->CheckURL(BSTR(u"127.0.0.1:" + Utf8ToUtf16(std::to_string(closed.Port()))),
                              BSTR(u"127.0.0.1/x"), &response, &ok),
        S_OK);
    EXPECT_FALSE(ok);
}

TEST_F(ServerObjectTest, CheckURLArgumentErrors) {
    CCategoryServer csp;
    csp.SetReply(CCategoryServer::Reply("CSRP", 1, 0, {1}));
    CComVariant response;
    bool ok = true;
    EXPECT_EQ(m_ptrServer->CheckURL(BSTR(csp.Address()), BSTR(u""), &response, &ok), E_INVALIDARG);
    EXPECT_FALSE(ok);
    EXPECT_EQ(
        m_ptrServer->CheckURL(BSTR(csp.Address()), BSTR(u"127.0.0.1/" + std::u16string(5000, u'a')),
                              &response, &ok),
        E_INVALIDARG);
    EXPECT_EQ(m_ptrServer->CheckURL(BSTR(), BSTR(u"a"), &response, &ok), E_INVALIDARG);
    EXPECT_EQ(m_ptrServer->CheckURL(BSTR(u"a"), BSTR(), &response, &ok), E_INVALIDARG);
    EXPECT_EQ(m_ptrServer->CheckURL(BSTR(u"a"), BSTR(u"a"), nullptr, &ok), E_POINTER);
    EXPECT_EQ(m_ptrServer->CheckURL(BSTR(u"a"), BSTR(u"a"), &response, nullptr), E_POINTER);
}

TEST_F(ServerObjectTest, CheckURLUsesPort4004WhenNoneIsWritten) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(4004);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        GTEST_SKIP() << "port 4004 on 127.0.0.1 is taken";
    }
    std::thread server([fd] {
        const int conn = ::accept(fd, nullptr, nullptr);
        if (conn < 0)
            return;
        std::string request(18, '\0');
        CLoopbackTestServer::ReadExact(conn, request.data(), request.size());
        std::string url(static_cast<BYTE>(request[17]), '\0');
        CLoopbackTestServer::ReadExact(conn, url.data(), url.size());
        CLoopbackTestServer::WriteAll(conn, CCategoryServer::Reply("CSRP", 1, 0, {4004}));
        ::close(conn);
    });
    CComVariant response;
    bool ok = false;
    EXPECT_EQ(m_ptrServer->CheckURL(BSTR(u"127.0.0.1"), BSTR(u"127.0.0.1"), &response, &ok), S_OK);
    ::shutdown(fd, SHUT_RDWR);  // wakes the accept if the call never connected
    server.join();
    ::close(fd);
    EXPECT_TRUE(ok);
    EXPECT_EQ(response.Text(), u"4004");
}

}  // namespace
