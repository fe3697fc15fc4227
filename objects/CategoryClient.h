// CCategoryClient: asks a classification server which categories a URL belongs to,
// over the URL category protocol (CCategoryProtocol), on one blocking TCP connection.
//
// The server is named "host" or "host:port" (port 4004 when none is written). An
// unreachable server, a server that closes the connection before its reply is complete,
// and a reply that is not a positive answer give false with S_OK; a URL that cannot be
// parsed or is too long is E_INVALIDARG; a host name of the URL that does not resolve,
// and errors while sending or receiving, are failure statuses with the Winsock number.
// Sends, receives and the connect give up after 30 seconds.
#pragma once

#include <string>
#include <string_view>

#include "com/HResult.h"

class CCategoryClient {
public:
    // On a positive answer *pstrCategories is the categories joined by "/" (empty for
    // none) and *pbSuccess true.
    static HRESULT Query(std::string_view strServer, std::string_view strURL,
                         std::string* pstrCategories, bool* pbSuccess);
};
