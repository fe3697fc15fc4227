// The store's text format: exact output, round trips of every type, reading what
// people and other tools write, and bad lines reported by number.
#include "registry/RegistryFormat.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane";

CRegistryTree ParseOk(std::string_view text) {
    CRegistryTree tree;
    CRegistryParseError error;
    EXPECT_EQ(CRegistryFormat::Parse(text, &tree, &error), S_OK)
        << "line " << error.line << ": " << error.reason;
    return tree;
}

}  // namespace

TEST(RegistryFormat, WritesTheExportSyntax) {
    CRegistryTree tree;
    ASSERT_EQ(tree.SetValue(kKey, "", CRegistryValue::FromString("C:\\dir \"q\"")), S_OK);
    ASSERT_EQ(tree.SetValue(kKey, "Debugging", CRegistryValue::FromDword(5)), S_OK);
    ASSERT_EQ(tree.SetValue(kKey, "Big", CRegistryValue::FromQword(0x1122334455667788ull)), S_OK);
    ASSERT_EQ(tree.SetValue(kKey, "Blob", CRegistryValue::FromBinary({0x00, 0xAB, 0xFF})), S_OK);
    ASSERT_EQ(tree.SetValue(kKey, "Path", CRegistryValue::FromExpandString("%A%")), S_OK);
    ASSERT_EQ(tree.SetValue(kKey, "List", CRegistryValue::FromMultiString({"a", "b"})), S_OK);
    ASSERT_EQ(tree.SetValue(kKey, "Say \"hi\"\\", CRegistryValue(0x12345, {7})), S_OK);
    ASSERT_EQ(tree.CreateKey("HKCU\\Empty"), S_OK);

    EXPECT_EQ(CRegistryFormat::Serialize(tree),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_CURRENT_USER\\Empty]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\n"
              "@=\"C:\\\\dir \\\"q\\\"\"\n"
              "\"Big\"=hex(b):88,77,66,55,44,33,22,11\n"
              "\"Blob\"=hex:00,ab,ff\n"
              "\"Debugging\"=dword:00000005\n"
              "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
              "\"Path\"=hex(2):25,00,41,00,25,00,00,00\n"
              "\"Say \\\"hi\\\"\\\\\"=hex(12345):07\n"
              "\n");
}

TEST(RegistryFormat, EveryValueRoundTrips) {
    std::vector<BYTE> longBlob(300);
    for (std::size_t i = 0; i < longBlob.size(); ++i)
        longBlob[i] = static_cast<BYTE>(i * 7);
    const CRegistryValue values[] = {
        CRegistryValue::FromString(""),
        CRegistryValue::FromString("back\\slash \"quoted\" caf\u00e9 \U0001F600 [x] ; @="),
        CRegistryValue::FromString("two\nlines\r"),  // not quotable: written as hex(1)
        CRegistryValue(REG_SZ, {'x', 0}),            // no terminator
        CRegistryValue(REG_SZ, {0x00, 0xD8, 0, 0}),  // a lone surrogate
        CRegistryValue(REG_SZ, {'a'}),               // odd length
        CRegistryValue::FromString(std::string("nul\0inside", 10)),
        CRegistryValue::FromExpandString("%SystemRoot%\\x"),
        CRegistryValue::FromMultiString({"one", "two", "\u00e9"}),
        CRegistryValue::FromDword(0),
        CRegistryValue::FromDword(0xFFFFFFFF),
        CRegistryValue(REG_DWORD, {1, 2, 3}),  // a DWORD of the wrong size stays as it is
        CRegistryValue::FromQword(~0ull),
        CRegistryValue::FromBinary({}),
        CRegistryValue::FromBinary(longBlob),
        CRegistryValue(),
        CRegistryValue(REG_DWORD_BIG_ENDIAN, {0, 0, 0, 5}),
        CRegistryValue(0xFFFFFFFF, longBlob),
    };
    CRegistryTree tree;
    int n = 0;
    for (const CRegistryValue& value : values) {
        ASSERT_EQ(tree.SetValue(kKey, "v" + std::to_string(n++), value), S_OK);
    }
    ASSERT_EQ(tree.SetValue("HKU\\S-1-22-1-1000\\Software\\Corvane", "\\\"", values[1]), S_OK);
    ASSERT_EQ(tree.SetValue("HKEY_CLASSES_ROOT", "", values[1]), S_OK);  // a root's own value
    ASSERT_EQ(tree.CreateKey("HKCC\\]weird[ key]"), S_OK);

    const std::string text = CRegistryFormat::Serialize(tree);
    EXPECT_EQ(ParseOk(text), tree) << text;
    EXPECT_NE(text.find("\"v2\"=hex(1):"), std::string::npos);
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != text.npos; start = end + 1) {
        EXPECT_LE(end - start, 80u) << "long lines wrap";
    }
}

