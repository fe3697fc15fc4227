// Tests of the request parser: the sniff, request lines, headers, content lengths, the
// URL forms and the full URL, incremental parsing and pipelining, and the bounds.
#include "http/HTTPRequest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Method = CHTTPRequest::Method;
using URLForm = CHTTPRequest::URLForm;

constexpr std::string_view kRelayHost = "10.0.0.1:80";

struct Outcome {
    HRESULT hr;
    bool bMore;
};

Outcome ParseAll(CHTTPRequest& request, std::string_view data, bool endOfStream = false,
                 std::string_view defaultHost = kRelayHost) {
    Outcome o{E_FAIL, true};
    o.hr = request.Parse(data, defaultHost, endOfStream, &o.bMore);
    return o;
}

std::string Header(const CHTTPRequest& request, std::string_view name) {
    std::string value;
    return request.GetHeader(name, &value) ? value : "<absent>";
}

// ---- The sniff ---------------------------------------------------------------------

struct SniffCase {
    std::string data;
    bool bMore;
    bool bIsHTTP;
};

class SniffTest : public testing::TestWithParam<SniffCase> {};

TEST_P(SniffTest, Decides) {
    const SniffCase& c = GetParam();
    bool bIsHTTP = true;
    EXPECT_EQ(CHTTPRequest::SniffRequestLine(c.data, &bIsHTTP), c.bMore);
    EXPECT_EQ(bIsHTTP, c.bIsHTTP);
}

const std::string k32(32, 'X');
const std::string k33(33, 'X');

INSTANTIATE_TEST_SUITE_P(
    RequestLines, SniffTest,
    testing::Values(
        SniffCase{"GET / HTTP/1.1\r\n", false, true},
        SniffCase{"GET / HTTP/1.10\r\nHost: a\r\n", false, true},
        SniffCase{"GET / HTTP/.\r\n", false, true},  // digit counts are not limited
        SniffCase{k32 + " / HTTP/1.0\r\n", false, true},
        // HTTP/0.9: GET only.
        SniffCase{"GET /\r\n", false, true}, SniffCase{"POST /\r\n", false, false},
        // Not yet decidable.
        SniffCase{"", true, false}, SniffCase{"GE", true, false}, SniffCase{k32, true, false},
        SniffCase{"GET /index", true, false}, SniffCase{"GET / HTT", true, false},
        SniffCase{"GET / HTTP/11", true, false}, SniffCase{"GET / HTTP/1.1", true, false},
        SniffCase{"GET / HTTP/1.1\r", true, false},
        // Refused as soon as a byte shows it.
        SniffCase{"g", false, false}, SniffCase{"Get / HTTP/1.1\r\n", false, false},
        SniffCase{k33, false, false}, SniffCase{k33 + " / HTTP/1.1\r\n", false, false},
        SniffCase{" / HTTP/1.1\r\n", false, false},      // no method
        SniffCase{"GET  / HTTP/1.1\r\n", false, false},  // empty target
        SniffCase{"GET \r\n", false, false},             // empty target, no version
        SniffCase{"GET / HTXP", false, false}, SniffCase{"GET / http/1.1\r\n", false, false},
        SniffCase{"GET / HTTP/1x", false, false}, SniffCase{"GET / HTTP/1.1\n", false, false},
        SniffCase{"GET / HTTP/1.1 \r\n", false, false},
        SniffCase{"GET /a b HTTP/1.1\r\n", false, false},
        SniffCase{"\x16\x03\x01\x02\x00", false, false}));

// ---- Request lines -----------------------------------------------------------------

struct LineCase {
    std::string line;  // without its CR LF
    ULONG status = 0;  // 0: parses
    Method method = Method::Other;
    std::string url = {};
    ULONG major = 0, minor = 0;
};

class RequestLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(RequestLineTest, Parses) {
    const LineCase& c = GetParam();
    CHTTPRequest request(nullptr, true);
    const Outcome o = ParseAll(request, c.line + "\r\n\r\n");
    if (c.status != 0) {
        EXPECT_TRUE(FAILED(o.hr));
        EXPECT_EQ(request.ErrorStatus(), c.status);
        return;
    }
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_FALSE(o.bMore);
    EXPECT_EQ(request.GetMethod(), c.method);
    EXPECT_EQ(request.GetURL(), c.url);
    EXPECT_EQ(request.GetMajorVersion(), c.major);
    EXPECT_EQ(request.GetMinorVersion(), c.minor);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RequestLineTest,
    testing::Values(LineCase{"GET / HTTP/1.1", 0, Method::GET, "/", 1, 1},
                    LineCase{"GET /\r\n", 0, Method::GET, "/", 0, 9},
                    LineCase{"HEAD /x HTTP/1.10", 0, Method::HEAD, "/x", 1, 10},
                    LineCase{"PROPPATCH /d HTTP/1.0", 0, Method::PROPPATCH, "/d", 1, 0},
                    LineCase{k32 + " / HTTP/1.1", 0, Method::Other, "/", 1, 1},
                    LineCase{"BREW /pot HTTP/1.1", 0, Method::Other, "/pot", 1, 1},
                    LineCase{"GET /%7Euser?q=%20 HTTP/1.1", 0, Method::GET, "/%7Euser?q=%20", 1, 1},
                    LineCase{"get / HTTP/1.1", 400}, LineCase{"POST /", 400},
                    LineCase{"GET / HTTP/1.1 extra", 400},
                    LineCase{std::string("GET /a\0b HTTP/1.1", 17), 400},
                    LineCase{"GET /a\rb HTTP/1.1", 400}));

TEST(HTTPRequest, MethodTokensMapToTheirValues) {
    const char* tokens[] = {"GET",    "OPTIONS", "HEAD",    "POST",     "PUT",
                            "DELETE", "TRACE",   "CONNECT", "PROPFIND", "PROPPATCH",
                            "MKCOL",  "COPY",    "MOVE",    "LOCK",     "UNLOCK"};
    LONG value = 1;
    for (const char* token : tokens) {
        CHTTPRequest request(nullptr, false);
        ASSERT_EQ(ParseAll(request, std::string(token) + " / HTTP/1.1\r\n\r\n").hr, S_OK) << token;
        EXPECT_EQ(static_cast<LONG>(request.GetMethod()), value++) << token;
    }
}

TEST(HTTPRequest, RelayModeKeepsVersionFieldsThatDoNotRead) {
    // The relay has sniffed already and parses on whatever follows the target.
    CHTTPRequest request(nullptr, false);
    ASSERT_EQ(ParseAll(request, "GET /x FOO/1.1\r\n\r\n").hr, S_OK);
    EXPECT_EQ(request.GetMajorVersion(), 0u);
    EXPECT_EQ(request.GetMinorVersion(), 0u);
    EXPECT_EQ(request.GetURLForm(), URLForm::Unknown);

    CHTTPRequest noSpace(nullptr, false);
    EXPECT_EQ(ParseAll(noSpace, "GARBAGE\r\n\r\n").hr, HTTP_E_STATUS_BAD_REQUEST);
}

// ---- Headers -----------------------------------------------------------------------

struct HeaderCase {
    std::string headers;  // lines with their CR LF, without the empty line
    ULONG status = 0;
    std::string name = {}, value = {};
};

class HeaderTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderTest, Stores) {
    const HeaderCase& c = GetParam();
    CHTTPRequest request(nullptr, true);
    const Outcome o = ParseAll(request, "GET / HTTP/1.1\r\n" + c.headers + "\r\n");
    if (c.status != 0) {
        EXPECT_TRUE(FAILED(o.hr));
        EXPECT_EQ(request.ErrorStatus(), c.status);
        return;
    }
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_EQ(Header(request, c.name), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HeaderTest,
    testing::Values(
        HeaderCase{"cOnTeNt-TyPe:text/html\r\n", 0, "CONTENT-TYPE", "text/html"},
        HeaderCase{"X-A: \t spaced  value \t\r\n", 0, "X-A", "spaced  value"},
        // Spaces before the colon stay part of the name.
        HeaderCase{"X-B : v\r\n", 0, "X-B ", "v"}, HeaderCase{"X-B : v\r\n", 0, "X-B", "<absent>"},
        // Continuation lines join with their leading whitespace; only the ends trim.
        HeaderCase{"X-F: one\r\n two\r\n", 0, "X-F", "one two"},
        HeaderCase{"X-F: a  \r\n\t b  \r\n   c\r\n", 0, "X-F", "a  \t b     c"},
        // A repeated name replaces the earlier value ...
        HeaderCase{"Accept: a\r\naccept: b\r\n", 0, "ACCEPT", "b"},
        HeaderCase{"Content-Length: 0\r\nContent-Length: 0\r\n", 0, "CONTENT-LENGTH", "0"},
        // ... except where two values leave the request ambiguous.
        HeaderCase{"Host: a\r\nHost: a\r\n", 400},
        HeaderCase{"Content-Length: 1\r\nContent-Length: 2\r\n", 400},
        // A line without a colon past its first byte is not a header.
        HeaderCase{"NoColonHere\r\nX: y\r\n", 0, "X", "y"}, HeaderCase{":X: y\r\n", 0, ":X", "y"},
        HeaderCase{"X:\r\n", 0, "X", ""},
        // Line breaks and NULs never reach a value.
        HeaderCase{"X: a\nY: b\r\n", 400}, HeaderCase{"X: a\rb\r\n", 400},
        HeaderCase{std::string("X: a\0b\r\n", 8), 400}, HeaderCase{"X: a\r\n\r \r\n", 400}));

TEST(HTTPRequest, LastHeaderLineWaitsForTheByteThatDecidesFolding) {
    CHTTPRequest request(nullptr, true);
    const std::string head = "GET / HTTP/1.1\r\nX: a\r\n";
    Outcome o = ParseAll(request, head);
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_TRUE(o.bMore);
    EXPECT_EQ(Header(request, "X"), "<absent>");
    o = ParseAll(request, head + " b\r\n\r\n");
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_FALSE(o.bMore);
    EXPECT_EQ(Header(request, "X"), "a b");
}

// ---- Content length and transfer coding (local mode) ------------------------------

struct LengthCase {
    std::string headers;
    ULONG status = 0;  // 0: accepted with `length`
    ULONG length = 0;
};

class ContentLengthTest : public testing::TestWithParam<LengthCase> {};

TEST_P(ContentLengthTest, Checks) {
    const LengthCase& c = GetParam();
    CHTTPRequest request(nullptr, true);
    const Outcome o = ParseAll(request, "POST /f HTTP/1.1\r\n" + c.headers + "\r\n");
    if (c.status != 0) {
        EXPECT_TRUE(FAILED(o.hr));
        EXPECT_FALSE(o.bMore);
        EXPECT_EQ(request.ErrorStatus(), c.status);
        return;
    }
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_EQ(request.GetContentLength(), c.length);
    EXPECT_EQ(o.bMore, c.length != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ContentLengthTest,
    testing::Values(
        LengthCase{"", 0, 0}, LengthCase{"Content-Length: 0\r\n", 0, 0},
        LengthCase{"Content-Length:  12 \r\n", 0, 12}, LengthCase{"Content-Length: 007\r\n", 0, 7},
        LengthCase{"Content-Length: 12abc\r\n", 413}, LengthCase{"Content-Length: abc\r\n", 400},
        LengthCase{"Content-Length: 0abc\r\n", 400}, LengthCase{"Content-Length:\r\n", 400},
        // Signs are not digits (read as a number, "-1" would be 4 GB).
        LengthCase{"Content-Length: -1\r\n", 400}, LengthCase{"Content-Length: +5\r\n", 400},
        LengthCase{"Content-Length: 4294967295\r\n", 413},
        LengthCase{"Content-Length: 99999999999999999999\r\n", 413},
        // Over what this server takes for a body.
        LengthCase{"Content-Length: 4294967294\r\n", 413},
        LengthCase{"Transfer-Encoding: chunked\r\n", 501},
        LengthCase{"Transfer-Encoding: Identity\r\nContent-Length: 3\r\n", 0, 3}));

TEST(HTTPRequest, BodyIsReadToItsLength) {
    CHTTPRequest request(nullptr, true);
    const std::string head = "POST /f HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
    Outcome o = ParseAll(request, head + "abc");
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_TRUE(o.bMore);
    o = ParseAll(request, head + "abcde");
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_FALSE(o.bMore);
    EXPECT_EQ(request.GetBody(), "abcde");
    EXPECT_EQ(request.GetBodyOffset(), head.size());
    EXPECT_EQ(request.RequestLength(), head.size() + 5);
}

TEST(HTTPRequest, RelayModeStopsAtTheEndOfTheHeaders) {
    // No body checks: the relay only wants the URL.
    CHTTPRequest request(nullptr, false);
    const std::string head = "POST /u HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    const Outcome o = ParseAll(request, head + "5\r\nhello\r\n");
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_FALSE(o.bMore);
    EXPECT_EQ(request.RequestLength(), head.size());
    EXPECT_EQ(request.GetContentLength(), 0u);
}

// ---- URL forms and the full URL ----------------------------------------------------

struct FormCase {
    std::string line;
    std::string host;  // Host header value; "" sends none
    ULONG status = 0;
    URLForm form = URLForm::Unknown;
    std::string fullURL = {}, path = {}, query = {};
};

class URLFormTest : public testing::TestWithParam<FormCase> {};

TEST_P(URLFormTest, BuildsTheFullURL) {
    const FormCase& c = GetParam();
    CHTTPRequest request(nullptr, false);
    std::string data = c.line + "\r\n";
    if (!c.host.empty())
        data += "Host: " + c.host + "\r\n";
    const Outcome o = ParseAll(request, data + "\r\n");
    if (c.status != 0) {
        EXPECT_TRUE(FAILED(o.hr));
        EXPECT_EQ(request.ErrorStatus(), c.status);
        return;
    }
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_EQ(request.GetURLForm(), c.form);
    EXPECT_EQ(request.GetFullURL(), c.fullURL);
    EXPECT_EQ(request.GetPath(), c.path);
    EXPECT_EQ(request.GetQuery(), c.query);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, URLFormTest,
    testing::Values(
        FormCase{"GET /p?q=1 HTTP/1.1", "example.com", 0, URLForm::AbsolutePath,
                 "http://example.com/p?q=1", "/p", "q=1"},
        FormCase{"GET /p HTTP/1.0", "", 0, URLForm::AbsolutePath, "http://10.0.0.1:80/p", "/p", ""},
        FormCase{"GET /x\r\n", "", 0, URLForm::AbsolutePath, "http://10.0.0.1:80/x", "/x", ""},
        // Percent-encoding and dot segments are left as sent.
        FormCase{"GET /a%20b/../%2E/c?x=%41 HTTP/1.1", "h", 0, URLForm::AbsolutePath,
                 "http://h/a%20b/../%2E/c?x=%41", "/a%20b/../%2E/c", "x=%41"},
        FormCase{"GET //other/x HTTP/1.1", "h", 0, URLForm::AbsolutePath, "http://h//other/x",
                 "//other/x", ""},
        FormCase{"GET / HTTP/1.1", "[::1]:8080", 0, URLForm::AbsolutePath, "http://[::1]:8080/",
                 "/", ""},
        FormCase{"GET / HTTP/1.1", "[2001:db8::7]", 0, URLForm::AbsolutePath,
                 "http://[2001:db8::7]/", "/", ""},
        FormCase{"OPTIONS * HTTP/1.1", "example.com", 0, URLForm::Asterisk, "http://example.com",
                 "/", ""},
        FormCase{"OPTIONS * HTTP/1.1", "", 0, URLForm::Asterisk, "http://10.0.0.1:80", "/", ""},
        FormCase{"OPTIONS * HTTP/1.0", "example.com", 0, URLForm::Unknown, "http://10.0.0.1:80",
                 "/", ""},
        // Proxy style: the URL names the server, whatever the Host header says.
        FormCase{"GET http://other.org/x?y HTTP/1.1", "example.com", 0, URLForm::AbsoluteURI,
                 "http://other.org/x?y", "/x", "y"},
        FormCase{"GET HTTP://Other.ORG HTTP/1.1", "", 0, URLForm::AbsoluteURI, "HTTP://Other.ORG",
                 "/", ""},
        FormCase{"GET http:/x HTTP/1.1", "", 0, URLForm::Unknown, "http://10.0.0.1:80", "/", ""},
        FormCase{"GET http://allowed@blocked/ HTTP/1.1", "", 400},
        FormCase{"CONNECT example.com:443 HTTP/1.1", "example.com:443", 0, URLForm::Authority,
                 "http://example.com:443", "/", ""},
        FormCase{"CONNECT [::1]:443 HTTP/1.0", "", 0, URLForm::Authority, "http://[::1]:443", "/",
                 ""},
        FormCase{"CONNECT example.com HTTP/1.1", "", 0, URLForm::Unknown, "http://10.0.0.1:80", "/",
                 ""},
        FormCase{"GET example.com:443 HTTP/1.1", "", 0, URLForm::Unknown, "http://10.0.0.1:80", "/",
                 ""},
        FormCase{"CONNECT a@b:443 HTTP/1.1", "", 0, URLForm::Unknown, "http://10.0.0.1:80", "/",
                 ""},
        // A Host header that is not a host is refused.
        FormCase{"GET / HTTP/1.1", "a@b", 400}, FormCase{"GET / HTTP/1.1", "a/b", 400},
        FormCase{"GET / HTTP/1.1", "a b", 400}, FormCase{"GET / HTTP/1.1", "[fe80::1", 400},
        FormCase{"GET / HTTP/1.1", "h:99999", 400}, FormCase{"GET / HTTP/1.1", "h?x", 400}));

TEST(HTTPRequest, LocalRequestWithoutHostNamesTheLocalServer) {
    CHTTPRequest request(nullptr, true, 8123);
    ASSERT_EQ(ParseAll(request, "GET /about.asp HTTP/1.0\r\n\r\n", false, "").hr, S_OK);
    EXPECT_EQ(request.GetFullURL(), "http://localhost:8123/about.asp");
}

// ---- Incremental parsing, pipelining, end of stream -------------------------------

TEST(HTTPRequest, ByteByByteGivesTheSameRequestAsAllAtOnce) {
    const std::string data =
        "\r\nPOST /form.asp?a=1 HTTP/1.1\r\nHost: localhost:99\r\nX-Fold: one\r\n\t two\r\n"
        "Content-Length: 4\r\n\r\nk=v!";
    CHTTPRequest whole(nullptr, true);
    ASSERT_EQ(ParseAll(whole, data).hr, S_OK);

    CHTTPRequest pieces(nullptr, true);
    for (std::size_t n = 0; n < data.size(); ++n) {
        const Outcome o = ParseAll(pieces, std::string_view(data).substr(0, n));
        ASSERT_EQ(o.hr, S_OK) << n;
        ASSERT_TRUE(o.bMore) << n;
    }
    const Outcome o = ParseAll(pieces, data);
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_FALSE(o.bMore);
    EXPECT_EQ(pieces.GetHeaders(), whole.GetHeaders());
    EXPECT_EQ(pieces.GetFullURL(), "http://localhost:99/form.asp?a=1");
    EXPECT_EQ(Header(pieces, "X-FOLD"), "one\t two");
    EXPECT_EQ(pieces.GetBody(), "k=v!");
    EXPECT_EQ(pieces.RequestLength(), data.size());
}

TEST(HTTPRequest, PipelinedRequestsLeaveTheRestForTheNext) {
    const std::string first = "POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz";
    const std::string second = "GET /b HTTP/1.1\r\n\r\n";
    const std::string stream = first + second + "GET /c";

    CHTTPRequest one(nullptr, true);
    ASSERT_EQ(ParseAll(one, stream).hr, S_OK);
    EXPECT_EQ(one.GetBody(), "xyz");
    ASSERT_EQ(one.RequestLength(), first.size());

    CHTTPRequest two(nullptr, true);
    const std::string_view rest = std::string_view(stream).substr(one.RequestLength());
    const Outcome o = ParseAll(two, rest);
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_FALSE(o.bMore);
    EXPECT_EQ(two.GetURL(), "/b");
    EXPECT_EQ(rest.substr(two.RequestLength()), "GET /c");
}

TEST(HTTPRequest, EndOfStreamInsideARequestIs400) {
    const char* cuts[] = {"GE", "GET / HTTP/1.1\r\nHost: a", "GET / HTTP/1.1\r\nHost: a\r\n",
                          "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc"};
    for (const char* cut : cuts) {
        CHTTPRequest request(nullptr, true);
        const Outcome o = ParseAll(request, cut, true);
        EXPECT_EQ(o.hr, HTTP_E_STATUS_BAD_REQUEST) << cut;
        EXPECT_FALSE(o.bMore);
        EXPECT_EQ(request.ErrorStatus(), 400u) << cut;
    }
}

TEST(HTTPRequest, FinalStatesAnswerAgainWithoutReparsing) {
    CHTTPRequest done(nullptr, true);
    ASSERT_EQ(ParseAll(done, "GET /a HTTP/1.1\r\n\r\n").hr, S_OK);
    const Outcome again = ParseAll(done, "GET /a HTTP/1.1\r\n\r\nmore bytes");
    EXPECT_EQ(again.hr, S_OK);
    EXPECT_FALSE(again.bMore);
    EXPECT_EQ(done.ErrorStatus(), 0u);

    CHTTPRequest failed(nullptr, true);
    ASSERT_EQ(ParseAll(failed, "nope").hr, HTTP_E_STATUS_BAD_REQUEST);
    EXPECT_EQ(ParseAll(failed, "GET / HTTP/1.1\r\n\r\n").hr, HTTP_E_STATUS_BAD_REQUEST);
}

TEST(HTTPRequest, FewerBytesThanAlreadyParsedIsAnInternalError) {
    CHTTPRequest request(nullptr, true);
    ASSERT_TRUE(ParseAll(request, "GET / HTTP/1.1\r\nX: y\r\n").bMore);
    EXPECT_EQ(ParseAll(request, "GET").hr, E_INVALIDARG);
    EXPECT_EQ(request.ErrorStatus(), 500u);
    EXPECT_EQ(request.Parse("", "", false, nullptr), E_POINTER);
    EXPECT_FALSE(CHTTPRequest::SniffRequestLine("GET", nullptr));
}

// ---- Bounds ------------------------------------------------------------------------

class BoundsTest : public testing::Test {
protected:
    CHTTPRequest Make(bool bLocal) {
        CHTTPRequest request(nullptr, bLocal);
        CHTTPRequest::Limits limits;
        limits.nMaxRequestLine = 32;
        limits.nMaxHeaderLine = 24;
        limits.nMaxHeaderBytes = 64;
        limits.nMaxHeaderLines = 4;
        limits.nMaxBody = 10;
        request.SetLimits(limits);
        return request;
    }
    ULONG StatusOf(bool bLocal, const std::string& data) {
        CHTTPRequest request = Make(bLocal);
        const Outcome o = ParseAll(request, data);
        if (SUCCEEDED(o.hr))
            return o.bMore ? 1 : 0;  // 1: waits, 0: complete
        return request.ErrorStatus();
    }
};

TEST_F(BoundsTest, RequestLine) {
    const std::string atLimit = "GET /" + std::string(18, 'a') + " HTTP/1.1";  // 32 bytes
    ASSERT_EQ(atLimit.size(), 32u);
    for (bool bLocal : {true, false}) {
        EXPECT_EQ(StatusOf(bLocal, atLimit + "\r\n\r\n"), 0u);
        EXPECT_EQ(StatusOf(bLocal, "GET /" + std::string(19, 'a') + " HTTP/1.1\r\n\r\n"), 414u);
        // An endless line is refused without waiting for its end.
        EXPECT_EQ(StatusOf(bLocal, "GET /" + std::string(100000, 'a')), 414u);
        EXPECT_EQ(StatusOf(bLocal, "GET /" + std::string(26, 'a')), 1u);
    }
}

TEST_F(BoundsTest, Headers) {
    const std::string line = "GET / HTTP/1.1\r\n";
    EXPECT_EQ(StatusOf(true, line + "X: " + std::string(21, 'v') + "\r\n\r\n"), 0u);
    EXPECT_EQ(StatusOf(true, line + "X: " + std::string(22, 'v') + "\r\n\r\n"), 431u);
    EXPECT_EQ(StatusOf(true, line + "X: " + std::string(100000, 'v')), 431u);
    // Folding does not get a line past its bound.
    EXPECT_EQ(StatusOf(true, line + "X: 0123456789\r\n 0123456789\r\n\r\n"), 431u);
    EXPECT_EQ(StatusOf(true, line + "A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n"), 0u);
    EXPECT_EQ(StatusOf(true, line + "A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\nE: 5\r\n\r\n"), 431u);
    // The whole section: three lines of 20 bytes fit 64 bytes, a fourth does not.
    const std::string twenty = "X-Long: 0123456789\r\n";
    ASSERT_EQ(twenty.size(), 20u);
    EXPECT_EQ(StatusOf(true, line + twenty + twenty + twenty + "\r\n"), 0u);
    EXPECT_EQ(StatusOf(false, line + twenty + twenty + twenty + twenty + "\r\n"), 431u);
    EXPECT_EQ(StatusOf(false, line + twenty + twenty + twenty + "\r\n\r\n"), 0u);
}

TEST_F(BoundsTest, Body) {
    EXPECT_EQ(StatusOf(true, "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789"), 0u);
    EXPECT_EQ(StatusOf(true, "POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n"), 413u);
}

}  // namespace
