// CHTTPClassifier: the classifier of one HTTP request on a relayed connection.
//
// Detection makes one for every request that the relay classifies. `PreClassify` parses
// the request's line and headers (relay mode) from the chunks the application has sent,
// keeping what has arrived until the headers are complete, and names the request's full
// URL, which the relay remembers so that later requests for the same URL on the
// connection pass without a new classification. `Classify` hands the request to the
// installed filter policy (the site's scripts), or lets it through when there is none.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "com/Unknown.h"
#include "http/HTTPRequest.h"
#include "passthru/Classifier.h"

class CHTTPClassifier : public CClassifier {
public:
    explicit CHTTPClassifier(CComPtr<IUnknown> ptrSession);
    virtual ~CHTTPClassifier() = default;

    HRESULT PreClassify(CBuffer* buffer, const std::string& strHostName, bool& bMoreRequired,
                        std::string& strHost) override;
    HRESULT Classify(CPassthru* pPassthru) override;
    std::string ServerName() const override;

    const CHTTPRequest& Request() const { return m_request; }
    // Parses `chunk` as a request's line and headers; true when they are complete and
    // valid. The relay's request watch does this for a later request on the connection,
    // and hands the classifier on when the request is to be classified.
    bool ParseHead(std::string_view chunk, const std::string& strHostName);

private:
    CHTTPRequest m_request;
    // Every byte of the request received so far: the parser wants them from the first.
    std::string m_strReceived;
};
