// The VBScript lexer (see VBScriptLexer.h).
#include "script/engine/vbscript/VBScriptLexer.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "script/engine/vbscript/VBScriptCompileError.h"

namespace {

struct Keyword {
    const char16_t* pszText;
    VBSToken kind;
};

constexpr Keyword s_keywords[] = {
    {u"And", VBSToken::And},         {u"ByRef", VBSToken::ByRef},
    {u"ByVal", VBSToken::ByVal},     {u"Call", VBSToken::Call},
    {u"Case", VBSToken::Case},       {u"Class", VBSToken::Class},
    {u"Const", VBSToken::Const},     {u"Dim", VBSToken::Dim},
    {u"Do", VBSToken::Do},           {u"Each", VBSToken::Each},
    {u"Else", VBSToken::Else},       {u"ElseIf", VBSToken::ElseIf},
    {u"Empty", VBSToken::Empty},     {u"End", VBSToken::End_},
    {u"Eqv", VBSToken::Eqv},         {u"Erase", VBSToken::Erase},
    {u"Exit", VBSToken::Exit},       {u"False", VBSToken::False},
    {u"For", VBSToken::For},         {u"Function", VBSToken::Function},
    {u"If", VBSToken::If},           {u"Imp", VBSToken::Imp},
    {u"In", VBSToken::In},           {u"Is", VBSToken::Is},
    {u"Loop", VBSToken::Loop},       {u"Me", VBSToken::Me},
    {u"Mod", VBSToken::Mod},         {u"New", VBSToken::New},
    {u"Next", VBSToken::Next},       {u"Not", VBSToken::Not},
    {u"Nothing", VBSToken::Nothing}, {u"Null", VBSToken::Null},
    {u"On", VBSToken::On},           {u"Option", VBSToken::Option},
    {u"Or", VBSToken::Or},           {u"Preserve", VBSToken::Preserve},
    {u"Private", VBSToken::Private}, {u"Property", VBSToken::Property},
    {u"Public", VBSToken::Public},   {u"ReDim", VBSToken::ReDim},
    {u"Select", VBSToken::Select},   {u"Set", VBSToken::Set},
    {u"Stop", VBSToken::Stop},       {u"Sub", VBSToken::Sub},
    {u"Then", VBSToken::Then},       {u"To", VBSToken::To},
    {u"True", VBSToken::True},       {u"Until", VBSToken::Until},
    {u"Wend", VBSToken::Wend},       {u"While", VBSToken::While},
    {u"With", VBSToken::With},       {u"Xor", VBSToken::Xor},
};

char16_t AsciiUpper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
}

bool EqualsAsciiNoCase(std::u16string_view a, const char16_t* b) {
    std::size_t i = 0;
    for (; i < a.size(); ++i) {
        if (b[i] == 0 || AsciiUpper(a[i]) != AsciiUpper(b[i])) {
            return false;
        }
    }
    return b[i] == 0;
}

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}
bool IsLineBreak(char16_t c) {
    return c == u'\r' || c == u'\n';
}

bool IsIdentifierStart(char16_t c) {
    if (c < 0x80) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    }
    return u_isalpha(c);
}

bool IsIdentifierPart(char16_t c) {
    if (c < 0x80) {
        return IsIdentifierStart(c) || IsDigit(c) || c == u'_';
    }
    return u_isalnum(c);
}

