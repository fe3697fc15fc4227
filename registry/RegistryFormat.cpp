// Reading and writing the registry editor's export syntax.
#include "registry/RegistryFormat.h"

#include <cstdio>

#include "com/DiagnosticLog.h"
#include "com/HexDigit.h"
#include "com/Strings.h"

namespace {

const HRESULT kBadDb = HRESULT_FROM_WIN32(ERROR_BADDB);

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// Reads 1 to 8 hex digits that make up all of `s`.
bool ParseHex32(std::string_view s, DWORD* value) {
    if (s.empty() || s.size() > 8)
        return false;
    DWORD v = 0;
    for (char c : s) {
        int d = HexDigitValue(static_cast<unsigned char>(c));
        if (d < 0)
            return false;
        v = v << 4 | static_cast<DWORD>(d);
    }
    *value = v;
    return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// Walks the text line by line; each line loses its LF and one CR before it.
class LineReader {
public:
    explicit LineReader(std::string_view text) : m_text(text) {}

    bool Next(std::string_view* line) {
        if (m_pos >= m_text.size())
            return false;
        std::size_t end = m_text.find('\n', m_pos);
        if (end == m_text.npos)
            end = m_text.size();
        *line = m_text.substr(m_pos, end - m_pos);
        if (!line->empty() && line->back() == '\r')
            line->remove_suffix(1);
        m_pos = end + 1;
        ++m_number;
        return true;
    }
    unsigned Number() const { return m_number; }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
    unsigned m_number = 0;
};

class Parser {
public:
    Parser(std::string_view text, CRegistryTree* tree, CRegistryParseError* error)
        : m_lines(text), m_tree(tree), m_error(error) {}

    HRESULT Run() {
        std::string_view line;
        if (!m_lines.Next(&line))
            return S_OK;
        if (line != CRegistryFormat::kHeader) {
            return Fail(line.starts_with("\xEF\xBB\xBF")
                            ? "the file starts with a byte order mark"
                            : "the first line is not \"Windows Registry Editor Version 5.00\"");
        }
        while (m_lines.Next(&line)) {
            if (line.find_first_of(std::string_view("\r\0", 2)) != line.npos) {
                return Fail("a carriage return or zero byte inside the line");
            }
            line = TrimLeft(line);
            if (TrimRight(line).empty() || line.front() == ';')
                continue;
            HRESULT hr = line.front() == '[' ? ParseKey(line) : ParseValue(line);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }

private:
    HRESULT Fail(std::string reason, unsigned line = 0) {
        m_error->line = line ? line : m_lines.Number();
        m_error->reason = std::move(reason);
        return kBadDb;
    }

    HRESULT ParseKey(std::string_view line) {
        line = TrimRight(line);
        if (line.size() < 2 || line.back() != ']')
            return Fail("a key line does not end in ']'");
        std::string_view path = line.substr(1, line.size() - 2);
        if (path.starts_with('-'))
            return Fail("key deletions do not belong in a store file");
        if (!CRegistryTree::IsValidKeyPath(path)) {
            return Fail("bad key path (unknown root, empty name or control character)");
        }
        if (FAILED(m_tree->CreateKey(path)))
            return Fail("the key cannot be created");
        m_key.assign(path);
        return S_OK;
    }

    // Reads a quoted string starting at text[0] == '"'; `rest` gets what follows it.
    HRESULT ParseQuoted(std::string_view text, std::string* out, std::string_view* rest) {
        out->clear();
        for (std::size_t i = 1; i < text.size(); ++i) {
            char c = text[i];
            if (c == '"') {
                *rest = text.substr(i + 1);
                if (!IsValidUtf8(*out))
                    return Fail("a quoted string is not valid UTF-8");
                return S_OK;
            }
            if (c == '\\') {
                if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
                    return Fail("unknown escape in a quoted string (only \\\\ and \\\" exist)");
                }
                c = text[++i];
            }
            out->push_back(c);
        }
        return Fail("a quoted string is not closed");
    }

    HRESULT ParseValue(std::string_view line) {
        if (m_key.empty())
            return Fail("a value before the first key");
        std::string name;
        std::string_view rest;
        if (line.front() == '@') {
            rest = line.substr(1);
        } else if (line.front() == '"') {
            HRESULT hr = ParseQuoted(line, &name, &rest);
            if (FAILED(hr))
                return hr;
        } else {
            return Fail("a line that is neither a key, a value nor a comment");
        }
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != '=')
            return Fail("'=' missing after the value name");
        rest = TrimLeft(rest.substr(1));

        CRegistryValue value;
        HRESULT hr = ParseData(rest, &value);
        if (FAILED(hr))
            return hr;
        if (FAILED(m_tree->SetValue(m_key, name, value)))
            return Fail("the value cannot be set");
        return S_OK;
    }

    HRESULT ParseData(std::string_view data, CRegistryValue* value) {
        if (data.starts_with('"')) {
            std::string text;
            std::string_view rest;
            HRESULT hr = ParseQuoted(data, &text, &rest);
            if (FAILED(hr))
                return hr;
            if (!TrimRight(rest).empty())
                return Fail("text after the closing quote");
            *value = CRegistryValue::FromString(text);
            return S_OK;
        }
        if (StartsWithNoCase(data, "dword:")) {
            DWORD v;
            if (!ParseHex32(TrimRight(data.substr(6)), &v)) {
                return Fail("a dword value needs 1 to 8 hex digits");
            }
            *value = CRegistryValue::FromDword(v);
            return S_OK;
        }
        if (StartsWithNoCase(data, "hex:"))
            return ParseHexList(data.substr(4), REG_BINARY, value);
        if (StartsWithNoCase(data, "hex(")) {
            std::size_t close = data.find("):");
            DWORD type;
            if (close == data.npos || !ParseHex32(data.substr(4, close - 4), &type)) {
                return Fail("a hex(type) prefix needs 1 to 8 hex digits and \"):\"");
            }
            return ParseHexList(data.substr(close + 2), type, value);
        }
        if (TrimRight(data) == "-")
            return Fail("value deletions do not belong in a store file");
        return Fail("unknown value data (expected \"text\", dword:, hex: or hex(type):)");
    }

    // Bytes separated by commas, continued on the next line after a trailing backslash.
    HRESULT ParseHexList(std::string_view first, DWORD type, CRegistryValue* value) {
        std::vector<BYTE> bytes;
        std::string_view segment = first;
        bool expectMore = false;  // a comma ended the previous segment
        while (true) {
            segment = TrimRight(segment);
            bool continues = segment.ends_with('\\');
            if (continues)
                segment.remove_suffix(1);
            HRESULT hr = ParseHexSegment(segment, &bytes, &expectMore);
            if (FAILED(hr))
                return hr;
            if (!continues)
                break;
            std::string_view next;
            if (!m_lines.Next(&next))
                return Fail("a hex list continues past the end of the file");
            if (next.find_first_of(std::string_view("\r\0", 2)) != next.npos) {
                return Fail("a carriage return or zero byte inside the line");
            }
            segment = next;
        }
        if (expectMore)
            return Fail("a hex list ends with a comma");
        *value = CRegistryValue(type, std::move(bytes));
        return S_OK;
    }

    HRESULT ParseHexSegment(std::string_view segment, std::vector<BYTE>* bytes, bool* expectMore) {
        segment = TrimLeft(segment);
        if (segment.empty())
            return S_OK;
        std::size_t pos = 0;
        while (true) {
            std::size_t comma = segment.find(',', pos);
            std::string_view item = TrimRight(
                TrimLeft(segment.substr(pos, comma == segment.npos ? segment.npos : comma - pos)));
            if (comma == segment.npos && item.empty()) {
                *expectMore = true;  // "01,02," then the continuation
                return S_OK;
            }
            DWORD byte;
            if (item.size() > 2 || !ParseHex32(item, &byte)) {
                return Fail("a hex list item is not one or two hex digits");
            }
            bytes->push_back(static_cast<BYTE>(byte));
            *expectMore = false;
            if (comma == segment.npos)
                return S_OK;
            pos = comma + 1;
        }
    }

    LineReader m_lines;
    CRegistryTree* m_tree;
    CRegistryParseError* m_error;
    std::string m_key;  // the key that the values belong to
};

void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
}

