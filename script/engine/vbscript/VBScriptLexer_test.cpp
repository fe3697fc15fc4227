// Tests of the VBScript lexer: token kinds, literal typing and positions.
#include "script/engine/vbscript/VBScriptLexer.h"

#include <gtest/gtest.h>

#include <vector>

#include "com/Strings.h"
#include "script/engine/vbscript/VBScriptCompileError.h"

namespace {

std::vector<VBScriptToken> Lex(std::u16string_view text) {
    CVBScriptLexer lexer(text);
    std::vector<VBScriptToken> tokens;
    for (;;) {
        VBScriptToken token;
        lexer.Next(token);
        tokens.push_back(token);
        if (token.kind == VBSToken::End || token.kind == VBSToken::Error) {
            return tokens;
        }
    }
}

struct NumberCase {
    const char16_t* text;
    VBSToken kind;
    std::int32_t lValue;
    double dblValue;
};

TEST(VBScriptLexerTest, TypesNumericLiteralsAsTheLanguageDoes) {
    const NumberCase cases[] = {
        {u"0", VBSToken::Integer, 0, 0},
        {u"32767", VBSToken::Integer, 32767, 0},
        {u"32768", VBSToken::Long, 32768, 0},
        {u"2147483647", VBSToken::Long, 2147483647, 0},
        {u"2147483648", VBSToken::Double, 0, 2147483648.0},
        {u"1.5", VBSToken::Double, 0, 1.5},
        {u".25", VBSToken::Double, 0, 0.25},
        {u"1e3", VBSToken::Double, 0, 1000},
        {u"2.5E-2", VBSToken::Double, 0, 0.025},
        {u"1e-400", VBSToken::Double, 0, 0},
        {u"&HFF", VBSToken::Integer, 255, 0},
        {u"&hFFFF", VBSToken::Integer, -1, 0},
        {u"&H8000", VBSToken::Integer, -32768, 0},
        {u"&H10000", VBSToken::Long, 65536, 0},
        {u"&HFFFFFFFF", VBSToken::Long, -1, 0},
        {u"&O17", VBSToken::Integer, 15, 0},
        {u"&17", VBSToken::Integer, 15, 0},
        {u"&O777777", VBSToken::Long, 262143, 0},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.text));
        const auto tokens = Lex(c.text);
        ASSERT_EQ(tokens.size(), 2u);
        EXPECT_EQ(tokens[0].kind, c.kind);
        if (c.kind == VBSToken::Double) {
            EXPECT_DOUBLE_EQ(tokens[0].dblValue, c.dblValue);
        } else {
            EXPECT_EQ(tokens[0].lValue, c.lValue);
        }
    }
}

TEST(VBScriptLexerTest, ReportsMalformedTokensWithTheirNumberAndPlace) {
    struct Case {
        const char16_t* text;
        LONG lError;
        ULONG ulCharacter;
    };
    const Case cases[] = {
        {u"x = \"abc", VBSE_UNTERMINATED_STRING, 4},
        {u"x = \"ab\ncd\"", VBSE_UNTERMINATED_STRING, 4},
        {u"x = &HFFFFFFFFF", VBSE_INVALID_NUMBER, 4},
        {u"x = &H", VBSE_INVALID_NUMBER, 4},
        {u"x = &O8", VBSE_INVALID_NUMBER, 4},
        {u"x = 1e999", VBSE_INVALID_NUMBER, 4},
        {u"x = 1 $ 2", VBSE_INVALID_CHARACTER, 6},
        {u"x = [abc", VBSE_EXPECTED_RBRACKET, 4},
        {u"x = #1/2/2003", VBSE_INVALID_CHARACTER, 4},
        {u"x = _ y", VBSE_INVALID_CHARACTER, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.text));
        const auto tokens = Lex(c.text);
        EXPECT_EQ(tokens.back().kind, VBSToken::Error);
        EXPECT_EQ(tokens.back().lError, c.lError);
        EXPECT_EQ(tokens.back().ulCharacter, c.ulCharacter);
    }
    const std::u16string longName(256, u'a');
    EXPECT_EQ(Lex(longName).back().lError, VBSE_IDENTIFIER_TOO_LONG);
    EXPECT_EQ(Lex(std::u16string(255, u'a'))[0].kind, VBSToken::Identifier);
}