int DigitValue(char16_t c) {
    if (IsDigit(c)) {
        return c - u'0';
    }
    c = AsciiUpper(c);
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

// The power of ten of a decimal number's leading digit ("123.4" is 2, "0.05" is -2,
// "5e-3" is -3), saturating far beyond any double's range.
long long DecimalMagnitude(const std::string& digits) {
    const std::size_t e = digits.find_first_of("eE");
    const std::string mantissa = digits.substr(0, e);
    long long exponent = 0;
    if (e != std::string::npos) {
        std::size_t i = e + 1;
        const bool negative = i < digits.size() && digits[i] == '-';
        if (i < digits.size() && (digits[i] == '-' || digits[i] == '+')) {
            ++i;
        }
        for (; i < digits.size() && exponent < 1000000000; ++i) {
            exponent = exponent * 10 + (digits[i] - '0');
        }
        exponent = negative ? -exponent : exponent;
    }
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t firstNonZero = mantissa.find_first_not_of("0.");
    if (firstNonZero == std::string::npos) {
        return -1;  // zero
    }
    const long long position = firstNonZero < point
                                   ? static_cast<long long>(point - firstNonZero) - 1
                                   : -static_cast<long long>(firstNonZero - point);
    return position + exponent;
}

}  // namespace

const char16_t* CVBScriptLexer::KeywordText(VBSToken kind) {
    for (const Keyword& keyword : s_keywords) {
        if (keyword.kind == kind) {
            return keyword.pszText;
        }
    }
    return nullptr;
}

void CVBScriptLexer::Fail(VBScriptToken& token, LONG lError) {
    token.kind = VBSToken::Error;
    token.lError = lError;
}

// Tokens after which an operand cannot stand: there "&" joins strings and "#" and radix
// literals are not expected.
bool CVBScriptLexer::OperandMayFollow() const {
    switch (m_previous) {
        case VBSToken::Identifier:
        case VBSToken::Integer:
        case VBSToken::Long:
        case VBSToken::Double:
        case VBSToken::String:
        case VBSToken::Date:
        case VBSToken::RParen:
        case VBSToken::True:
        case VBSToken::False:
        case VBSToken::Empty:
        case VBSToken::Null:
        case VBSToken::Nothing:
        case VBSToken::Me:
            return false;
        default:
            return true;
    }
}

// `Print &H10`: after a name, a blank, then a complete &H or &O literal that no letter
// follows is the first argument of a call, not a concatenation (`s &Hex(1)` stays one).
bool CVBScriptLexer::RadixLiteralAfterName() const {
    if (m_previous != VBSToken::Identifier || m_pos == 0 || !IsBlank(m_text[m_pos - 1]))
        return false;
    std::size_t pos = m_pos + 1;
    const bool hex = AsciiUpper(m_text[pos]) == u'H';
    if (!hex && AsciiUpper(m_text[pos]) != u'O')
        return false;  // "s &1" joins s and 1
    ++pos;
    std::size_t digits = pos;
    while (pos < m_text.size() && (hex ? IsDigit(m_text[pos]) || (AsciiUpper(m_text[pos]) >= u'A' &&
                                                                  AsciiUpper(m_text[pos]) <= u'F')
                                       : (m_text[pos] >= u'0' && m_text[pos] <= u'7')))
        ++pos;
    if (pos == digits)
        return false;
    if (pos < m_text.size() && m_text[pos] == u'&')
        ++pos;
    if (pos == m_text.size())
        return true;
    const char16_t next = m_text[pos];
    return !(IsDigit(next) || next == u'_' ||
             (AsciiUpper(next) >= u'A' && AsciiUpper(next) <= u'Z'));
}

// An underscore that only blanks separate from the end of the line (or of the text).
bool CVBScriptLexer::IsContinuation() const {
    std::size_t pos = m_pos + 1;
    while (pos < m_text.size() && IsBlank(m_text[pos])) {
        ++pos;
    }
    return pos == m_text.size() || IsLineBreak(m_text[pos]);
}

void CVBScriptLexer::SkipToLineEnd() {
    while (m_pos < m_text.size() && !IsLineBreak(m_text[m_pos])) {
        ++m_pos;
    }
}

