// CRegExp: the RegExp object of VBScript, on ICU's regular expressions.
#include "script/engine/vbscript/library/CRegExp.h"

#include "com/DiagnosticLog.h"
#include "script/engine/vbscript/library/CMatchCollection.h"
#include "script/engine/vbscript/library/RegExpPattern.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {

constexpr DISPID kPattern = 10001, kIgnoreCase = 10002, kGlobal = 10003, kExecute = 10004,
                 kTest = 10005, kReplace = 10006, kMultiline = 10007;

// Steps of ICU's engine (about a millisecond each) before a search gives up.
constexpr int32_t kMatchTimeLimit = 5000;

icu::UnicodeString ToIcu(std::u16string_view text) {
    return icu::UnicodeString(text.data(), static_cast<int32_t>(text.size()));
}

std::u16string FromIcu(const icu::UnicodeString& text) {
    return std::u16string(text.getBuffer(), static_cast<std::size_t>(text.length()));
}

HRESULT SearchStatus(UErrorCode status) {
    if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW)
        return E_ABORT;
    return status == U_MEMORY_ALLOCATION_ERROR ? E_OUTOFMEMORY : E_FAIL;
}

// The groups of the current match: the text of each, Empty for a group that did not
// take part.
std::vector<CComVariant> GroupsOf(icu::RegexMatcher& m, const icu::UnicodeString& text) {
    std::vector<CComVariant> groups;
    UErrorCode status = U_ZERO_ERROR;
    for (int32_t g = 1; g <= m.groupCount(); ++g) {
        int32_t start = m.start(g, status);
        if (U_FAILURE(status) || start < 0) {
            groups.emplace_back();
            status = U_ZERO_ERROR;
            continue;
        }
        int32_t end = m.end(g, status);
        groups.emplace_back(BSTR(FromIcu(icu::UnicodeString(text, start, end - start))));
    }
    return groups;
}

// Expands $-references of the replacement text for the current match.
void AppendReplacement(icu::RegexMatcher& m, const icu::UnicodeString& text,
                       std::u16string_view with, std::u16string& out) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t start = m.start(status), end = m.end(status);
    const int32_t groups = m.groupCount();
    for (std::size_t i = 0; i < with.size(); ++i) {
        char16_t c = with[i];
        if (c != u'$' || i + 1 >= with.size()) {
            out += c;
            continue;
        }
        char16_t n = with[i + 1];
        if (n == u'$') {
            out += u'$';
            ++i;
        } else if (n == u'&') {
            out += FromIcu(icu::UnicodeString(text, start, end - start));
            ++i;
        } else if (n == u'`') {
            out += FromIcu(icu::UnicodeString(text, 0, start));
            ++i;
        } else if (n == u'\'') {
            out += FromIcu(icu::UnicodeString(text, end));
            ++i;
        } else if (n >= u'0' && n <= u'9') {
            int group = n - u'0';
            std::size_t used = 1;
            if (i + 2 < with.size() && with[i + 2] >= u'0' && with[i + 2] <= u'9' &&
                group * 10 + (with[i + 2] - u'0') <= groups) {
                group = group * 10 + (with[i + 2] - u'0');
                used = 2;
            }
            if (group < 1 || group > groups) {
                out += c;  // not a reference: the text stays
                continue;
            }
            int32_t gs = m.start(group, status);
            if (U_SUCCESS(status) && gs >= 0)
                out += FromIcu(icu::UnicodeString(text, gs, m.end(group, status) - gs));
            status = U_ZERO_ERROR;
            i += used;
        } else {
            out += c;
        }
    }
}

}  // namespace

const CDispatchTable& CRegExp::GetDispatchTable() {
    static const CDispatchTable table(
        u"IRegExp2", {
                         DispGet<&CRegExp::get_Pattern>(u"Pattern", kPattern),
                         DispPut<&CRegExp::put_Pattern>(u"Pattern", kPattern),
                         DispGet<&CRegExp::get_IgnoreCase>(u"IgnoreCase", kIgnoreCase),
                         DispPut<&CRegExp::put_IgnoreCase>(u"IgnoreCase", kIgnoreCase),
                         DispGet<&CRegExp::get_Global>(u"Global", kGlobal),
                         DispPut<&CRegExp::put_Global>(u"Global", kGlobal),
                         DispGet<&CRegExp::get_Multiline>(u"Multiline", kMultiline),
                         DispPut<&CRegExp::put_Multiline>(u"Multiline", kMultiline),
                         DispMethod<&CRegExp::Execute>(u"Execute", kExecute),
                         DispMethod<&CRegExp::Test>(u"Test", kTest),
                         DispMethod<&CRegExp::Replace>(u"Replace", kReplace),
                     });
    return table;
}

HRESULT CRegExp::get_Pattern(BSTR* pPattern) {
    *pPattern = m_pattern;
    return S_OK;
}

HRESULT CRegExp::put_Pattern(BSTR pattern) {
    m_pattern = pattern.IsNull() ? BSTR::Empty() : std::move(pattern);
    m_compiled.reset();
    return S_OK;
}

HRESULT CRegExp::get_IgnoreCase(bool* pValue) {
    *pValue = m_ignoreCase;
    return S_OK;
}

