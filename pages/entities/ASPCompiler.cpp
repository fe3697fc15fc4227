// The ASP page compiler: scanning, directives, script blocks, includes and the
// generated body script.
#include "pages/entities/ASPCompiler.h"

#include <algorithm>

#include "com/CodePage.h"
#include "com/DiagnosticLog.h"
#include "com/Locale.h"
#include "com/Strings.h"
#include "pages/TextPage.h"
#include "pages/entities/WriteFormats.h"

namespace {

// In rank order: the ASP pair is searched first on every line.
constexpr CASPCompiler::DelimiterPair kPagePairs[] = {
    {u"<%", u"%>"},
    {u"<SCRIPT", u"</SCRIPT>"},
    {u"<!--", u"-->"},
};

char16_t UpperAscii(char16_t ch) {
    return ch >= u'a' && ch <= u'z' ? static_cast<char16_t>(ch - (u'a' - u'A')) : ch;
}

// The index of strNeedle (upper-case ASCII) in strText from nFrom on, in any letter case.
size_t FindNoCase(std::u16string_view strText, size_t nFrom, std::u16string_view strNeedle) {
    if (strText.size() < strNeedle.size())
        return std::u16string_view::npos;
    for (size_t i = nFrom; i + strNeedle.size() <= strText.size(); ++i) {
        size_t k = 0;
        while (k < strNeedle.size() && UpperAscii(strText[i + k]) == strNeedle[k])
            ++k;
        if (k == strNeedle.size())
            return i;
    }
    return std::u16string_view::npos;
}

// The white space of a formatted scan.
bool IsScanSpace(char16_t ch) {
    return ch == u' ' || (ch >= u'\t' && ch <= u'\r');
}

void SkipSpace(std::u16string_view str, size_t& nPos) {
    while (nPos < str.size() && IsScanSpace(str[nPos]))
        ++nPos;
}

bool Expect(std::u16string_view str, size_t& nPos, std::u16string_view strWord) {
    if (str.substr(nPos, strWord.size()) != strWord)
        return false;
    nPos += strWord.size();
    return true;
}

// Reads 1 to nMax characters that are not in strStop.
bool ReadUntil(std::u16string_view str, size_t& nPos, std::u16string_view strStop, size_t nMax,
               std::u16string* pstrOut) {
    const size_t nStart = nPos;
    while (nPos < str.size() && nPos - nStart < nMax &&
           strStop.find(str[nPos]) == std::u16string_view::npos)
        ++nPos;
    *pstrOut = std::u16string(str.substr(nStart, nPos - nStart));
    return nPos > nStart;
}

// A directive token: a name of 1 to 19 characters other than '=', then '=', then a
// value running to the next white space (at most 128 characters of it are used).
bool ReadDirectiveToken(std::u16string_view strToken, std::u16string* pstrName,
                        std::u16string* pstrValue) {
    size_t nPos = 0;
    if (!ReadUntil(strToken, nPos, u"=", 19, pstrName) || !Expect(strToken, nPos, u"="))
        return false;
    SkipSpace(strToken, nPos);
    const size_t nStart = nPos;
    while (nPos < strToken.size() && nPos - nStart < 128 && !IsScanSpace(strToken[nPos]))
        ++nPos;
    *pstrValue = std::u16string(strToken.substr(nStart, nPos - nStart));
    return nPos > nStart;
}

// A decimal number with nothing after it that fits 32 bits.
bool ParseDecimal(std::u16string_view strValue, ULONG* pulValue) {
    if (strValue.empty() || strValue.size() > 10)
        return false;
    unsigned long long ullValue = 0;
    for (char16_t ch : strValue) {
        if (ch < u'0' || ch > u'9')
            return false;
        ullValue = ullValue * 10 + (ch - u'0');
    }
    if (ullValue > 0xFFFFFFFFull)
        return false;
    *pulValue = static_cast<ULONG>(ullValue);
    return true;
}

void LogText(std::string_view strPrefix, std::u16string_view strText, const SourceLocation& where) {
    WriteLog(std::string(strPrefix) + Utf16ToUtf8(strText), &where);
}

}  // namespace

