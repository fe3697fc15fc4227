// Tests of the VBScript parser's compilation errors: number, line and character for
// each rule, and the error record's texts.
#include <gtest/gtest.h>

#include "com/Strings.h"
#include "script/engine/vbscript/VBScriptParser.h"

namespace {

struct ErrorCase {
    const char* source;  // UTF-8
    LONG lNumber;
    ULONG ulLine;
    ULONG ulCharacter;
};

TEST(VBScriptParserErrorTest, ReportsNumberLineAndCharacter) {
    const ErrorCase cases[] = {
        {"Sub A\nSub B\nEnd Sub\nEnd Sub", VBSE_SYNTAX_ERROR, 1, 0},
        {"On Error GoTo 1", VBSE_SYNTAX_ERROR, 0, 14},
        {"On Error Resume", VBSE_EXPECTED_NEXT, 0, 15},
        {"If a Then\n Class C\n End Class\nEnd If", VBSE_SYNTAX_ERROR, 1, 1},
        {"ReDim a", VBSE_EXPECTED_LPAREN, 0, 7},
        {"x = (1 + 2", VBSE_EXPECTED_RPAREN, 0, 10},
        {"Sub S(a\nEnd Sub", VBSE_EXPECTED_RPAREN, 0, 7},
        {"x = [abc", VBSE_EXPECTED_RBRACKET, 0, 4},
        {"Dim 5", VBSE_EXPECTED_IDENTIFIER, 0, 4},
        {"Call 5", VBSE_EXPECTED_IDENTIFIER, 0, 5},
        {"x = a.", VBSE_EXPECTED_IDENTIFIER, 0, 6},
        {"Set x = New 5", VBSE_EXPECTED_IDENTIFIER, 0, 12},
        {"For i 1 To 2\nNext", VBSE_EXPECTED_EQUAL, 0, 6},
        {"Set x 5", VBSE_EXPECTED_EQUAL, 0, 6},
        {"Const c 5", VBSE_EXPECTED_EQUAL, 0, 8},
        {"If a Then\nx\nEnd Sub", VBSE_EXPECTED_IF, 2, 4},
        {"For i = 1 2\nNext", VBSE_EXPECTED_TO, 0, 10},
        {"If a Then\nx", VBSE_EXPECTED_END, 1, 1},
        {"If a Then\nx\nElse\nElse\nEnd If", VBSE_EXPECTED_END, 3, 0},
        {"Select Case x\nCase Else\nCase 1\nEnd Select", VBSE_EXPECTED_END, 2, 0},
        {"Function F\nEnd Sub", VBSE_EXPECTED_FUNCTION, 1, 4},
        {"Sub S\nEnd Function", VBSE_EXPECTED_SUB, 1, 4},
        {"If a\n", VBSE_EXPECTED_THEN, 0, 4},
        {"If a Then\nElseIf b\nEnd If", VBSE_EXPECTED_THEN, 1, 8},
        {"While a\n", VBSE_EXPECTED_WEND, 1, 0},
        {"Do\n", VBSE_EXPECTED_LOOP, 1, 0},
        {"For i = 1 To 2\n", VBSE_EXPECTED_NEXT, 1, 0},
        {"For i = 1 To 2\nx\nEnd Sub", VBSE_EXPECTED_NEXT, 2, 0},
        {"Select x", VBSE_EXPECTED_CASE, 0, 7},
        {"Select Case x\n a\nEnd Select", VBSE_EXPECTED_CASE, 1, 1},
        {"Select Case x\nEnd If", VBSE_EXPECTED_SELECT, 1, 4},
        {"x = 1 +", VBSE_EXPECTED_EXPRESSION, 0, 7},
        {"x = ", VBSE_EXPECTED_EXPRESSION, 0, 4},
        {"foo(, )", VBSE_NO_PARENS_CALLING_SUB, 0, 3},
        {"foo(,)", VBSE_NO_PARENS_CALLING_SUB, 0, 3},
        {"5", VBSE_EXPECTED_STATEMENT, 0, 0},
        {"End If", VBSE_EXPECTED_STATEMENT, 0, 0},
        {"x = 1\nOption Explicit", VBSE_EXPECTED_STATEMENT, 1, 0},
        {"If a Then For i = 1 To 2", VBSE_EXPECTED_STATEMENT, 0, 10},
        {"Class C\nx = 1\nEnd Class", VBSE_EXPECTED_STATEMENT, 1, 0},
        {"x = 1 2", VBSE_EXPECTED_END_OF_STATEMENT, 0, 6},
        {"For i = 1 To 2\nNext i", VBSE_EXPECTED_END_OF_STATEMENT, 1, 5},
        {"Do While a\nLoop Until b", VBSE_EXPECTED_END_OF_STATEMENT, 1, 5},
        {"foo(a, b) c", VBSE_EXPECTED_END_OF_STATEMENT, 0, 10},
        {"Call foo a", VBSE_EXPECTED_END_OF_STATEMENT, 0, 9},
        {"If a Then b Else c Else d", VBSE_EXPECTED_END_OF_STATEMENT, 0, 19},
        // Select Case takes plain expressions: neither ranges nor "Is" comparisons.
        {"Select Case x\nCase 1 To 5\nEnd Select", VBSE_EXPECTED_END_OF_STATEMENT, 1, 7},
        {"Select Case x\nCase Is > 5\nEnd Select", VBSE_EXPECTED_EXPRESSION, 1, 5},
        {"Dim a(n)", VBSE_EXPECTED_INTEGER_CONSTANT, 0, 6},
        {"Dim a(1.5)", VBSE_EXPECTED_INTEGER_CONSTANT, 0, 6},
        {"Do x\nLoop", VBSE_EXPECTED_WHILE_UNTIL_EOS, 0, 3},
        {"Do\nLoop x", VBSE_EXPECTED_WHILE_UNTIL_EOS, 1, 5},
        {"With o\nEnd If", VBSE_EXPECTED_WITH, 1, 4},
        {"x = 1 + _\n  $", VBSE_INVALID_CHARACTER, 1, 2},
        {"x = \"abc", VBSE_UNTERMINATED_STRING, 0, 4},
        {"x = &HG", VBSE_INVALID_NUMBER, 0, 4},
        {"Me = 1", VBSE_INVALID_USE_OF_ME, 0, 0},
        {"Set Me = x", VBSE_INVALID_USE_OF_ME, 0, 4},
        {"Loop", VBSE_LOOP_WITHOUT_DO, 0, 0},
        {"Exit Do", VBSE_INVALID_EXIT, 0, 0},
        {"Exit Foo", VBSE_INVALID_EXIT, 0, 5},
        {"Sub S\n Exit Function\nEnd Sub", VBSE_INVALID_EXIT, 1, 1},
        {"Do\n Exit For\nLoop", VBSE_INVALID_EXIT, 1, 1},
        {"For i = 1 To 2\n Sub S\n End Sub\nNext", VBSE_SYNTAX_ERROR, 1, 1},
        {"For a.b = 1 To 2\nNext", VBSE_INVALID_FOR_CONTROL, 0, 5},
        {"Dim a, A", VBSE_NAME_REDEFINED, 0, 7},
        {"Sub S(a, A)\nEnd Sub", VBSE_NAME_REDEFINED, 0, 9},
        {"Sub S(a)\n Dim a\nEnd Sub", VBSE_NAME_REDEFINED, 1, 5},
        {"Dim x\nSub X\nEnd Sub", VBSE_NAME_REDEFINED, 1, 4},
        {"Const c = 1\nDim c", VBSE_NAME_REDEFINED, 1, 4},
        {"Class C\nEnd Class\nClass c\nEnd Class", VBSE_NAME_REDEFINED, 2, 6},
        {"Class C\n Dim v\n Property Get v\n End Property\nEnd Class", VBSE_NAME_REDEFINED, 2, 14},
        {"Class C\n Property Get P\n End Property\n Property Get P\n End Property\nEnd Class",
         VBSE_NAME_REDEFINED, 3, 14},
        {"foo(a, b)", VBSE_NO_PARENS_CALLING_SUB, 0, 3},
        {"obj.m(1, 2)", VBSE_NO_PARENS_CALLING_SUB, 0, 5},
        {"Const a = b", VBSE_EXPECTED_LITERAL_CONSTANT, 0, 10},
        {"Const a = -\"s\"", VBSE_EXPECTED_LITERAL_CONSTANT, 0, 11},
        {"For Each x coll\nNext", VBSE_EXPECTED_IN, 0, 11},
        {"Class C\nEnd Sub", VBSE_EXPECTED_CLASS, 1, 4},
        {"Property Get P\nEnd Property", VBSE_MUST_BE_IN_CLASS, 0, 0},
        {"Public Default Sub S\nEnd Sub", VBSE_MUST_BE_IN_CLASS, 0, 7},
        {"Class C\n Property P\n End Property\nEnd Class", VBSE_EXPECTED_LET_SET_GET, 1, 10},
        {"Class C\n Property Get P\n End Sub\nEnd Class", VBSE_EXPECTED_PROPERTY, 2, 5},
        {"Class C\n Property Get P(a)\n End Property\n Property Let P(v)\n End Property\n"
         "End Class",
         VBSE_INCONSISTENT_PROPERTY_ARGS, 3, 14},
        {"Class C\n Property Let P(a, v)\n End Property\n Property Set P(v)\n End Property\n"
         "End Class",
         VBSE_INCONSISTENT_PROPERTY_ARGS, 3, 14},
        {"Class C\n Public Default Function A\n End Function\n"
         " Public Default Property Get B\n End Property\nEnd Class",
         VBSE_MULTIPLE_DEFAULTS, 3, 1},
        {"Class C\n Sub Class_Initialize(a)\n End Sub\nEnd Class", VBSE_CLASS_INIT_TERM_ARGS, 1, 5},
        {"Class C\n Private Sub class_terminate(a)\n End Sub\nEnd Class", VBSE_CLASS_INIT_TERM_ARGS,
         1, 13},
        {"Class C\n Property Let P\n End Property\nEnd Class", VBSE_PROPERTY_NEEDS_ARGUMENT, 1, 14},
        {"Class C\n Property Set P()\n End Property\nEnd Class", VBSE_PROPERTY_NEEDS_ARGUMENT, 1,
         14},
        {"Next", VBSE_UNEXPECTED_NEXT, 0, 0},
        {"Class C\n Private Default Function F\n End Function\nEnd Class",
         VBSE_DEFAULT_NEEDS_PUBLIC, 1, 9},
        {"Class C\n Default Function F\n End Function\nEnd Class", VBSE_DEFAULT_NEEDS_PUBLIC, 1, 1},
        {"Class C\n Public Default Property Let P(v)\n End Property\nEnd Class",
         VBSE_DEFAULT_ONLY_ON_GET, 1, 1},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.source);
        CVBScriptAst ast;
        CVBScriptCompileError error;
        EXPECT_EQ(CVBScriptParser::ParseProgram(Utf8ToUtf16(c.source), ast, error),
                  VBScriptErrorHResult(c.lNumber));
        EXPECT_EQ(error.m_lNumber, c.lNumber);
        EXPECT_EQ(error.m_ulLine, c.ulLine);
        EXPECT_EQ(error.m_ulCharacter, c.ulCharacter);
        EXPECT_EQ(ast.Root(), VBS_NONE) << "a failed parse leaves the tree alone";
    }
}