void CVBScriptLexer::Next(VBScriptToken& token) {
    token.bBracketed = false;
    token.lError = 0;
    token.lValue = 0;
    token.dblValue = 0;
    token.str.clear();
    for (;;) {
        while (m_pos < m_text.size() && IsBlank(m_text[m_pos])) {
            ++m_pos;
        }
        token.ulLine = m_ulLine;
        token.ulCharacter = static_cast<ULONG>(m_pos - m_lineStart);
        token.ulOffset = static_cast<ULONG>(m_pos);
        if (m_pos >= m_text.size()) {
            token.kind = VBSToken::End;
            token.ulLength = 0;
            m_previous = token.kind;
            return;
        }
        const char16_t c = m_text[m_pos];
        if (IsLineBreak(c)) {
            m_pos +=
                (c == u'\r' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == u'\n') ? 2 : 1;
            token.kind = VBSToken::Newline;
            token.ulLength = static_cast<ULONG>(m_pos - token.ulOffset);
            ++m_ulLine;
            m_lineStart = m_pos;
            m_previous = token.kind;
            return;
        }
        if (c == u'_' && IsContinuation()) {
            ++m_pos;
            while (m_pos < m_text.size() && IsBlank(m_text[m_pos])) {
                ++m_pos;
            }
            if (m_pos < m_text.size()) {
                const bool crlf = m_text[m_pos] == u'\r' && m_pos + 1 < m_text.size() &&
                                  m_text[m_pos + 1] == u'\n';
                m_pos += crlf ? 2 : 1;
                ++m_ulLine;
                m_lineStart = m_pos;
            }
            continue;
        }
        if (c == u'\'') {
            SkipToLineEnd();
            continue;
        }
        if (IsIdentifierStart(c)) {
            ReadIdentifier(token);
            if (token.kind == VBSToken::Identifier && !token.bBracketed &&
                EqualsAsciiNoCase(token.str, u"Rem")) {
                SkipToLineEnd();
                continue;
            }
        } else if (c == u'[') {
            ReadBracketed(token);
        } else if (c == u'"') {
            ReadString(token);
        } else if (c == u'#') {
            ReadDate(token);
        } else if (IsDigit(c) ||
                   (c == u'.' && m_pos + 1 < m_text.size() && IsDigit(m_text[m_pos + 1]))) {
            ReadNumber(token);
        } else if (c == u'&' && m_pos + 1 < m_text.size() &&
                   (IsDigit(m_text[m_pos + 1]) || AsciiUpper(m_text[m_pos + 1]) == u'H' ||
                    AsciiUpper(m_text[m_pos + 1]) == u'O') &&
                   (OperandMayFollow() || RadixLiteralAfterName())) {
            ReadRadixNumber(token);
        } else {
            const char16_t n = m_pos + 1 < m_text.size() ? m_text[m_pos + 1] : 0;
            std::size_t length = 1;
            switch (c) {
                case u':':
                    token.kind = VBSToken::Colon;
                    break;
                case u'(':
                    token.kind = VBSToken::LParen;
                    break;
                case u')':
                    token.kind = VBSToken::RParen;
                    break;
                case u',':
                    token.kind = VBSToken::Comma;
                    break;
                case u'.':
                    token.kind = VBSToken::Dot;
                    break;
                case u'&':
                    token.kind = VBSToken::Ampersand;
                    break;
                case u'+':
                    token.kind = VBSToken::Plus;
                    break;
                case u'-':
                    token.kind = VBSToken::Minus;
                    break;
                case u'*':
                    token.kind = VBSToken::Star;
                    break;
                case u'/':
                    token.kind = VBSToken::Slash;
                    break;
                case u'\\':
                    token.kind = VBSToken::Backslash;
                    break;
                case u'^':
                    token.kind = VBSToken::Caret;
                    break;
                case u'=':
                    token.kind = VBSToken::Equal;
                    break;
                case u'<':
                    if (n == u'>') {
                        token.kind = VBSToken::NotEqual;
                        length = 2;
                    } else if (n == u'=') {
                        token.kind = VBSToken::LessEqual;
                        length = 2;
                    } else {
                        token.kind = VBSToken::Less;
                    }
                    break;
                case u'>':
                    if (n == u'=') {
                        token.kind = VBSToken::GreaterEqual;
                        length = 2;
                    } else {
                        token.kind = VBSToken::Greater;
                    }
                    break;
                default:
                    Fail(token, VBSE_INVALID_CHARACTER);
                    length = 0;
                    break;
            }
            m_pos += length;
        }
        token.ulLength = static_cast<ULONG>(m_pos - token.ulOffset);
        m_previous = token.kind;
        return;
    }
}