TEST(VBScriptLexerTest, KeywordsIgnoreCaseAndBracketsMakeIdentifiers) {
    const auto tokens = Lex(u"eLSEiF [End] [my var] Rem comment\nx");
    ASSERT_EQ(tokens.size(), 6u);
    EXPECT_EQ(tokens[0].kind, VBSToken::ElseIf);
    EXPECT_EQ(tokens[1].kind, VBSToken::Identifier);
    EXPECT_EQ(tokens[1].str, u"End");
    EXPECT_TRUE(tokens[1].bBracketed);
    EXPECT_EQ(tokens[2].str, u"my var");
    EXPECT_EQ(tokens[3].kind, VBSToken::Newline);
    EXPECT_EQ(tokens[4].kind, VBSToken::Identifier);
    EXPECT_EQ(tokens[4].str, u"x");
    // "Remark" is a name, not a comment.
    EXPECT_EQ(Lex(u"Remark")[0].kind, VBSToken::Identifier);
}

TEST(VBScriptLexerTest, StringsDatesAndOperators) {
    const auto tokens = Lex(u"\"a\"\"b\" #1/2/2003# <> <= >= & \\ ^ :");
    ASSERT_EQ(tokens.size(), 10u);
    EXPECT_EQ(tokens[0].kind, VBSToken::String);
    EXPECT_EQ(tokens[0].str, u"a\"b");
    EXPECT_EQ(tokens[1].kind, VBSToken::Date);
    EXPECT_EQ(tokens[1].str, u"1/2/2003");
    EXPECT_EQ(tokens[2].kind, VBSToken::NotEqual);
    EXPECT_EQ(tokens[3].kind, VBSToken::LessEqual);
    EXPECT_EQ(tokens[4].kind, VBSToken::GreaterEqual);
    EXPECT_EQ(tokens[5].kind, VBSToken::Ampersand);
    EXPECT_EQ(tokens[6].kind, VBSToken::Backslash);
    EXPECT_EQ(tokens[7].kind, VBSToken::Caret);
    EXPECT_EQ(tokens[8].kind, VBSToken::Colon);
}

// After an operand "&" joins strings, so "a &H1" does not swallow a hex literal and
// "s &1" is s & 1.
TEST(VBScriptLexerTest, AmpersandAfterAnOperandIsConcatenation) {
    const auto tokens = Lex(u"s &1 & &H10");
    ASSERT_EQ(tokens.size(), 6u);
    EXPECT_EQ(tokens[1].kind, VBSToken::Ampersand);
    EXPECT_EQ(tokens[2].kind, VBSToken::Integer);
    EXPECT_EQ(tokens[2].lValue, 1);
    EXPECT_EQ(tokens[3].kind, VBSToken::Ampersand);
    EXPECT_EQ(tokens[4].kind, VBSToken::Integer);
    EXPECT_EQ(tokens[4].lValue, 16);
}

// A statement's first argument may be a hex literal: "Print &H10", while "s &Hex(1)"
// stays a concatenation.
TEST(VBScriptLexerTest, HexLiteralAsFirstArgumentOfACall) {
    auto tokens = Lex(u"Print &H10&");
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[1].kind, VBSToken::Long);
    EXPECT_EQ(tokens[1].lValue, 16);
    tokens = Lex(u"s &Hex(1)");
    ASSERT_GE(tokens.size(), 3u);
    EXPECT_EQ(tokens[1].kind, VBSToken::Ampersand);
    EXPECT_EQ(tokens[2].kind, VBSToken::Identifier);
}

TEST(VBScriptLexerTest, PositionsCountLinesAndCharactersAcrossContinuations) {
    const auto tokens = Lex(u"a = 1 + _\r\n    b\r\n\tc");
    // a = 1 + b Newline c End
    ASSERT_EQ(tokens.size(), 8u);
    EXPECT_EQ(tokens[4].str, u"b");
    EXPECT_EQ(tokens[4].ulLine, 1u);
    EXPECT_EQ(tokens[4].ulCharacter, 4u);
    EXPECT_EQ(tokens[4].ulOffset, 15u);
    EXPECT_EQ(tokens[5].kind, VBSToken::Newline);
    EXPECT_EQ(tokens[6].str, u"c");
    EXPECT_EQ(tokens[6].ulLine, 2u);
    EXPECT_EQ(tokens[6].ulCharacter, 1u);
    // A lone CR and a lone LF each end a line.
    const auto mixed = Lex(u"a\rb\nc");
    EXPECT_EQ(mixed[4].ulLine, 2u);
}

}  // namespace