CASPCompiler::CASPCompiler(Target& target, PageLoader loader, CWriteFormats& formats, LCID lcid)
    : m_target(target),
      m_loader(std::move(loader)),
      m_formats(formats),
      m_lcid(lcid),
      m_uCodePage(GetACP()) {}

HRESULT CASPCompiler::Compile(ITextPage* pPage) {
    if (CheckExpression(!pPage))
        return E_POINTER;
    try {
        BSTR strName;
        HRESULT hr = pPage->GetName(&strName);
        if (!CheckResult(hr))
            return hr;
        std::list<std::u16string> listIncludes{strName.Str()};
        PreparedPage page;
        hr = ParsePage(pPage, nullptr, listIncludes, page);
        if (!CheckResult(hr))
            return hr;
        // One body script for the page and its includes, handed over after the server
        // scripts of all of them.
        std::u16string strScript;
        ScriptMap arrMap;
        hr = EmitBody(page, strScript, arrMap);
        if (!CheckResult(hr))
            return hr;
        return CheckResultValue(m_target.AddScript(BSTR(m_strLanguage), BSTR(std::move(strScript)),
                                                   page.dwContext, arrMap));
    } catch (...) {
        return ReportException("CASPCompiler::Compile", CV_HERE);
    }
}

HRESULT CASPCompiler::ScanBlocks(ITextPage* pPage, std::vector<ParseBlock>* parrBlocks) {
    return ScanBlocks(pPage, kPagePairs, parrBlocks);
}

HRESULT CASPCompiler::ScanBlocks(ITextPage* pPage, std::span<const DelimiterPair> kPairs,
                                 std::vector<ParseBlock>* parrBlocks) {
    if (CheckExpression(!pPage || !parrBlocks))
        return E_POINTER;
    if (CheckExpression(kPairs.empty() || kPairs.size() > 3))
        return E_INVALIDARG;
    const int nPairs = static_cast<int>(kPairs.size());
    try {
        std::vector<ParseBlock>& arrBlocks = *parrBlocks;
        arrBlocks.clear();
        int nOpen = -1;       // the pair whose block is open, -1 for none
        ULONG ulLastEnd = 0;  // end of the last closed block: where literal text starts
        ULONG ulBlockStart = 0;
        ULONG ulEnd = 0;
        for (ULONG ulLine = 0;; ++ulLine) {
            BSTR strLine;
            ULONG ulLinePos = 0;
            HRESULT hr = pPage->GetLine(ulLine, &strLine, &ulLinePos);
            if (!CheckResult(hr))
                return hr;
            if (hr == S_FALSE) {
                ulEnd = ulLinePos;
                break;
            }
            const std::u16string_view strText = strLine.View();
            size_t nRest = 0;  // what is left of the line starts here
            // The next occurrence of each delimiter at or after nRest, found once per
            // line and searched again only when nRest has passed it.
            constexpr size_t kUnknown = std::u16string_view::npos - 1;
            size_t arrNextOpen[3] = {kUnknown, kUnknown, kUnknown};
            size_t arrNextClose[3] = {kUnknown, kUnknown, kUnknown};
            const auto Next = [&](size_t& nCached, std::u16string_view strDelimiter) {
                if (nCached == kUnknown ||
                    (nCached != std::u16string_view::npos && nCached < nRest))
                    nCached = FindNoCase(strText, nRest, strDelimiter);
                return nCached;
            };
            for (;;) {
                // The first opening of a pair that may open here: any pair when no block
                // is open, else only a pair of higher rank than the open one.
                size_t nOpening = std::u16string_view::npos;
                int nOpeningPair = -1;
                const int nCandidates = nOpen < 0 ? nPairs : nOpen;
                for (int nPair = 0; nPair < nCandidates; ++nPair) {
                    const size_t i = Next(arrNextOpen[nPair], kPairs[nPair].strOpen);
                    if (i < nOpening) {
                        nOpening = i;
                        nOpeningPair = nPair;
                    }
                }
                if (nOpen >= 0) {
                    const size_t j = Next(arrNextClose[nOpen], kPairs[nOpen].strClose);
                    if (j != std::u16string_view::npos && j < nOpening) {
                        const ULONG ulBlockEnd =
                            ulLinePos + static_cast<ULONG>(j + kPairs[nOpen].strClose.size());
                        arrBlocks.push_back({nOpen + 1, ulBlockStart, ulBlockEnd - ulBlockStart});
                        ulLastEnd = ulBlockEnd;
                        nRest = j + kPairs[nOpen].strClose.size();
                        nOpen = -1;
                        continue;
                    }
                }
                if (nOpeningPair < 0)
                    break;
                // An opening of higher rank inside a pending block ends that block: its
                // text stays literal (ASP code inside a comment or a client script runs).
                const ULONG ulStart = ulLinePos + static_cast<ULONG>(nOpening);
                if (ulStart > ulLastEnd)
                    arrBlocks.push_back({kLiteral, ulLastEnd, ulStart - ulLastEnd});
                ulLastEnd = ulStart;
                ulBlockStart = ulStart;
                nOpen = nOpeningPair;
                nRest = nOpening + kPairs[nOpeningPair].strOpen.size();
            }
        }
        // An unterminated block and everything after it are literal text.
        if (ulEnd > ulLastEnd)
            arrBlocks.push_back({kLiteral, ulLastEnd, ulEnd - ulLastEnd});
        return S_OK;
    } catch (...) {
        return ReportException("CASPCompiler::ScanBlocks", CV_HERE);
    }
}

