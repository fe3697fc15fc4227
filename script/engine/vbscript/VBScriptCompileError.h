// Compilation errors of the VBScript front end: the language's error numbers and texts,
// and the record that says where in the script text an error was found.
//
// The numbers are those of the language reference (1001-1058); as a status they are
// carried in the control facility, 0x800A0000 + number, the way the engine reports
// them to its host. Lines and characters count from 0: the line is the number of line
// breaks before the error, the character its offset from the start of that line.
#pragma once

#include <string>

#include "com/HResult.h"
#include "com/Types.h"

// Error numbers of the VBScript compiler.
enum VBScriptErrorNumber : LONG {
    VBSE_OUT_OF_MEMORY = 1001,
    VBSE_SYNTAX_ERROR = 1002,
    VBSE_EXPECTED_LPAREN = 1005,
    VBSE_EXPECTED_RPAREN = 1006,
    VBSE_EXPECTED_RBRACKET = 1007,
    VBSE_EXPECTED_IDENTIFIER = 1010,
    VBSE_EXPECTED_EQUAL = 1011,
    VBSE_EXPECTED_IF = 1012,
    VBSE_EXPECTED_TO = 1013,
    VBSE_EXPECTED_END = 1014,
    VBSE_EXPECTED_FUNCTION = 1015,
    VBSE_EXPECTED_SUB = 1016,
    VBSE_EXPECTED_THEN = 1017,
    VBSE_EXPECTED_WEND = 1018,
    VBSE_EXPECTED_LOOP = 1019,
    VBSE_EXPECTED_NEXT = 1020,
    VBSE_EXPECTED_CASE = 1021,
    VBSE_EXPECTED_SELECT = 1022,
    VBSE_EXPECTED_EXPRESSION = 1023,
    VBSE_EXPECTED_STATEMENT = 1024,
    VBSE_EXPECTED_END_OF_STATEMENT = 1025,
    VBSE_EXPECTED_INTEGER_CONSTANT = 1026,
    VBSE_EXPECTED_WHILE_UNTIL = 1027,
    VBSE_EXPECTED_WHILE_UNTIL_EOS = 1028,
    VBSE_EXPECTED_WITH = 1029,
    VBSE_IDENTIFIER_TOO_LONG = 1030,
    VBSE_INVALID_NUMBER = 1031,
    VBSE_INVALID_CHARACTER = 1032,
    VBSE_UNTERMINATED_STRING = 1033,
    VBSE_UNTERMINATED_COMMENT = 1034,
    VBSE_INVALID_USE_OF_ME = 1037,
    VBSE_LOOP_WITHOUT_DO = 1038,
    VBSE_INVALID_EXIT = 1039,
    VBSE_INVALID_FOR_CONTROL = 1040,
    VBSE_NAME_REDEFINED = 1041,
    VBSE_MUST_BE_FIRST_ON_LINE = 1042,
    VBSE_NO_PARENS_CALLING_SUB = 1044,
    VBSE_EXPECTED_LITERAL_CONSTANT = 1045,
    VBSE_EXPECTED_IN = 1046,
    VBSE_EXPECTED_CLASS = 1047,
    VBSE_MUST_BE_IN_CLASS = 1048,
    VBSE_EXPECTED_LET_SET_GET = 1049,
    VBSE_EXPECTED_PROPERTY = 1050,
    VBSE_INCONSISTENT_PROPERTY_ARGS = 1051,
    VBSE_MULTIPLE_DEFAULTS = 1052,
    VBSE_CLASS_INIT_TERM_ARGS = 1053,
    VBSE_PROPERTY_NEEDS_ARGUMENT = 1054,
    VBSE_UNEXPECTED_NEXT = 1055,
    VBSE_DEFAULT_NEEDS_PUBLIC = 1057,
    VBSE_DEFAULT_ONLY_ON_GET = 1058,
};

// The error source that the engine reports for every compilation error.
inline constexpr char16_t VBSCRIPT_COMPILE_ERROR_SOURCE[] = u"VBScript compilation error";

// The status that carries a VBScript error number (0x800A0000 + number).
constexpr HRESULT VBScriptErrorHResult(LONG lNumber) {
    return MakeHResult(0x800A0000u | (static_cast<std::uint32_t>(lNumber) & 0xFFFFu));
}

// The English text of a compilation error number, or an empty string for a number
// that is not a compilation error.
std::u16string VBScriptCompileErrorText(LONG lNumber);

// Where and why a script failed to compile.
class CVBScriptCompileError {
public:
    LONG m_lNumber = 0;       // 0 while no error was found
    ULONG m_ulLine = 0;       // line of the error, from 0
    ULONG m_ulCharacter = 0;  // character within that line, from 0

    bool IsSet() const { return m_lNumber != 0; }
    HRESULT Result() const { return VBScriptErrorHResult(m_lNumber); }
    std::u16string Description() const { return VBScriptCompileErrorText(m_lNumber); }
    std::u16string Source() const { return VBSCRIPT_COMPILE_ERROR_SOURCE; }
};
