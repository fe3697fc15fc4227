// How the relay decides: the request watch, the classification gate with protocol
// detection, the classification work item, and the decisions that the classifier makes
// (continue, close, redirect).
#include <atomic>
#include <list>
#include <new>
#include <string_view>
#include <utility>

#include "com/DiagnosticLog.h"
#include "http/HTTPRequest.h"
#include "passthru/HTTPClassifier.h"
#include "passthru/Passthru.h"
#include "passthru/ProtocolDetector.h"
#include "passthru/TLSClientHello.h"

namespace {

// The most bytes of an unfinished request line that detection keeps waiting on.
constexpr std::size_t kMaxDetectBytes = 16384;

// The private port of the socket server, for redirects to local pages.
std::atomic<USHORT>& PrivatePort() {
    static std::atomic<USHORT> s_port{0};
    return s_port;
}

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
    m_pWatched.reset();
    if (m_nProtocol != NetworkProtocol::HTTP || m_nState != kDecided)
        return false;
    bool isHTTP = false;
    if (CHTTPRequest::SniffRequestLine(chunk, &isHTTP) || !isHTTP)
        return false;
    auto watched = std::make_shared<CHTTPClassifier>(m_ptrSession);
    const bool complete = watched->ParseHead(chunk, m_strHost);
    if (watched->Request().GetFullURL() == m_strLastURL)
        return false;
    // A request parsed whole need not be parsed again by its classification.
    if (complete)
        m_pWatched = std::move(watched);
    return true;
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
    m_pClassifyChunk = std::move(chunk);
    AddRef();  // the classification's: the relay runs on until the decision is made
    return S_OK;
}

void CPassthru::RunPendingClassification() {
    std::shared_ptr<CBuffer> chunk;
    {
        CCritSecLock relay(m_lockRelay);
        chunk = std::move(m_pClassifyChunk);
    }
    if (!chunk)
        return;
    // The script may take long or call out and wait: it runs here, on the thread that read
    // the chunk, counted as a long call so that the pool adds a thread if it blocks.
    THREAD_POOL::instance()->RunLongCallHere([&] {
        CPassthru* const outer = std::exchange(ClassifyingHere(), this);
        CallClassify(chunk.get());
        ClassifyingHere() = outer;
    });
    // The decision's signals, served by this thread now that it is free.
    ServeHeldSignals();
    Release();
}

HRESULT CPassthru::Detect(const CBuffer* buffer, bool bOutbound, bool bEndOfStream) {
    using Test = CProtocolDetector::Result (*)(std::string_view);
    static constexpr Test kTests[2] = {&CProtocolDetector::DetectHTTP,
                                       &CProtocolDetector::DetectSSL};
    // The request watch's parse of a later request, if it made one of these bytes.
    std::shared_ptr<CHTTPClassifier> watched = std::move(m_pWatched);
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
                if (watched)
                    m_pClassifier = std::move(watched);
                else
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
        // The classifier first gathers what it needs (a request's headers, a TLS
        // ClientHello), so that the destination is judged knowing the host name the
        // application asked for.
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
        if (!IsAllowed(m_strHost)) {
            WriteLog("Disallowed host :" + m_strHost, nullptr);
            Close();
            return;
        }
        if (!CheckResult(classifier->Classify(this)))
            Close();
    } catch (...) {
        ReportException("CPassthru::CallClassify", CV_HERE);
        Close();
    }
}

CConnectionFacts CPassthru::Facts() const {
    CConnectionFacts facts;
    facts.protocol = m_nProtocol;
    facts.strHost = m_strHost;
    facts.ptrSession = m_ptrSession;
    return facts;
}

bool CPassthru::IsAllowed(const std::string& strHostName) {
    const std::shared_ptr<CFilterPolicy> policy = CFilterPolicy::Current();
    if (!policy)
        return true;
    CConnectionFacts facts = Facts();
    facts.strHost = strHostName;
    {
        CCritSecLock relay(m_lockRelay);
        if (m_pClassifier)
            facts.strServerName = m_pClassifier->ServerName();
    }
    // A connection is checked once: a later request on it for another URL is judged by the
    // request's own entry point, unless it names another server than the one allowed.
    if (m_strAllowedName && *m_strAllowedName == facts.strServerName)
        return true;
    const bool allowed = policy->IsProtocolAllowed(facts);
    if (allowed)
        m_strAllowedName = facts.strServerName;
    return allowed;
}

