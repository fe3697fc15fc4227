// The ClientHello parser as a pure function of bytes: a real hello and built ones, with
// and without a server name, split and fragmented anywhere, malformed at every length
// field, too large, not a hello at all, and names that are no plausible host.
#include "passthru/TLSClientHello.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Status = CTLSClientHello::Status;

std::string FromHex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

// A TLS 1.3 hello asking for "example.test", as an OpenSSL 3.0 client sent it.
const std::string kRealHello = FromHex(
    "1603010139010001350303804428af12f695c74f683aeff76d4d016721e19d74a3871ebd0946"
    "c0e42485e920bb62524cb2eebcf6ba8543c65e22864e0a483ef1014c0975222e8fc9a71eb2c6"
    "003e130213031301c02cc030009fcca9cca8ccaac02bc02f009ec024c028006bc023c0270067"
    "c00ac0140039c009c0130033009d009c003d003c0035002f00ff010000ae00000011000f0000"
    "0c6578616d706c652e74657374000b000403000102000a00160014001d0017001e0019001801"
    "000101010201030104002300000016000000170000000d002a00280403050306030807080808"
    "09080a080b080408050806040105010601030303010302040205020602002b00090803040303"
    "03020301002d00020101003300260024001d002012c431791f345250c16358ce3e7fb975f1be"
    "367eb4e319db038cf36d23ab2d34");

std::string Byte(unsigned v) {
    return std::string(1, static_cast<char>(v));
}
std::string U16(std::size_t v) {
    return Byte((v >> 8) & 0xFF) + Byte(v & 0xFF);
}
std::string U24(std::size_t v) {
    return Byte((v >> 16) & 0xFF) + U16(v & 0xFFFF);
}
std::string V8(const std::string& s) {
    return Byte(static_cast<unsigned>(s.size())) + s;
}
std::string V16(const std::string& s) {
    return U16(s.size()) + s;
}
std::string Ext(unsigned type, const std::string& data) {
    return U16(type) + V16(data);
}
std::string Sni(const std::string& name) {
    return Ext(0, V16(Byte(0) + V16(name)));
}
std::string Extensions(std::initializer_list<std::string> extensions) {
    std::string block;
    for (const std::string& e : extensions)
        block += e;
    return V16(block);
}
// A hello body up to the session id; the rest is the case's.
std::string Prefix(const std::string& sessionId = std::string(32, '\x11')) {
    return "\x03\x03"s + std::string(32, '\x5a') + V8(sessionId);
}
// A well-formed body whose extension block (length included) is `extensions`.
std::string Body(const std::string& extensions) {
    return Prefix() + V16("\x13\x01\x13\x02"s) + V8("\x00"s) + extensions;
}
std::string Handshake(const std::string& body, unsigned type = 1) {
    return Byte(type) + U24(body.size()) + body;
}
std::string Record(const std::string& payload, unsigned type = 22, unsigned version = 0x0301) {
    return Byte(type) + U16(version) + U16(payload.size()) + payload;
}
// The handshake bytes in records that break before each of `cuts` (ascending).
std::string Records(const std::string& handshake, std::vector<std::size_t> cuts) {
    std::string out;
    std::size_t from = 0;
    cuts.push_back(handshake.size());
    for (std::size_t cut : cuts) {
        out += Record(handshake.substr(from, cut - from));
        from = cut;
    }
    return out;
}
std::string OneRecord(const std::string& body) {
    return Record(Handshake(body));
}

struct HelloCase {
    const char* name;
    std::string bytes;
    Status status;
    std::string serverName;
    bool nameRejected;
};

class HelloTest : public testing::TestWithParam<HelloCase> {};

TEST_P(HelloTest, Answer) {
    const HelloCase& c = GetParam();
    const CTLSClientHello::Result r = CTLSClientHello::Parse(c.bytes);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.serverName, c.serverName);
    EXPECT_EQ(r.nameRejected, c.nameRejected);
    if (r.status == Status::Complete) {
        EXPECT_EQ(r.length, c.bytes.size());
    }
}

const std::string kHello = Handshake(Body(Extensions({Sni("example.test")})));

