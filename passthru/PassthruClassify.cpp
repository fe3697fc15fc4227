// How the relay decides: the request watch, the classification gate with protocol
// detection, the classification work item, and the decisions that the classifier makes
// (continue, close, redirect).
#include <string_view>

#include "com/DiagnosticLog.h"
#include "http/HTTPRequest.h"
#include "passthru/HTTPClassifier.h"
#include "passthru/Passthru.h"
#include "passthru/ProtocolDetector.h"

namespace {

// The most bytes of an unfinished request line that detection keeps waiting on.
constexpr std::size_t kMaxDetectBytes = 16384;

}  // namespace

// ---- The request watch --------------------------------------------------------------

void CPassthru::WatchRequest(const CBuffer* buffer) {
    // Keep-alive: a later request for another URL is held and classified afresh.
    if (IsNewRequest(View(buffer))) {
        m_nState = kDetecting;
        m_bDetectorFilter = false;
    }
}

bool CPassthru::IsNewRequest(std::string_view chunk) {
    CCritSecLock relay(m_lockRelay);
    if (m_nProtocol != NetworkProtocol::HTTP || m_nState != kDecided)
        return false;
    bool isHTTP = false;
    if (CHTTPRequest::SniffRequestLine(chunk, &isHTTP) || !isHTTP)
        return false;
    CHTTPRequest request(m_ptrSession, false);
    bool more = false;
    request.Parse(chunk, m_strHost, false, &more);
    return request.GetFullURL() != m_strLastURL;
}

// ---- The gate and detection ---------------------------------------------------------

HRESULT CPassthru::Classify(CBuffer* buffer, bool bOutbound, bool bEndOfStream, bool& bPassOn) {
    bPassOn = true;
    if (m_nState == kDecided)
        return S_OK;
    bPassOn = false;
    if (m_nState == kClassifyQueued && bOutbound == m_bDetectOutbound) {
        // The classifier has not seen these yet and may ask for them.
        m_strUnclassified.append(View(buffer));
        m_bUnclassifiedEnd = m_bUnclassifiedEnd || bEndOfStream;
        return S_OK;
    }
    if (m_nState == kDetecting) {
        const HRESULT hr = Detect(buffer, bOutbound, bEndOfStream);
        if (FAILED(hr))
            return hr;
    }
    if (m_nState != kDetected || m_bDetectOutbound != bOutbound)
        return S_OK;
    if (CheckExpression(!m_pClassifier))
        return E_UNEXPECTED;

    // The classification gets its own copy of the bytes that decided detection: the held
    // ones may be written and freed as soon as the decision is made.
    const std::string_view bytes = m_strDetect.empty() ? View(buffer) : m_strDetect;
    auto chunk = std::make_shared<CBuffer>();
    if (CheckExpression(!bytes.empty() &&
                        chunk->append(bytes.data(), static_cast<long>(bytes.size())) != 0))
        return E_OUTOFMEMORY;
    m_strDetect.clear();
    m_strUnclassified.clear();
    m_bUnclassifiedEnd = false;
    m_nState = kClassifyQueued;
    AddRef();
    BeginPending();
    auto call = CAsyncCall::CreateFunctionCall([this, chunk] {
        CallClassify(chunk.get());
        Release();
        EndPending();
    });
    HRESULT hr =
        call ? THREAD_POOL::instance()->QueueCall(call, WT_EXECUTELONGFUNCTION) : E_OUTOFMEMORY;
    if (!CheckResult(hr)) {
        m_nState = kDetected;
        Release();
        EndPending();
    }
    return hr;
}