HRESULT CRegExp::put_IgnoreCase(bool value) {
    m_ignoreCase = value;
    m_compiled.reset();
    return S_OK;
}

HRESULT CRegExp::get_Global(bool* pValue) {
    *pValue = m_global;
    return S_OK;
}

HRESULT CRegExp::put_Global(bool value) {
    m_global = value;
    return S_OK;
}

HRESULT CRegExp::get_Multiline(bool* pValue) {
    *pValue = m_multiline;
    return S_OK;
}

HRESULT CRegExp::put_Multiline(bool value) {
    m_multiline = value;
    m_compiled.reset();
    return S_OK;
}

HRESULT CRegExp::Compiled(icu::RegexPattern** ppPattern) {
    if (!m_compiled) {
        std::u16string translated;
        HRESULT hr = TranslateRegExpPattern(m_pattern.View(), m_multiline, &translated);
        if (FAILED(hr))
            return hr;
        uint32_t flags = UREGEX_UNIX_LINES;
        if (m_ignoreCase)
            flags |= UREGEX_CASE_INSENSITIVE;
        if (m_multiline)
            flags |= UREGEX_MULTILINE;
        UParseError parseError{};
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexPattern> compiled(
            icu::RegexPattern::compile(ToIcu(translated), flags, parseError, status));
        if (U_FAILURE(status)) {
            if (status == U_MEMORY_ALLOCATION_ERROR)
                return E_OUTOFMEMORY;
            // What the translation let through and ICU still refuses is a syntax error.
            return status == U_REGEX_MISSING_CLOSE_BRACKET ? VBScriptError(5019)
                   : status == U_REGEX_MISMATCHED_PAREN    ? VBScriptError(5020)
                                                           : VBScriptError(5017);
        }
        m_compiled = std::move(compiled);
    }
    *ppPattern = m_compiled.get();
    return S_OK;
}

HRESULT CRegExp::Matcher(const icu::UnicodeString& text, std::unique_ptr<icu::RegexMatcher>* out) {
    icu::RegexPattern* pattern = nullptr;
    HRESULT hr = Compiled(&pattern);
    if (FAILED(hr))
        return hr;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
    if (U_FAILURE(status))
        return CheckResultValue(SearchStatus(status));
    matcher->setTimeLimit(kMatchTimeLimit, status);
    *out = std::move(matcher);
    return S_OK;
}

HRESULT CRegExp::Test(BSTR source, bool* pMatched) {
    try {
        icu::UnicodeString text = ToIcu(source.View());
        std::unique_ptr<icu::RegexMatcher> matcher;
        HRESULT hr = Matcher(text, &matcher);
        if (FAILED(hr))
            return hr;
        UErrorCode status = U_ZERO_ERROR;
        *pMatched = matcher->find(status);
        return U_FAILURE(status) ? SearchStatus(status) : S_OK;
    } catch (...) {
        return ReportException("CRegExp::Test", CV_HERE);
    }
}

HRESULT CRegExp::Execute(BSTR source, IDispatch** ppMatches) {
    try {
        icu::UnicodeString text = ToIcu(source.View());
        std::unique_ptr<icu::RegexMatcher> matcher;
        HRESULT hr = Matcher(text, &matcher);
        if (FAILED(hr))
            return hr;
        std::vector<CComPtr<CMatch>> matches;
        UErrorCode status = U_ZERO_ERROR;
        while (matcher->find(status)) {
            int32_t start = matcher->start(status), end = matcher->end(status);
            CComPtr<CMatch> match =
                MakeObject<CMatch>(&hr, BSTR(FromIcu(icu::UnicodeString(text, start, end - start))),
                                   start, GroupsOf(*matcher, text));
            if (FAILED(hr))
                return hr;
            matches.push_back(std::move(match));
            if (!m_global)
                break;
        }
        if (U_FAILURE(status))
            return SearchStatus(status);
        CComPtr<CMatchCollection> collection =
            MakeObject<CMatchCollection>(&hr, std::move(matches));
        if (FAILED(hr))
            return hr;
        *ppMatches = collection.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CRegExp::Execute", CV_HERE);
    }
}

HRESULT CRegExp::Replace(BSTR source, const VARIANT& replacement, BSTR* pResult) {
    try {
        CComVariant with;
        HRESULT hr = VariantChangeType(&with, &replacement, 0, VT_BSTR);
        if (FAILED(hr))
            return VBStatus(hr);
        icu::UnicodeString text = ToIcu(source.View());
        std::unique_ptr<icu::RegexMatcher> matcher;
        if (FAILED(hr = Matcher(text, &matcher)))
            return hr;
        std::u16string out;
        int32_t copied = 0;
        UErrorCode status = U_ZERO_ERROR;
        while (matcher->find(status)) {
            int32_t start = matcher->start(status);
            out += FromIcu(icu::UnicodeString(text, copied, start - copied));
            AppendReplacement(*matcher, text, with.Text(), out);
            copied = matcher->end(status);
            if (!m_global)
                break;
        }
        if (U_FAILURE(status))
            return SearchStatus(status);
        out += FromIcu(icu::UnicodeString(text, copied));
        *pResult = BSTR(std::move(out));
        return S_OK;
    } catch (...) {
        return ReportException("CRegExp::Replace", CV_HERE);
    }
}
