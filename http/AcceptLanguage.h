// CAcceptLanguage: the languages a client asks for, as LCIDs in the order to try them.
//
// The local web server looks for a page in the client's best language first. An
// "Accept-Language" header ("de;q=0.5, en, fr-CH;q=0.8") lists RFC 1766 language tags,
// each with an optional quality between 0 and 1 (up to three decimals, in thousandths
// here; no quality means 1). Candidates are tried from the highest quality down, equal
// qualities in the order the header gives them. Tags are mapped to LCIDs through ICU
// with their likely subtags ("de" is German (Germany), 0x407).
//
// Rules for the odd cases:
// - "*" (any language) discards every candidate before it and ends the list: the
//   session's language is used.
// - A quality of 0 means "not acceptable": that language is not a candidate.
// - A tag that ICU does not know is passed over (logged): one unusual language in a
//   browser's list must not make every local page fail.
// - An LCID that an earlier element already gave is not tried twice.
// - Qualities above 1 count as 1; an element without a tag is skipped.
#pragma once

#include <string_view>
#include <vector>

#include "com/HResult.h"
#include "com/Types.h"

class CAcceptLanguage {
public:
    struct Candidate {
        ULONG nQuality;  // thousandths: 1000 is q=1
        LCID lcid;
        friend bool operator==(const Candidate&, const Candidate&) = default;
    };

    // The header's candidates in the order to try them; empty when it names no language
    // that can be used.
    static HRESULT Parse(std::string_view header, std::vector<Candidate>* pCandidates);

    // The LCIDs to try for a request: the header's candidates, or `sessionLcid` alone
    // when there are none (or no header).
    static HRESULT Choose(std::string_view header, LCID sessionLcid, std::vector<LCID>* pLcids);
};