HRESULT CPassthru::Detect(const CBuffer* buffer, bool bOutbound, bool bEndOfStream) {
    using Test = CProtocolDetector::Result (*)(std::string_view);
    static constexpr Test kTests[2] = {&CProtocolDetector::DetectHTTP,
                                       &CProtocolDetector::DetectSSL};
    // A request line that arrives in pieces is examined as a whole, from its first byte.
    std::string_view data = View(buffer);
    if (bOutbound && !m_strDetect.empty()) {
        m_strDetect.append(data);
        data = m_strDetect;
    } else {
        m_strDetect.clear();
    }
    bool wantMore = false;
    for (int row = 0; row < 2; ++row) {
        // Both tests look at what the application sends only.
        if ((m_bDetectorFilter && !m_bCandidate[row]) || !bOutbound)
            continue;
        const CProtocolDetector::Result r = kTests[row](data);
        if (!r.moreRequired)
            m_bCandidate[row] = false;
        if (r.detected) {
            if (row == 0) {
                m_pClassifier = std::make_shared<CHTTPClassifier>(m_ptrSession);
            } else {
                m_pClassifier = std::shared_ptr<CClassifier>(std::shared_ptr<void>(), this);
            }
            m_nProtocol = r.protocol;
            m_bDetectOutbound = bOutbound;
            m_nState = kDetected;
            LogTrace("Passthru %s: detected %s", m_strHost.c_str(),
                     CProtocolDetector::ProtocolName(m_nProtocol));
            return S_OK;
        }
        wantMore = wantMore || r.moreRequired;
    }
    // At the end of the stream no later chunk can decide, and a request line is not
    // waited for beyond any that a server would accept.
    if (!wantMore || bEndOfStream || data.size() > kMaxDetectBytes) {
        m_strDetect.clear();
        m_nProtocol = NetworkProtocol::Unrecognised;
        m_pClassifier = std::shared_ptr<CClassifier>(std::shared_ptr<void>(), this);
        m_bDetectOutbound = bOutbound;
        m_nState = kDetected;
        LogTrace("Passthru %s: detected %s", m_strHost.c_str(),
                 CProtocolDetector::ProtocolName(m_nProtocol));
    } else if (m_strDetect.empty()) {
        m_strDetect.assign(data);
    }
    return S_OK;
}

// ---- Classification -----------------------------------------------------------------

void CPassthru::CallClassify(CBuffer* buffer) {
    try {
        std::shared_ptr<CClassifier> classifier;
        {
            CCritSecLock relay(m_lockRelay);
            classifier = m_pClassifier;
        }
        if (CheckExpression(!classifier) || m_bStopping)
            return;
        if (!IsAllowed(m_strHost)) {
            WriteLog("Disallowed host :" + m_strHost, nullptr);
            Close();
            return;
        }
        CBuffer more;  // what arrived after the first chunk, when the classifier asks
        for (CBuffer* chunk = buffer;;) {
            bool bMoreRequired = false;
            std::string strHost;
            const HRESULT hr = classifier->PreClassify(chunk, m_strHost, bMoreRequired, strHost);
            CCritSecLock relay(m_lockRelay);
            if (!strHost.empty())
                m_strLastURL = strHost;
            if (!CheckResult(hr)) {
                Close();
                return;
            }
            if (!bMoreRequired) {
                m_strUnclassified.clear();
                m_bUnclassifiedEnd = false;
                m_nState = kClassifying;
                break;
            }
            if (m_strUnclassified.empty() && !m_bUnclassifiedEnd) {
                // The next chunk from the detection direction starts classification again.
                m_nState = kDetected;
                return;
            }
            more.consume(more.length());
            if (!m_strUnclassified.empty()) {
                if (CheckExpression(more.append(m_strUnclassified.data(),
                                                static_cast<long>(m_strUnclassified.size())) !=
                                    0)) {
                    Close();
                    return;
                }
                m_strUnclassified.clear();
            } else {
                m_bUnclassifiedEnd = false;  // an empty chunk tells the end of the stream
            }
            chunk = &more;
        }
        if (!CheckResult(classifier->Classify(this)))
            Close();
    } catch (...) {
        ReportException("CPassthru::CallClassify", CV_HERE);
        Close();
    }
}

bool CPassthru::IsAllowed(const std::string&) {
    // Every destination may be reached until the site's protocol check is wired in.
    return true;
}

HRESULT CPassthru::PreClassify(CBuffer*, const std::string&, bool& bMoreRequired, std::string&) {
    bMoreRequired = false;
    return S_OK;
}

HRESULT CPassthru::Classify(CPassthru* pPassthru) {
    if (CheckExpression(pPassthru != this))
        return E_INVALIDARG;
    return Continue();
}

HRESULT CPassthru::Continue() {
    // The state changes under the relay lock, so a chunk either sees the decision and
    // signals itself or is queued before the signals below.
    CCritSecLock relay(m_lockRelay);
    m_nState = kDecided;
    Signal(kOuter);
    Signal(kInner);
    return S_OK;
}

HRESULT CPassthru::Close() {
    CCritSecLock relay(m_lockRelay);
    m_nState = kDecided;
    for (Side s : {kInner, kOuter}) {
        if (!m_bSendShut[s])
            CheckResult(Sock(s).Shutdown(asio::socket_base::shutdown_send));
        m_bSendShut[s] = true;
    }
    // The write chains discard what is held and drop the end markers' references, so
    // the relay still goes once both peers have closed.
    Signal(kOuter);
    Signal(kInner);
    return S_OK;
}

HRESULT CPassthru::HTTPTransfer(const std::string&) {
    return E_NOTIMPL;
}