// The text of a REG_SZ that the quoted form carries exactly: UTF-16LE ending in one
// zero character, none before it, no line breaks, no lone surrogates.
bool QuotableText(const std::vector<BYTE>& data, std::string* text) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    if (data[data.size() - 2] != 0 || data[data.size() - 1] != 0)
        return false;
    *text = TextFromUtf16Le(data.data(), data.size() - 2);
    if (text->find_first_of(std::string_view("\r\n\0", 3)) != text->npos)
        return false;
    return Utf16LeBytes(*text) == std::vector<BYTE>(data.begin(), data.end() - 2);
}

void AppendHexList(std::string& out, const std::vector<BYTE>& data) {
    // Lines stay within 80 columns, as the registry editor writes them.
    constexpr std::size_t kWidth = 77;
    std::size_t column = out.size() - out.rfind('\n') - 1;
    static const char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < data.size(); ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0xF];
        column += 2;
        if (i + 1 == data.size())
            break;
        out += ',';
        ++column;
        if (column >= kWidth) {
            out += "\\\n  ";
            column = 2;
        }
    }
}

void AppendValue(std::string& out, const CRegistryEntry& entry) {
    if (entry.name.empty()) {
        out += '@';
    } else {
        AppendQuoted(out, entry.name);
    }
    out += '=';
    const CRegistryValue& value = entry.value;
    std::string text;
    DWORD dword;
    if (value.Type() == REG_SZ && QuotableText(value.Data(), &text)) {
        AppendQuoted(out, text);
    } else if (SUCCEEDED(value.GetDword(&dword))) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x", dword);
        out += digits;
    } else {
        if (value.Type() == REG_BINARY) {
            out += "hex:";
        } else {
            char prefix[24];
            std::snprintf(prefix, sizeof prefix, "hex(%x):", value.Type());
            out += prefix;
        }
        AppendHexList(out, value.Data());
    }
    out += '\n';
}

}  // namespace

HRESULT CRegistryFormat::Parse(std::string_view text, CRegistryTree* tree,
                               CRegistryParseError* error) {
    if (CheckExpression(!tree || !error))
        return E_POINTER;
    try {
        CRegistryTree parsed;
        Parser parser(text, &parsed, error);
        HRESULT hr = parser.Run();
        if (FAILED(hr))
            return hr;
        *tree = std::move(parsed);
        return S_OK;
    } catch (...) {
        return ReportException("CRegistryFormat::Parse", CV_HERE);
    }
}

std::string CRegistryFormat::Serialize(const CRegistryTree& tree) {
    std::string out(kHeader);
    out += "\n\n";
    tree.ForEachKey([&](const std::string& path, const std::vector<const CRegistryEntry*>& values) {
        out += '[';
        out += path;
        out += "]\n";
        for (const CRegistryEntry* entry : values)
            AppendValue(out, *entry);
        out += '\n';
    });
    return out;
}