HRESULT CASPCompiler::ParsePage(ITextPage* pPage, ITextPage* pParent,
                                std::list<std::u16string>& listIncludes, PreparedPage& prepared) {
    std::vector<ParseBlock> arrBlocks;
    HRESULT hr = ScanBlocks(pPage, &arrBlocks);
    if (!CheckResult(hr))
        return hr;
    prepared.ptrPage = pPage;
    hr = m_target.AddScriptPage(pPage, pParent, &prepared.dwContext);
    if (!CheckResult(hr))
        return hr;

    for (ParseBlock& block : arrBlocks) {
        switch (block.nKind) {
            case kASP:
                hr = ParseASPDirectives(block, pPage);
                break;
            case kScript:
                hr = ParseScriptBlock(block, pPage, pParent);
                break;
            case kComment:
                hr = ParseCommentBlock(block, pPage, pParent, listIncludes, prepared);
                break;
            default:
                hr = S_OK;
                break;
        }
        if (!CheckResult(hr))
            return hr;
    }

    // Neighbouring literal blocks become one write.
    prepared.arrBlocks.reserve(arrBlocks.size());
    for (const ParseBlock& block : arrBlocks) {
        if (block.nKind == kLiteral && !prepared.arrBlocks.empty() &&
            prepared.arrBlocks.back().nKind == kLiteral)
            prepared.arrBlocks.back().ulLength += block.ulLength;
        else
            prepared.arrBlocks.push_back(block);
    }

    // A page without a LANGUAGE directive fixes the language once it has been read, so a
    // directive after an include of such a page is a second one.
    if (m_strLanguage.empty())
        m_strLanguage = u"VBScript";
    return S_OK;
}

