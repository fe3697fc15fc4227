// CScriptFilterPolicy: relayed connections judged by the site's application script.
//
// Each question runs in a fresh instance of "global.asa" with the process session as
// "User" and the connection as "Connection":
// - `Filtering_IsProtocolAllowed(protocol, "address:port")` for every connection: only a
//   Boolean True lets it go on; a site without the function lets everything go on; a
//   session whose process has ended, a site that cannot be loaded, any failure or any
//   other answer closes the connection.
// - `Filtering_IsHTTPAllowed(Request, full URL)` for every HTTP request, with "Filter"
//   through which the script gives its verdict. A missing function or a failure closes
//   the connection; a script error the host has reported leaves the data held (unless the
//   script had decided before it); a script that returns without a verdict leaves it held.
#pragma once

#include "passthru/FilterPolicy.h"

class CScriptFilterPolicy : public CFilterPolicy {
public:
    bool IsProtocolAllowed(const CConnectionFacts& facts) override;
    HRESULT ClassifyRequest(const CConnectionFacts& facts, const CHTTPRequest& request,
                            IFilterDecision* pDecision) override;
};
