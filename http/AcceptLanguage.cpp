// Reading "Accept-Language": elements, tags and qualities.
#include "http/AcceptLanguage.h"

#include <algorithm>
#include <string>

#include "com/DiagnosticLog.h"
#include "com/Locale.h"

namespace {

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The quality of one element's parameters (";q=0.5"), in thousandths: 1000 without a
// readable "q=" parameter.
ULONG ReadQuality(std::string_view params) {
    while (!params.empty()) {
        const auto semicolon = params.find(';');
        const std::string_view param = Trim(params.substr(0, semicolon));
        params =
            semicolon == std::string_view::npos ? std::string_view() : params.substr(semicolon + 1);
        if (param.size() < 2 || (param[0] != 'q' && param[0] != 'Q'))
            continue;
        std::string_view value = Trim(param.substr(1));
        if (value.empty() || value[0] != '=')
            continue;
        value = Trim(value.substr(1));
        if (value.empty() || !IsDigit(value[0]))
            continue;
        ULONG quality = static_cast<ULONG>(value[0] - '0') * 1000;
        if (value.size() > 1 && value[1] == '.') {
            ULONG scale = 100;
            for (std::size_t i = 2; i < value.size() && i < 5 && IsDigit(value[i]); ++i) {
                quality += static_cast<ULONG>(value[i] - '0') * scale;
                scale /= 10;
            }
        }
        return std::min<ULONG>(quality, 1000);
    }
    return 1000;
}

}  // namespace

HRESULT CAcceptLanguage::Parse(std::string_view header, std::vector<Candidate>* pCandidates) {
    if (CheckExpression(!pCandidates))
        return E_POINTER;
    try {
        pCandidates->clear();
        while (!header.empty()) {
            const auto comma = header.find(',');
            const std::string_view element = header.substr(0, comma);
            header =
                comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
            const auto semicolon = element.find(';');
            const std::string_view tag = Trim(element.substr(0, semicolon));
            if (tag.empty())
                continue;
            if (tag == "*") {
                pCandidates->clear();
                break;
            }
            const ULONG quality = semicolon == std::string_view::npos
                                      ? 1000
                                      : ReadQuality(element.substr(semicolon + 1));
            if (quality == 0)
                continue;
            const LCID lcid = LcidFromRfc1766(tag);
            if (lcid == 0) {
                LogTrace("Accept-Language: no LCID for the tag \"%.*s\"",
                         static_cast<int>(std::min<std::size_t>(tag.size(), 64)), tag.data());
                continue;
            }
            pCandidates->push_back({quality, lcid});
        }
        std::stable_sort(
            pCandidates->begin(), pCandidates->end(),
            [](const Candidate& a, const Candidate& b) { return a.nQuality > b.nQuality; });
        // After sorting, the first of equal LCIDs is the one with the best quality.
        std::vector<Candidate> unique;
        for (const Candidate& c : *pCandidates) {
            if (std::none_of(unique.begin(), unique.end(),
                             [&](const Candidate& u) { return u.lcid == c.lcid; }))
                unique.push_back(c);
        }
        pCandidates->swap(unique);
        return S_OK;
    } catch (...) {
        pCandidates->clear();
        return ReportException("CAcceptLanguage::Parse", CV_HERE);
    }
}

HRESULT CAcceptLanguage::Choose(std::string_view header, LCID sessionLcid,
                                std::vector<LCID>* pLcids) {
    if (CheckExpression(!pLcids))
        return E_POINTER;
    try {
        pLcids->clear();
        std::vector<Candidate> candidates;
        const HRESULT hr = Parse(header, &candidates);
        if (FAILED(hr))
            return hr;
        for (const Candidate& c : candidates)
            pLcids->push_back(c.lcid);
        if (pLcids->empty())
            pLcids->push_back(sessionLcid);
        return S_OK;
    } catch (...) {
        pLcids->clear();
        return ReportException("CAcceptLanguage::Choose", CV_HERE);
    }
}