INSTANTIATE_TEST_SUITE_P(
    Hellos, HelloTest,
    testing::Values(
        // Complete, with or without a name.
        HelloCase{"Real", kRealHello, Status::Complete, "example.test", false},
        HelloCase{"NoExtensions", OneRecord(Body("")), Status::Complete, "", false},
        HelloCase{"EmptyExtensionBlock", OneRecord(Body(U16(0))), Status::Complete, "", false},
        HelloCase{"NoServerName", OneRecord(Body(Extensions({Ext(10, "\x00\x02\x00\x1d"s)}))),
                  Status::Complete, "", false},
        HelloCase{"NameAfterOtherExtensions",
                  OneRecord(Body(Extensions({Ext(10, "\x00\x02\x00\x1d"s), Ext(23, ""),
                                             Sni("a.example.test")}))),
                  Status::Complete, "a.example.test", false},
        HelloCase{"UnknownNameTypeSteppedOver",
                  OneRecord(Body(Extensions({Ext(0, V16(Byte(7) + V16("opaque") + Byte(0) +
                                                        V16("b.example")))}))),
                  Status::Complete, "b.example", false},
        HelloCase{"UpperCaseLowered", OneRecord(Body(Extensions({Sni("WWW.Example.TEST")}))),
                  Status::Complete, "www.example.test", false},
        HelloCase{"SSL3Record", Record(Handshake(Body("")), 22, 0x0300), Status::Complete, "",
                  false},
        HelloCase{"TwoRecords", Records(kHello, {50}), Status::Complete, "example.test", false},
        HelloCase{"ThreeRecordsSplittingHeaderAndName", Records(kHello, {2, kHello.size() - 5}),
                  Status::Complete, "example.test", false},
        // The hello is sound, the name is not a host: no name, and it says so.
        HelloCase{"NulInName", OneRecord(Body(Extensions({Sni("allowed.test\0.other.test"s)}))),
                  Status::Complete, "", true},
        HelloCase{"NonAsciiName",
                  OneRecord(Body(Extensions({Sni("b\xC3\xBC"
                                                 "cher.test")}))),
                  Status::Complete, "", true},
        HelloCase{"SpaceInName", OneRecord(Body(Extensions({Sni("a b.test")}))), Status::Complete,
                  "", true},
        // Lengths that do not fit their containers.
        HelloCase{"SessionIdTooLong",
                  OneRecord(Prefix(std::string(33, 'x')) + V16("\x13\x01"s) + V8("\x00"s)),
                  Status::Unparsable, "", false},
        HelloCase{"CipherSuitesPastBody", OneRecord(Prefix() + U16(200) + "\x13\x01\x01\x00"s),
                  Status::Unparsable, "", false},
        HelloCase{"OddCipherSuites", OneRecord(Prefix() + V16("\x13"s) + V8("\x00"s)),
                  Status::Unparsable, "", false},
        HelloCase{"NoCompressionMethod", OneRecord(Prefix() + V16("\x13\x01"s) + V8("")),
                  Status::Unparsable, "", false},
        HelloCase{"ExtensionsPastBody", OneRecord(Body(U16(50) + Sni("example.test"))),
                  Status::Unparsable, "", false},
        HelloCase{"BytesAfterExtensions", OneRecord(Body(Extensions({Sni("a.test")}) + "\x00"s)),
                  Status::Unparsable, "", false},
        HelloCase{"ExtensionPastBlock", OneRecord(Body(V16(U16(0) + U16(40) + "abc"))),
                  Status::Unparsable, "", false},
        HelloCase{"NameListPastExtension",
                  OneRecord(Body(Extensions({Ext(0, U16(20) + Byte(0) + V16("a.test"))}))),
                  Status::Unparsable, "", false},
        HelloCase{"NamePastList",
                  OneRecord(Body(Extensions({Ext(0, V16(Byte(0) + U16(30) + "a.test"))}))),
                  Status::Unparsable, "", false},
        HelloCase{"EmptyName", OneRecord(Body(Extensions({Ext(0, V16(Byte(0) + U16(0)))}))),
                  Status::Unparsable, "", false},
        HelloCase{"EmptyNameList", OneRecord(Body(Extensions({Ext(0, U16(0))}))),
                  Status::Unparsable, "", false},
        HelloCase{"TwoServerNameExtensions",
                  OneRecord(Body(Extensions({Sni("a.test"), Sni("b.test")}))), Status::Unparsable,
                  "", false},
        HelloCase{"TwoHostNames",
                  OneRecord(Body(Extensions({Ext(0, V16(Byte(0) + V16("a.test") + Byte(0) +
                                                        V16("b.test")))}))),
                  Status::Unparsable, "", false},
        HelloCase{"HelloShorterThanItsFields", OneRecord("\x03\x03\x01\x02"s), Status::Unparsable,
                  "", false},
        HelloCase{"HelloVersionNot3", OneRecord("\x02\x00"s + Body("").substr(2)),
                  Status::Unparsable, "", false},
        // Not a hello, or not in handshake records.
        HelloCase{"ApplicationData", Record(kHello, 23), Status::Unparsable, "", false},
        HelloCase{"ChangeCipherSpecFirst", Record("\x01"s, 20) + Record(kHello), Status::Unparsable,
                  "", false},
        HelloCase{
            "AlertBetweenFragments",
            Record(kHello.substr(0, 10)) + Record("\x02\x28"s, 21) + Record(kHello.substr(10)),
            Status::Unparsable, "", false},
        HelloCase{"ServerHello", Record(Handshake(Body(""), 2)), Status::Unparsable, "", false},
        HelloCase{"RecordVersion34", Record(kHello, 22, 0x0304), Status::Unparsable, "", false},
        HelloCase{"RecordVersion2", Record(kHello, 22, 0x0201), Status::Unparsable, "", false},
        HelloCase{"EmptyRecord", Record("") + Record(kHello), Status::Unparsable, "", false},
        HelloCase{"RecordOver16KiB", "\x16\x03\x01\x40\x01\x01\x00\x00\x10"s, Status::Unparsable,
                  "", false},
        HelloCase{"SSL2FormatHello", "\x80\x2e\x01\x03\x01\x00\x15\x00\x00\x00\x10"s,
                  Status::Unparsable, "", false},
        HelloCase{"HTTPRequest", "GET / HTTP/1.1\r\n"s, Status::Unparsable, "", false},
        // Decided by the first byte that cannot belong to a hello, whatever follows.
        HelloCase{"WrongFirstByteAlone", "G"s, Status::Unparsable, "", false},
        HelloCase{"WrongHandshakeTypeAlone", "\x16\x03\x01\x00\x40\x02"s, Status::Unparsable, "",
                  false},
        HelloCase{"DeclaredPastTheBound", "\x16\x03\x01\x00\x40\x01\x01\x00\x00"s,
                  Status::Unparsable, "", false}),
    [](const testing::TestParamInfo<HelloCase>& info) { return info.param.name; });