HRESULT CASPCompiler::EmitBody(const PreparedPage& page, std::u16string& strScript,
                               ScriptMap& arrMap) {
    size_t nInclude = 0;
    for (const ParseBlock& block : page.arrBlocks) {
        HRESULT hr = S_OK;
        if (block.nKind == kLiteral) {
            hr = InsertContent(block, page.ptrPage.Get(), strScript);
        } else if (block.nKind == kASP) {
            hr = ParseASPBlock(block, page.ptrPage.Get(), page.dwContext, strScript, arrMap);
        } else if (block.nKind == kComment) {
            // Only includes are left as comments.
            if (CheckExpression(nInclude >= page.arrIncludes.size()))
                return E_UNEXPECTED;
            hr = EmitBody(*page.arrIncludes[nInclude++], strScript, arrMap);
        }
        if (!CheckResult(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CASPCompiler::ParseASPDirectives(const ParseBlock& block, ITextPage* pPage) {
    BSTR strText;
    HRESULT hr = pPage->GetText(block.ulCharStart, block.ulLength, &strText);
    if (!CheckResult(hr))
        return hr;
    const std::u16string_view strBlock = strText.View();
    if (strBlock.size() < 5 || strBlock[2] != u'@')
        return S_OK;
    const std::u16string strDirective(strBlock.substr(3, strBlock.size() - 5));
    size_t nPos = 0;
    while (nPos < strDirective.size()) {
        size_t nNext = strDirective.find(u' ', nPos);
        if (nNext == std::u16string::npos)
            nNext = strDirective.size();
        const std::u16string_view strToken =
            std::u16string_view(strDirective).substr(nPos, nNext - nPos);
        nPos = nNext + 1;
        if (strToken.empty())
            continue;
        std::u16string strName;
        std::u16string strValue;
        if (!ReadDirectiveToken(strToken, &strName, &strValue)) {
            LogText("Invalid directive", strDirective, CV_HERE);
            return E_INVALIDARG;
        }
        hr = ApplyDirective(ToUpperSimple(strName), strValue);
        if (!CheckResult(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CASPCompiler::ApplyDirective(const std::u16string& strName,
                                     const std::u16string& strValue) {
    if (strName == u"LANGUAGE") {
        const bool bLanguageSet = !m_strLanguage.empty();
        if (CheckExpression(bLanguageSet))
            return E_UNEXPECTED;
        m_strLanguage = strValue;
        return S_OK;
    }
    if (strName == u"LCID") {
        if (strValue == u"LOCALE_SYSTEM_DEFAULT") {
            m_lcid = GetSystemDefaultLCID();
            return S_OK;
        }
        if (strValue == u"LOCALE_USER_DEFAULT")
            return S_OK;
        ULONG ulLcid = 0;
        if (CheckExpression(!ParseDecimal(strValue, &ulLcid) ||
                            !IsValidLocale(ulLcid, LCID_INSTALLED)))
            return E_INVALIDARG;
        m_lcid = ulLcid;
        return S_OK;
    }
    if (strName == u"CODEPAGE") {
        ULONG ulCodePage = 0;
        if (CheckExpression(!ParseDecimal(strValue, &ulCodePage) || !IsValidCodePage(ulCodePage)))
            return E_INVALIDARG;
        m_uCodePage = ulCodePage;
        return S_OK;
    }
    LogText("Invalid operator", strName, CV_HERE);
    return E_INVALIDARG;
}

bool CASPCompiler::ReadScriptTag(std::u16string_view strBlock, ULONG ulBlockStart,
                                 ScriptTag* pTag) {
    std::u16string strTag;
    std::map<std::u16string, std::u16string> mapAttribs;
    int nEndPos = -1;
    if (!CTextPage::AttribParse(std::u16string(strBlock), strTag, mapAttribs, nEndPos) ||
        strTag != u"SCRIPT")
        return false;
    const auto itRunAt = mapAttribs.find(u"RUNAT");
    pTag->bServer = itRunAt != mapAttribs.end() && ToUpperSimple(itRunAt->second) == u"SERVER";
    const auto itLanguage = mapAttribs.find(u"LANGUAGE");
    pTag->strLanguage =
        itLanguage == mapAttribs.end() ? std::u16string(u"VBScript") : itLanguage->second;
    // The script is what stands between the start tag and "</SCRIPT>".
    constexpr size_t kEndTagLength = 9;
    const size_t nLength = strBlock.size();
    const size_t nStart = std::min(static_cast<size_t>(std::max(nEndPos, 0)), nLength);
    const size_t nScript = nLength - nStart >= kEndTagLength ? nLength - nStart - kEndTagLength : 0;
    pTag->strScript = std::u16string(strBlock.substr(nStart, nScript));
    pTag->ulScriptStart = ulBlockStart + static_cast<ULONG>(nStart);
    return true;
}

HRESULT CASPCompiler::ParseScriptBlock(ParseBlock& block, ITextPage* pPage, ITextPage* pParent) {
    BSTR strText;
    HRESULT hr = pPage->GetText(block.ulCharStart, block.ulLength, &strText);
    if (!CheckResult(hr))
        return hr;
    // Only a SCRIPT tag that says RUNAT=SERVER runs here; any other tag that begins
    // with "<SCRIPT" goes to the client as text.
    ScriptTag tag;
    if (!ReadScriptTag(strText.View(), block.ulCharStart, &tag) || !tag.bServer) {
        block.nKind = kLiteral;
        return S_OK;
    }
    DWORD dwContext = 0;
    hr = m_target.AddScriptPage(pPage, pParent, &dwContext);
    if (!CheckResult(hr))
        return hr;
    const std::vector<CScriptEngine::ScriptBlock> arrMap{
        {0, tag.ulScriptStart, static_cast<ULONG>(tag.strScript.size()), dwContext}};
    return CheckResultValue(m_target.AddScript(BSTR(tag.strLanguage),
                                               BSTR(std::move(tag.strScript)), dwContext, arrMap));
}

bool CASPCompiler::ReadIncludeComment(std::u16string_view str, std::u16string* pstrKeyword,
                                      std::u16string* pstrName) {
    // <!-- #include keyword = "name" -->, white space optional; what follows the
    // name's closing quote is not looked at.
    size_t nPos = 0;
    if (!Expect(str, nPos, u"<!--"))
        return false;
    SkipSpace(str, nPos);
    const bool bInclude =
        Expect(str, nPos, u"#include") &&
        (SkipSpace(str, nPos), ReadUntil(str, nPos, u"= \t\n", 31, pstrKeyword)) &&
        (SkipSpace(str, nPos), Expect(str, nPos, u"=")) &&
        (SkipSpace(str, nPos), Expect(str, nPos, u"\"")) &&
        ReadUntil(str, nPos, u"\"", 260, pstrName) && Expect(str, nPos, u"\"");
    if (bInclude)
        *pstrKeyword = ToUpperSimple(*pstrKeyword);
    return bInclude;
}

HRESULT CASPCompiler::ParseCommentBlock(ParseBlock& block, ITextPage* pPage, ITextPage* pParent,
                                        std::list<std::u16string>& listIncludes,
                                        PreparedPage& prepared) {
    BSTR strText;
    HRESULT hr = pPage->GetText(block.ulCharStart, block.ulLength, &strText);
    if (!CheckResult(hr))
        return hr;
    std::u16string strKeyword;
    std::u16string strName;
    if (!ReadIncludeComment(strText.View(), &strKeyword, &strName)) {
        block.nKind = kLiteral;
        return S_OK;
    }
    DWORD dwContext = 0;
    hr = m_target.AddScriptPage(pPage, pParent, &dwContext);
    if (!CheckResult(hr))
        return hr;
    if (strKeyword == u"FILE")
        return CheckResultValue(IncludeFile(false, strName, pPage, listIncludes, prepared));
    if (strKeyword == u"VIRTUAL")
        return CheckResultValue(IncludeFile(true, strName, pPage, listIncludes, prepared));
    LogText("Bad source comment ", strKeyword, CV_HERE);
    return E_UNEXPECTED;
}

HRESULT CASPCompiler::LoadIncludedPage(const PageLoader& loader, LCID lcid, bool bVirtual,
                                       const std::u16string& strName,
                                       const std::list<std::u16string>& listIncludes,
                                       ITextPage** ppPage) {
    *ppPage = nullptr;
    if (CheckExpression(std::find(listIncludes.begin(), listIncludes.end(), strName) !=
                        listIncludes.end())) {
        LogText("Include cycle: the page includes itself through ", strName, CV_HERE);
        return E_UNEXPECTED;
    }
    if (CheckExpression(listIncludes.size() > kMaxIncludeDepth)) {
        LogText(
            "Includes nested more than 32 deep (a cycle through differently written names?) "
            "at ",
            strName, CV_HERE);
        return E_UNEXPECTED;
    }
    if (CheckExpression(bVirtual))
        return E_NOTIMPL;
    if (CheckExpression(!loader))
        return E_UNEXPECTED;

    std::u16string strPath = strName;
    std::replace(strPath.begin(), strPath.end(), u'\\', u'/');
    CComPtr<IPage> ptrPage;
    HRESULT hr = loader(lcid, strPath, ptrPage.Receive());
    if (!CheckResult(hr))
        return hr;
    if (CheckExpression(!ptrPage))
        return E_UNEXPECTED;
    CComPtr<ITextPage> ptrTextPage;
    hr = ptrPage.QueryInterface(ptrTextPage);
    if (!CheckResult(hr))
        return hr;
    LONG lCodePage = 0;
    hr = ptrTextPage->GetCodePage(&lCodePage);
    if (!CheckResult(hr))
        return hr;
    if (CheckExpression(lCodePage != 1200))
        return E_UNEXPECTED;
    *ppPage = ptrTextPage.Detach();
    return S_OK;
}

HRESULT CASPCompiler::IncludeFile(bool bVirtual, const std::u16string& strName, ITextPage* pPage,
                                  std::list<std::u16string>& listIncludes,
                                  PreparedPage& including) {
    CComPtr<ITextPage> ptrTextPage;
    HRESULT hr =
        LoadIncludedPage(m_loader, m_lcid, bVirtual, strName, listIncludes, ptrTextPage.Receive());
    if (!CheckResult(hr))
        return hr;
    auto included = std::make_unique<PreparedPage>();
    listIncludes.push_back(strName);
    hr = ParsePage(ptrTextPage.Get(), pPage, listIncludes, *included);
    listIncludes.pop_back();
    if (!CheckResult(hr))
        return hr;
    including.arrIncludes.push_back(std::move(included));
    return S_OK;
}

HRESULT CASPCompiler::ParseASPBlock(const ParseBlock& block, ITextPage* pPage, DWORD dwContext,
                                    std::u16string& strScript, ScriptMap& arrMap) {
    BSTR strText;
    HRESULT hr = pPage->GetText(block.ulCharStart, block.ulLength, &strText);
    if (!CheckResult(hr))
        return hr;
    const std::u16string_view strBlock = strText.View();
    if (CheckExpression(strBlock.size() < 4))
        return E_UNEXPECTED;
    const std::u16string_view strInner = strBlock.substr(2, strBlock.size() - 4);
    const char16_t chFirst = strInner.empty() ? u'\0' : strInner[0];
    if (chFirst == u'@')
        return S_OK;
    if (chFirst == u'=') {
        CScriptEngine::ScriptBlock entry{static_cast<ULONG>(strScript.size()),
                                         block.ulCharStart + 3, block.ulLength - 5, dwContext};
        hr = FormatWrite(false, strInner.substr(1), entry.ulScriptStart, strScript);
        if (!CheckResult(hr))
            return hr;
        arrMap.push_back(entry);
        return S_OK;
    }
    arrMap.push_back({static_cast<ULONG>(strScript.size()), block.ulCharStart + 2,
                      block.ulLength - 4, dwContext});
    strScript += strInner;
    strScript += u"\r\n";
    return S_OK;
}

HRESULT CASPCompiler::InsertContent(const ParseBlock& block, ITextPage* pPage,
                                    std::u16string& strScript) {
    BSTR strText;
    HRESULT hr = pPage->GetText(block.ulCharStart, block.ulLength, &strText);
    if (!CheckResult(hr))
        return hr;
    m_arrWriteBlocks.push_back(
        {CComPtr<ITextPage>(pPage), block.ulCharStart, block.ulLength, std::move(strText)});
    const std::string strNumber = std::to_string(m_arrWriteBlocks.size() - 1);
    const std::u16string strFormat(strNumber.begin(), strNumber.end());
    ULONG ulPos = 0;
    return CheckResultValue(FormatWrite(true, strFormat, ulPos, strScript));
}

HRESULT CASPCompiler::FormatWrite(bool bBlock, std::u16string_view strText, ULONG& ulPos,
                                  std::u16string& strScript) {
    std::u16string strFormat;
    HRESULT hr = bBlock ? m_formats.LookupWriteBlock(m_strLanguage, &strFormat)
                        : m_formats.LookupWrite(m_strLanguage, &strFormat);
    if (FAILED(hr)) {
        LogText(bBlock ? "No WriteBlock format for the language "
                       : "No Write format for the "
                         "language ",
                m_strLanguage, CV_HERE);
        return hr;
    }
    const size_t p = strFormat.find(u'|');
    if (CheckExpression(p == std::u16string::npos))
        return E_UNEXPECTED;
    strScript.append(strFormat, 0, p);
    strScript += strText;
    strScript.append(strFormat, p + 1);
    ulPos += static_cast<ULONG>(p);
    return S_OK;
}
