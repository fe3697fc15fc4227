// Parsing stops at the end of the headers: the body, if any, is the destination's to
// read and is never copied here.
#include "passthru/HTTPClassifier.h"

#include "async/Buffer.h"
#include "com/DiagnosticLog.h"
#include "passthru/ConnectionObject.h"
#include "passthru/FilterPolicy.h"
#include "passthru/Passthru.h"

CHTTPClassifier::CHTTPClassifier(CComPtr<IUnknown> ptrSession)
    : m_request(std::move(ptrSession), false) {}

HRESULT CHTTPClassifier::PreClassify(CBuffer* buffer, const std::string& strHostName,
                                     bool& bMoreRequired, std::string& strHost) {
    try {
        bMoreRequired = false;
        if (m_request.State() == CHTTPRequest::ParseState::Complete) {
            // The request watch parsed it already, from these very bytes.
            strHost = m_request.GetFullURL();
            return S_OK;
        }
        // An empty chunk is the end of the application's stream: what has arrived is all
        // there will be.
        const bool endOfStream = !buffer || buffer->length() == 0;
        if (!endOfStream)
            m_strReceived.append(reinterpret_cast<const char*>(buffer->data()), buffer->length());
        bool more = false;
        const HRESULT hr = m_request.Parse(m_strReceived, strHostName, endOfStream, &more);
        if (!CheckResult(hr))
            return hr;
        bMoreRequired = more;
        if (!more) {
            strHost = m_request.GetFullURL();
            std::string().swap(m_strReceived);
        }
        return S_OK;
    } catch (...) {
        return ReportException("CHTTPClassifier::PreClassify", CV_HERE);
    }
}

bool CHTTPClassifier::ParseHead(std::string_view chunk, const std::string& strHostName) {
    bool more = false;
    return SUCCEEDED(m_request.Parse(chunk, strHostName, false, &more)) && !more;
}

HRESULT CHTTPClassifier::Classify(CPassthru* pPassthru) {
    if (CheckExpression(!pPassthru))
        return E_POINTER;
    const std::shared_ptr<CFilterPolicy> policy = CFilterPolicy::Current();
    if (!policy)
        return pPassthru->Continue();
    CConnectionFacts facts = pPassthru->Facts();
    facts.strServerName = ServerName();
    return CheckResultValue(policy->ClassifyRequest(facts, m_request, pPassthru));
}

std::string CHTTPClassifier::ServerName() const {
    std::string strHostHeader;
    if (!m_request.GetHeader("HOST", &strHostHeader))
        return {};
    return ServerNameFromHTTPHost(strHostHeader);
}