// Every prefix of a hello waits for more, and says no more than the hello's true length;
// the whole hello answers, and bytes after it change nothing.
void ExpectPrefixesWait(const std::string& hello, bool exactAfterHeaders) {
    for (std::size_t n = 0; n < hello.size(); ++n) {
        const auto r = CTLSClientHello::Parse(std::string_view(hello).substr(0, n));
        ASSERT_EQ(r.status, Status::MoreRequired) << n;
        EXPECT_GT(r.length, n) << n;
        EXPECT_LE(r.length, hello.size()) << n;
        // Once the record and handshake headers are in, a one-record hello's length is known.
        if (exactAfterHeaders && n >= 9) {
            EXPECT_EQ(r.length, hello.size()) << n;
        }
        EXPECT_TRUE(r.serverName.empty());
    }
    const auto whole = CTLSClientHello::Parse(hello);
    ASSERT_EQ(whole.status, Status::Complete);
    EXPECT_EQ(whole.length, hello.size());
    const auto followed = CTLSClientHello::Parse(hello + Record("early data", 23, 0x0303));
    EXPECT_EQ(followed.status, Status::Complete);
    EXPECT_EQ(followed.serverName, whole.serverName);
    EXPECT_EQ(followed.length, hello.size());
}

TEST(TLSClientHelloTest, EveryPrefixWaitsForTheRest) {
    ExpectPrefixesWait(kRealHello, true);
    EXPECT_EQ(CTLSClientHello::Parse("").length, 9u);
    ExpectPrefixesWait(Records(kHello, {3, 40, 41}), false);
}