TEST(VBScriptParserErrorTest, IdentifierTooLong) {
    CVBScriptAst ast;
    CVBScriptCompileError error;
    const std::u16string text = u"x = 1\n  " + std::u16string(256, u'n') + u" = 2";
    EXPECT_EQ(CVBScriptParser::ParseProgram(text, ast, error),
              VBScriptErrorHResult(VBSE_IDENTIFIER_TOO_LONG));
    EXPECT_EQ(error.m_ulLine, 1u);
    EXPECT_EQ(error.m_ulCharacter, 2u);
}

// Things that look like errors but are the language.
TEST(VBScriptParserErrorTest, AcceptsWhatTheLanguageAllows) {
    const char* const sources[] = {
        "Sub S(a)\n Dim b\nEnd Sub\nSub T(a)\n Dim b\nEnd Sub",
        "Dim a\nReDim a(3)\nReDim a(4)",
        "Class C\n Property Get P(i)\n End Property\n Property Let P(i, v)\n End Property\n"
        " Property Set P(i, o)\n End Property\nEnd Class",
        "Class C\n Sub Class_Initialize()\n End Sub\n Sub Class_Terminate\n End Sub\nEnd Class",
        "Class A\n Public Default Function F\n End Function\nEnd Class\n"
        "Class B\n Public Default Property Get P\n End Property\nEnd Class",
        "x = obj.Step + obj.Error + obj.Property",
        "Dim Step, Explicit, Default, Resume, GoTo, Randomize2",
        "For i = 1 To 3 Step 1 : Next",
        "If a Then\nx = 1\nElse y = 2\nEnd If",
        "If a Then Else b",
        "Option Explicit ' first\nDim x",
        "\r\n' comment\r\n\r\nOption Explicit",
    };
    for (const char* source : sources) {
        SCOPED_TRACE(source);
        CVBScriptAst ast;
        CVBScriptCompileError error;
        EXPECT_EQ(CVBScriptParser::ParseProgram(Utf8ToUtf16(source), ast, error), S_OK)
            << error.m_lNumber << " at " << error.m_ulLine << ":" << error.m_ulCharacter;
    }
}

TEST(VBScriptParserErrorTest, ErrorRecordCarriesTheEnginesTexts) {
    CVBScriptAst ast;
    CVBScriptCompileError error;
    EXPECT_EQ(CVBScriptParser::ParseProgram(u"x = ", ast, error), MakeHResult(0x800A03FF));
    EXPECT_EQ(error.Source(), u"VBScript compilation error");
    EXPECT_EQ(error.Description(), u"Expected expression");
    EXPECT_EQ(VBScriptCompileErrorText(VBSE_EXPECTED_WHILE_UNTIL_EOS),
              u"Expected 'While', 'Until' or end of statement");
    EXPECT_EQ(VBScriptCompileErrorText(VBSE_DEFAULT_ONLY_ON_GET),
              u"'Default' specification can only be on Property Get");
    EXPECT_EQ(VBScriptCompileErrorText(13), u"");
    // A later success clears the record.
    EXPECT_EQ(CVBScriptParser::ParseProgram(u"x = 1", ast, error), S_OK);
    EXPECT_FALSE(error.IsSet());
}

}  // namespace
