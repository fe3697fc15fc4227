// Splits URLs into their parts with libcurl's URL parser, the program's one URL cracker.
//
// The HTTP layer asks two kinds of question of a URL: "is this text an absolute URL
// with a scheme, a host and a path?" (to tell the request-target forms apart and to
// check a Host header) and "what are the path and the query of this URL?" (for the
// request's accessors). Both go through `Crack`. Parts come back exactly as written:
// paths keep their dot segments and percent-encoding is left as it is, so what the
// program shows a script is what the client sent.
#pragma once

#include <string>
#include <string_view>

#include "com/HResult.h"

class CURLCracker {
public:
    struct Parts {
        std::string strScheme;  // lower-cased by the parser
        std::string strHost;    // IPv6 literals keep their brackets
        std::string strPort;    // empty when the URL names none
        std::string strPath;    // "/" at least
        std::string strQuery;   // without the '?'
        bool bHasUserInfo = false;
        bool bHasQuery = false;
        bool bHasFragment = false;
    };

    // Cracks an absolute URL. S_OK with the parts filled in; S_FALSE when the text is
    // not an absolute URL with a scheme the parser knows and a host (a bare path, a
    // host without a scheme, a URL with spaces or control characters, a port over
    // 65535); E_OUTOFMEMORY when the parser runs out of memory. Only the last is a
    // failure: the first two are answers.
    static HRESULT Crack(std::string_view url, Parts* pParts);

    // Cracks a request target in origin form ("/path?query") as the path and query of a
    // URL on some host: the answer of Crack for an origin followed by the target, with
    // the scheme, host and port left empty. A target of plain characters (every request
    // a browser sends, nearly) is split here without the parser's allocations.
    static HRESULT CrackOriginForm(std::string_view target, Parts* pParts);
};