void CVBScriptLexer::ReadIdentifier(VBScriptToken& token) {
    const std::size_t start = m_pos;
    while (m_pos < m_text.size() && IsIdentifierPart(m_text[m_pos])) {
        ++m_pos;
    }
    const std::u16string_view name = m_text.substr(start, m_pos - start);
    if (name.size() > VBS_MAX_IDENTIFIER) {
        Fail(token, VBSE_IDENTIFIER_TOO_LONG);
        return;
    }
    token.kind = VBSToken::Identifier;
    token.str.assign(name);
    for (const Keyword& keyword : s_keywords) {
        if (EqualsAsciiNoCase(name, keyword.pszText)) {
            token.kind = keyword.kind;
            return;
        }
    }
}

void CVBScriptLexer::ReadBracketed(VBScriptToken& token) {
    const std::size_t start = ++m_pos;
    while (m_pos < m_text.size() && m_text[m_pos] != u']' && !IsLineBreak(m_text[m_pos])) {
        ++m_pos;
    }
    if (m_pos >= m_text.size() || m_text[m_pos] != u']') {
        Fail(token, VBSE_EXPECTED_RBRACKET);
        return;
    }
    if (m_pos - start > VBS_MAX_IDENTIFIER) {
        Fail(token, VBSE_IDENTIFIER_TOO_LONG);
        return;
    }
    token.kind = VBSToken::Identifier;
    token.bBracketed = true;
    token.str.assign(m_text.substr(start, m_pos - start));
    ++m_pos;
}

void CVBScriptLexer::ReadString(VBScriptToken& token) {
    ++m_pos;
    for (;;) {
        std::size_t run = m_pos;
        while (run < m_text.size() && m_text[run] != u'"' && !IsLineBreak(m_text[run])) {
            ++run;
        }
        token.str.append(m_text.substr(m_pos, run - m_pos));
        m_pos = run;
        if (m_pos >= m_text.size() || IsLineBreak(m_text[m_pos])) {
            Fail(token, VBSE_UNTERMINATED_STRING);
            return;
        }
        ++m_pos;  // the quote
        if (m_pos < m_text.size() && m_text[m_pos] == u'"') {
            token.str.push_back(u'"');
            ++m_pos;
            continue;
        }
        token.kind = VBSToken::String;
        return;
    }
}

// The text of a date literal is kept as written; turning it into a date value is left
// to the compiler, which knows the conversion rules of dates.
void CVBScriptLexer::ReadDate(VBScriptToken& token) {
    const std::size_t start = m_pos + 1;
    std::size_t end = start;
    while (end < m_text.size() && m_text[end] != u'#' && !IsLineBreak(m_text[end])) {
        ++end;
    }
    if (end >= m_text.size() || m_text[end] != u'#' || end == start) {
        Fail(token, VBSE_INVALID_CHARACTER);
        return;
    }
    token.kind = VBSToken::Date;
    token.str.assign(m_text.substr(start, end - start));
    m_pos = end + 1;
}