TEST(TLSClientHelloTest, FragmentedAtEveryPositionGivesTheSameName) {
    const std::string hello = kRealHello.substr(5);  // the handshake message alone
    for (std::size_t cut = 1; cut < hello.size(); ++cut) {
        const std::string bytes = Records(hello, {cut});
        const auto r = CTLSClientHello::Parse(bytes);
        ASSERT_EQ(r.status, Status::Complete) << cut;
        EXPECT_EQ(r.serverName, "example.test") << cut;
        EXPECT_EQ(r.length, bytes.size()) << cut;
    }
    // Three records, both cuts anywhere in a smaller hello.
    for (std::size_t first = 1; first < kHello.size(); ++first) {
        for (std::size_t second = first + 1; second < kHello.size(); ++second) {
            const auto r = CTLSClientHello::Parse(Records(kHello, {first, second}));
            ASSERT_EQ(r.status, Status::Complete) << first << " " << second;
            ASSERT_EQ(r.serverName, "example.test") << first << " " << second;
        }
    }
}

// A padding extension (type 21) that makes the handshake message `size` bytes long.
std::string HelloOfSize(std::size_t size) {
    const std::string small = Handshake(Body(Extensions({Sni("big.test"), Ext(21, "")})));
    return Handshake(
        Body(Extensions({Sni("big.test"), Ext(21, std::string(size - small.size(), '\0'))})));
}

std::string InFullRecords(const std::string& hello) {
    std::vector<std::size_t> cuts;
    for (std::size_t cut = 16384; cut < hello.size(); cut += 16384)
        cuts.push_back(cut);
    return Records(hello, cuts);
}

TEST(TLSClientHelloTest, GivesUpBeyondTheBound) {
    // Large, but within the bound: read across four records.
    const std::string large = InFullRecords(HelloOfSize(60000));
    ASSERT_LT(large.size(), CTLSClientHello::kMaxHelloBytes);
    const auto fits = CTLSClientHello::Parse(large);
    EXPECT_EQ(fits.status, Status::Complete);
    EXPECT_EQ(fits.serverName, "big.test");

    // Past it: refused as soon as the first record declares the size, never waited on.
    const std::string huge = InFullRecords(HelloOfSize(CTLSClientHello::kMaxHelloBytes));
    EXPECT_EQ(CTLSClientHello::Parse(huge).status, Status::Unparsable);
    EXPECT_EQ(CTLSClientHello::Parse(huge.substr(0, 9)).status, Status::Unparsable);

    // A small hello in one-byte records: the record headers alone pass the bound.
    const std::string hello = HelloOfSize(12000);
    std::vector<std::size_t> cuts;
    for (std::size_t cut = 1; cut < hello.size(); ++cut)
        cuts.push_back(cut);
    const std::string dribbled = Records(hello, cuts);
    ASSERT_GT(dribbled.size(), CTLSClientHello::kMaxHelloBytes);
    EXPECT_EQ(CTLSClientHello::Parse(dribbled).status, Status::Unparsable);
}

// Three labels of 63 bytes and one of `last` bytes: 192 + last bytes in all.
std::string Labels(std::size_t last) {
    const std::string label(63, 'a');
    return label + "." + label + "." + label + "." + std::string(last, 'b');
}

TEST(TLSClientHelloTest, HostNameRules) {
    struct Case {
        std::string name;
        std::string expected;
    };
    const Case cases[] = {
        {"example.test", "example.test"},
        {"Example.TEST", "example.test"},
        {"a-b_c.x1", "a-b_c.x1"},
        {"localhost", "localhost"},
        {std::string(63, 'a') + ".test", std::string(63, 'a') + ".test"},
        {std::string(64, 'a') + ".test", ""},
        {Labels(61), Labels(61)},  // 253 bytes
        {Labels(62), ""},
        {"", ""},
        {".", ""},
        {"example.test.", ""},
        {".example.test", ""},
        {"a..b", ""},
        {"a\0b"s, ""},
        {"a b", ""},
        {"a/b", ""},
        {"a:443", ""},
        {"\xC3\xA9.test", ""},
        {"\xCF\x80.test", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CTLSClientHello::NormaliseHostName(c.name), c.expected) << c.name;
}

}  // namespace
