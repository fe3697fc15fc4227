// The English texts of the VBScript compilation errors, as the language reference
// gives them.
#include "script/engine/vbscript/VBScriptCompileError.h"

namespace {

struct CompileErrorText {
    LONG lNumber;
    const char16_t* pszText;
};

constexpr CompileErrorText s_errorTexts[] = {
    {VBSE_OUT_OF_MEMORY, u"Out of memory"},
    {VBSE_SYNTAX_ERROR, u"Syntax error"},
    {VBSE_EXPECTED_LPAREN, u"Expected '('"},
    {VBSE_EXPECTED_RPAREN, u"Expected ')'"},
    {VBSE_EXPECTED_RBRACKET, u"Expected ']'"},
    {VBSE_EXPECTED_IDENTIFIER, u"Expected identifier"},
    {VBSE_EXPECTED_EQUAL, u"Expected '='"},
    {VBSE_EXPECTED_IF, u"Expected 'If'"},
    {VBSE_EXPECTED_TO, u"Expected 'To'"},
    {VBSE_EXPECTED_END, u"Expected 'End'"},
    {VBSE_EXPECTED_FUNCTION, u"Expected 'Function'"},
    {VBSE_EXPECTED_SUB, u"Expected 'Sub'"},
    {VBSE_EXPECTED_THEN, u"Expected 'Then'"},
    {VBSE_EXPECTED_WEND, u"Expected 'Wend'"},
    {VBSE_EXPECTED_LOOP, u"Expected 'Loop'"},
    {VBSE_EXPECTED_NEXT, u"Expected 'Next'"},
    {VBSE_EXPECTED_CASE, u"Expected 'Case'"},
    {VBSE_EXPECTED_SELECT, u"Expected 'Select'"},
    {VBSE_EXPECTED_EXPRESSION, u"Expected expression"},
    {VBSE_EXPECTED_STATEMENT, u"Expected statement"},
    {VBSE_EXPECTED_END_OF_STATEMENT, u"Expected end of statement"},
    {VBSE_EXPECTED_INTEGER_CONSTANT, u"Expected integer constant"},
    {VBSE_EXPECTED_WHILE_UNTIL, u"Expected 'While' or 'Until'"},
    {VBSE_EXPECTED_WHILE_UNTIL_EOS, u"Expected 'While', 'Until' or end of statement"},
    {VBSE_EXPECTED_WITH, u"Expected 'With'"},
    {VBSE_IDENTIFIER_TOO_LONG, u"Identifier too long"},
    {VBSE_INVALID_NUMBER, u"Invalid number"},
    {VBSE_INVALID_CHARACTER, u"Invalid character"},
    {VBSE_UNTERMINATED_STRING, u"Unterminated string constant"},
    {VBSE_UNTERMINATED_COMMENT, u"Unterminated comment"},
    {VBSE_INVALID_USE_OF_ME, u"Invalid use of 'Me' keyword"},
    {VBSE_LOOP_WITHOUT_DO, u"'loop' without 'do'"},
    {VBSE_INVALID_EXIT, u"Invalid 'exit' statement"},
    {VBSE_INVALID_FOR_CONTROL, u"Invalid 'for' loop control variable"},
    {VBSE_NAME_REDEFINED, u"Name redefined"},
    {VBSE_MUST_BE_FIRST_ON_LINE, u"Must be first statement on the line"},
    {VBSE_NO_PARENS_CALLING_SUB, u"Cannot use parentheses when calling a Sub"},
    {VBSE_EXPECTED_LITERAL_CONSTANT, u"Expected literal constant"},
    {VBSE_EXPECTED_IN, u"Expected 'In'"},
    {VBSE_EXPECTED_CLASS, u"Expected 'Class'"},
    {VBSE_MUST_BE_IN_CLASS, u"Must be defined inside a Class"},
    {VBSE_EXPECTED_LET_SET_GET, u"Expected Let or Set or Get in property declaration"},
    {VBSE_EXPECTED_PROPERTY, u"Expected 'Property'"},
    {VBSE_INCONSISTENT_PROPERTY_ARGS,
     u"Number of arguments must be consistent across properties specification"},
    {VBSE_MULTIPLE_DEFAULTS, u"Cannot have multiple default property/method in a Class"},
    {VBSE_CLASS_INIT_TERM_ARGS, u"Class initialize or terminate do not have arguments"},
    {VBSE_PROPERTY_NEEDS_ARGUMENT, u"Property set or let must have at least one argument"},
    {VBSE_UNEXPECTED_NEXT, u"Unexpected 'Next'"},
    {VBSE_DEFAULT_NEEDS_PUBLIC, u"'Default' specification must also specify 'Public'"},
    {VBSE_DEFAULT_ONLY_ON_GET, u"'Default' specification can only be on Property Get"},
};

}  // namespace

std::u16string VBScriptCompileErrorText(LONG lNumber) {
    for (const CompileErrorText& entry : s_errorTexts) {
        if (entry.lNumber == lNumber) {
            return entry.pszText;
        }
    }
    return {};
}