void CVBScriptLexer::ReadNumber(VBScriptToken& token) {
    const std::size_t start = m_pos;
    bool isFloat = false;
    while (m_pos < m_text.size() && IsDigit(m_text[m_pos])) {
        ++m_pos;
    }
    // A decimal point belongs to the number unless a name follows it ("1.Foo" is not a
    // number; "1." and "1.5" are).
    if (m_pos < m_text.size() && m_text[m_pos] == u'.' &&
        !(m_pos + 1 < m_text.size() && IsIdentifierStart(m_text[m_pos + 1]) &&
          AsciiUpper(m_text[m_pos + 1]) != u'E')) {
        isFloat = true;
        ++m_pos;
        while (m_pos < m_text.size() && IsDigit(m_text[m_pos])) {
            ++m_pos;
        }
    }
    if (m_pos < m_text.size() && AsciiUpper(m_text[m_pos]) == u'E') {
        std::size_t pos = m_pos + 1;
        if (pos < m_text.size() && (m_text[pos] == u'+' || m_text[pos] == u'-')) {
            ++pos;
        }
        if (pos < m_text.size() && IsDigit(m_text[pos])) {
            isFloat = true;
            m_pos = pos;
            while (m_pos < m_text.size() && IsDigit(m_text[m_pos])) {
                ++m_pos;
            }
        } else if (m_pos + 1 >= m_text.size() || !IsIdentifierPart(m_text[m_pos + 1])) {
            // "1e" with nothing after it.
            Fail(token, VBSE_INVALID_NUMBER);
            return;
        }
    }
    // The digits are ASCII: narrow them for the conversion.
    std::string digits;
    digits.reserve(m_pos - start + 1);
    if (m_text[start] == u'.') {
        digits.push_back('0');
    }
    for (std::size_t i = start; i < m_pos; ++i) {
        digits.push_back(static_cast<char>(m_text[i]));
    }
    if (!isFloat) {
        std::uint64_t value = 0;
        bool fits = true;
        for (char d : digits) {
            value = value * 10 + static_cast<unsigned>(d - '0');
            if (value > 0x7FFFFFFF) {
                fits = false;
                break;
            }
        }
        if (fits) {
            token.kind = value <= 32767 ? VBSToken::Integer : VBSToken::Long;
            token.lValue = static_cast<std::int32_t>(value);
            return;
        }
    }
    double value = 0;
    const char* first = digits.data();
    const char* last = first + digits.size();
    const std::from_chars_result result = std::from_chars(first, last, value);
    if (result.ec == std::errc::result_out_of_range) {
        // Too small to represent is zero; too large is not a number the language has.
        if (DecimalMagnitude(digits) >= 0) {
            Fail(token, VBSE_INVALID_NUMBER);
            return;
        }
        value = 0;
    } else if (result.ec != std::errc() || result.ptr != last || !std::isfinite(value)) {
        Fail(token, VBSE_INVALID_NUMBER);
        return;
    }
    token.kind = VBSToken::Double;
    token.dblValue = value;
}

void CVBScriptLexer::ReadRadixNumber(VBScriptToken& token) {
    ++m_pos;  // "&"
    unsigned radix = 8;
    const char16_t marker = AsciiUpper(m_text[m_pos]);
    if (marker == u'H') {
        radix = 16;
        ++m_pos;
    } else if (marker == u'O') {
        ++m_pos;
    }
    std::uint64_t value = 0;
    bool any = false;
    bool valid = true;
    while (m_pos < m_text.size() && IsIdentifierPart(m_text[m_pos])) {
        const int digit = DigitValue(m_text[m_pos]);
        if (digit < 0 || static_cast<unsigned>(digit) >= radix) {
            valid = false;
        } else if (valid) {
            value = value * radix + static_cast<unsigned>(digit);
            if (value > 0xFFFFFFFFu) {
                valid = false;
            }
        }
        any = true;
        ++m_pos;
    }
    if (!any || !valid) {
        Fail(token, VBSE_INVALID_NUMBER);
        return;
    }
    if (m_pos < m_text.size() && m_text[m_pos] == u'&') {  // &HFFFF&: a Long
        ++m_pos;
        token.kind = VBSToken::Long;
        token.lValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
        return;
    }
    if (value <= 0xFFFF) {
        token.kind = VBSToken::Integer;
        token.lValue = static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
    } else {
        token.kind = VBSToken::Long;
        token.lValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }
}