HRESULT CPassthru::PreClassify(CBuffer* buffer, const std::string&, bool& bMoreRequired,
                               std::string&) {
    bMoreRequired = false;
    if (m_nProtocol != NetworkProtocol::TLS1 && m_nProtocol != NetworkProtocol::SSL3)
        return S_OK;
    // Gather the ClientHello, which may come in several reads, for its server name. An
    // empty chunk is the end of the application's stream: nothing more will come.
    CCritSecLock relay(m_lockRelay);
    const std::string_view chunk = View(buffer);
    m_strHello.append(chunk);
    const CTLSClientHello::Result hello = CTLSClientHello::Parse(m_strHello);
    if (hello.status == CTLSClientHello::Status::MoreRequired && !chunk.empty()) {
        bMoreRequired = true;
        return S_OK;
    }
    if (hello.status == CTLSClientHello::Status::Complete)
        m_strServerName = hello.serverName;
    std::string().swap(m_strHello);
    return S_OK;
}

std::string CPassthru::ServerName() const {
    return m_strServerName;
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

void CPassthru::SetPrivatePort(USHORT port) {
    PrivatePort().store(port);
}

HRESULT CPassthru::HTTPTransfer(const std::string& strLocalURL) {
    // The URL goes into a header line: a line break or other control character would let
    // it add headers of its own.
    for (unsigned char ch : strLocalURL)
        if (CheckExpression(ch < 0x20 || ch == 0x7F))
            return E_INVALIDARG;
    const USHORT port = PrivatePort().load();
    if (CheckExpression(port == 0))
        return E_UNEXPECTED;
    const std::string strAnswer =
        "HTTP/1.1 302 Found\r\nConnection: Close\r\nLocation: "
        "http://localhost:" +
        std::to_string(port) + "/" + strLocalURL + "\r\n\r\n";
    auto* answer = new (std::nothrow) CBuffer();
    auto* marker = new (std::nothrow) CBuffer();
    if (CheckExpression(!answer || !marker ||
                        answer->append(strAnswer.data(), static_cast<long>(strAnswer.size())) !=
                            0)) {
        delete answer;
        delete marker;
        return E_OUTOFMEMORY;
    }

    CCritSecLock relay(m_lockRelay);
    m_nState = kDecided;
    // The destination hears nothing more and says nothing more: its end counts as seen
    // and queued, so that neither its later end nor its held bytes reach the application.
    m_watch[kOuter].Cancel();
    CheckResult(Sock(kOuter).Shutdown(asio::socket_base::shutdown_both));
    m_bSendShut[kOuter] = true;
    m_bCloseSeen[kOuter] = true;
    const bool bOuterEndQueued = std::exchange(m_bEndQueued[kOuter], true);
    std::list<CBuffer*> dropped;
    {
        CCritSecLock queue(m_lockQueue);
        // The held request is dropped; an end marker of the application's stream stays
        // queued, keeping its reference until the write chain takes it. Whatever the
        // destination said before the verdict is dropped too: the application receives
        // the redirect alone.
        for (Side s : {kOuter, kInner}) {
            for (auto it = m_queue[s].begin(); it != m_queue[s].end();) {
                const bool bMarker =
                    (*it)->length() == 0 && (s == kOuter ? m_bEndQueued[kInner] : bOuterEndQueued);
                if (bMarker) {
                    ++it;
                } else {
                    dropped.push_back(*it);
                    it = m_queue[s].erase(it);
                }
            }
        }
        if (!bOuterEndQueued)
            AddRef();  // the marker's reference
        m_queue[kInner].push_back(answer);
        if (!bOuterEndQueued)
            m_queue[kInner].push_back(marker);
        else
            delete marker;
    }
    for (CBuffer* b : dropped)
        delete b;
    Signal(kInner);
    Signal(kOuter);
    return S_OK;
}
