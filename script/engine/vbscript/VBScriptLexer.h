// The VBScript lexer: turns UTF-16 script text into tokens with their positions.
//
// Keywords and identifiers compare without regard to letter case; a bracketed
// identifier ("[any text]") is always an identifier, never a keyword. Comments ("'" and
// "Rem") and line continuations (" _" at the end of a line) produce no tokens; a line
// break produces a Newline token and ":" a Colon token, which the parser treats alike
// as the end of a statement. Every token carries the line and the character within the
// line (both from 0) at which it starts, counted on the text as written, so positions
// stay right after a continuation.
//
// Numbers are typed as the language types its literals: a decimal integer is an
// Integer when it fits 16 bits, a Long when it fits 32 bits and a Double otherwise; a
// hexadecimal (&H) or octal (&O or & followed by digits) literal is an Integer when its
// value fits 16 bits (so &HFFFF is -1) and a Long when it fits 32 bits; anything with a
// decimal point or an exponent is a Double. A radix literal is read only where an
// operand may stand; elsewhere "&" is the concatenation operator.
//
// A malformed token comes back as an Error token that carries the error number; the
// lexer never throws and holds no state beyond its position in the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "com/Types.h"

enum class VBSToken : std::uint8_t {
    End,      // end of the text
    Error,    // m_lError says what is wrong
    Newline,  // a line break (a comment runs up to it)
    Colon,
    Identifier,  // m_str holds the name as written (without brackets)
    Integer,     // m_lValue
    Long,        // m_lValue
    Double,      // m_dblValue
    String,      // m_str holds the text, doubled quotes made single
    Date,        // m_str holds the text between the number signs
    // Punctuation and operators.
    LParen,
    RParen,
    Comma,
    Dot,
    Ampersand,
    Plus,
    Minus,
    Star,
    Slash,
    Backslash,
    Caret,
    Equal,
    NotEqual,
    Less,
    Greater,
    LessEqual,
    GreaterEqual,
    // Keywords.
    And,
    ByRef,
    ByVal,
    Call,
    Case,
    Class,
    Const,
    Dim,
    Do,
    Each,
    Else,
    ElseIf,
    Empty,
    End_,  // the keyword "End"
    Eqv,
    Erase,
    Exit,
    False,
    For,
    Function,
    If,
    Imp,
    In,
    Is,
    Loop,
    Me,
    Mod,
    New,
    Next,
    Not,
    Nothing,
    Null,
    On,
    Option,
    Or,
    Preserve,
    Private,
    Property,
    Public,
    ReDim,
    Select,
    Set,
    Stop,
    Sub,
    Then,
    To,
    True,
    Until,
    Wend,
    While,
    With,
    Xor,
};

struct VBScriptToken {
    VBSToken kind = VBSToken::End;
    bool bBracketed = false;  // an identifier written in brackets
    ULONG ulLine = 0;
    ULONG ulCharacter = 0;
    ULONG ulOffset = 0;  // position in the text
    ULONG ulLength = 0;  // characters of the text the token spans
    LONG lError = 0;
    std::int32_t lValue = 0;
    double dblValue = 0;
    std::u16string str;
};

// Longest identifier the language accepts.
inline constexpr std::size_t VBS_MAX_IDENTIFIER = 255;

class CVBScriptLexer {
public:
    explicit CVBScriptLexer(std::u16string_view text) : m_text(text) {}

    // Reads the next token into `token`.
    void Next(VBScriptToken& token);

    // The keyword's spelling as the language reference writes it ("ElseIf"), or
    // nullptr for tokens that are not keywords.
    static const char16_t* KeywordText(VBSToken kind);

private:
    void ReadIdentifier(VBScriptToken& token);
    void ReadBracketed(VBScriptToken& token);
    void ReadString(VBScriptToken& token);
    void ReadDate(VBScriptToken& token);
    void ReadNumber(VBScriptToken& token);
    void ReadRadixNumber(VBScriptToken& token);
    void SkipToLineEnd();
    bool IsContinuation() const;
    void Fail(VBScriptToken& token, LONG lError);
    bool OperandMayFollow() const;
    bool RadixLiteralAfterName() const;

    std::u16string_view m_text;
    std::size_t m_pos = 0;
    std::size_t m_lineStart = 0;
    ULONG m_ulLine = 0;
    VBSToken m_previous = VBSToken::Newline;
};