TEST(RegistryFormat, ReadsWhatOtherWritersProduce) {
    const CRegistryTree tree = ParseOk(
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; a comment\r\n"
        "  ; an indented comment\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]   \r\n"
        "@=\"default\"\r\n"
        "\"Logging\" = \"/var/log/corvane.log\"\r\n"
        "\"Debugging\"=DWORD:1\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  03,\\\r\n"
        "\t0A , FF\r\n"
        "\"Empty\"=hex(3):\r\n"
        "\"\"=\"the default again\"\r\n"
        "[HKEY_LOCAL_MACHINE\\software\\CORVANE\\Sub]\r\n"
        "\"x\"=dword:00000002");  // no line end at the end
    CRegistryValue value;
    std::string text;
    ASSERT_EQ(tree.GetValue(kKey, "", &value), S_OK);
    ASSERT_EQ(value.GetString(&text), S_OK);
    EXPECT_EQ(text, "the default again");  // a later value of the same name replaces it
    ASSERT_EQ(tree.GetValue(kKey, "logging", &value), S_OK);
    EXPECT_EQ(value, CRegistryValue::FromString("/var/log/corvane.log"));
    ASSERT_EQ(tree.GetValue(kKey, "Debugging", &value), S_OK);
    EXPECT_EQ(value, CRegistryValue::FromDword(1));
    ASSERT_EQ(tree.GetValue(kKey, "Blob", &value), S_OK);
    EXPECT_EQ(value, CRegistryValue::FromBinary({1, 2, 3, 10, 255}));
    ASSERT_EQ(tree.GetValue(kKey, "Empty", &value), S_OK);
    EXPECT_EQ(value, CRegistryValue::FromBinary({}));
    ASSERT_EQ(tree.GetValue("HKLM\\SOFTWARE\\Corvane\\Sub", "X", &value), S_OK);
    EXPECT_EQ(value, CRegistryValue::FromDword(2));

    EXPECT_EQ(ParseOk(""), CRegistryTree());
    EXPECT_EQ(ParseOk("Windows Registry Editor Version 5.00\n"), CRegistryTree());
}

TEST(RegistryFormat, BadLinesAreReportedByNumber) {
    const std::string h = "Windows Registry Editor Version 5.00\n";
    const std::string k = h + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\n";
    struct Case {
        std::string text;
        unsigned line;
    } cases[] = {
        {"REGEDIT4\n", 1},
        {"\xEF\xBB\xBF" + h, 1},
        {"Windows Registry Editor Version 5.00 \n", 1},
        {h + "\n\"a\"=\"b\"\n", 3},  // a value before any key
        {h + "[HKEY_NOWHERE\\x]\n", 2},
        {h + "[SOFTWARE\\Corvane]\n", 2},
        {h + "[HKEY_LOCAL_MACHINE\\a\\\\b]\n", 2},
        {h + "[HKEY_LOCAL_MACHINE\\a\n", 2},
        {h + "[HKEY_LOCAL_MACHINE\\tab\there]\n", 2},
        {h + "[-HKEY_LOCAL_MACHINE\\a]\n", 2},
        {k + "\"a\"=\"C:\\path\"\n", 3},  // only \\ and \" are escapes
        {k + "\"a\"=\"open\n", 3},
        {k + "\"a=\"b\"\n", 3},
        {k + "\"a\"=\"b\" trailing\n", 3},
        {k + "\"a\" \"b\"\n", 3},
        {k + "\"a\"=-\n", 3},
        {k + "\"a\"=\n", 3},
        {k + "\"a\"=qword:1\n", 3},
        {k + "\"a\"=dword:123456789\n", 3},
        {k + "\"a\"=dword:xyz\n", 3},
        {k + "\"a\"=dword:\n", 3},
        {k + "\"a\"=hex:01,zz\n", 3},
        {k + "\"a\"=hex:123\n", 3},
        {k + "\"a\"=hex:01,,02\n", 3},
        {k + "\"a\"=hex:01,\n", 3},
        {k + "\"a\"=hex(123456789):00\n", 3},
        {k + "\"a\"=hex(x):00\n", 3},
        {k + "\"a\"=hex(7:00\n", 3},
        {k + "\"a\"=hex:01,\\\n  02,03,\\\n  0g\n", 5},
        {k + "\"a\"=hex:01,\\\n", 3},
        {k + "garbage\n", 3},
        {k + "\"bad \xC3\"=\"x\"\n", 3},
        {k + "\"a\"=\"x\ry\"\n", 3},
        {k + "\"a\"=\"x\"\n" + std::string("\"b\"=\"y\0\"\n", 9), 4},
    };
    for (const Case& c : cases) {
        CRegistryTree tree;
        CRegistryParseError error;
        EXPECT_EQ(CRegistryFormat::Parse(c.text, &tree, &error), HRESULT_FROM_WIN32(ERROR_BADDB))
            << c.text;
        EXPECT_EQ(error.line, c.line) << c.text << "\n" << error.reason;
        EXPECT_FALSE(error.reason.empty());
    }
}
