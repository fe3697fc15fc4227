// CPassthru: the relay between a diverted application connection and its destination.
//
// The socket server hands the relay the application's socket (inner), the socket it has
// connected onward (outer), the destination as "address:port" text and any bytes it read
// past the hand-off. From `Start` on the relay owns itself:
//
// 1. It watches both sockets for readiness and reads a side only when it has something
//    to say, so an idle connection holds no receive buffer.
// 2. The first chunk from the application is put to the protocol detectors (HTTP, then
//    TLS/SSL); data that the destination sends first makes the connection unrecognised.
//    The outcome goes to the diagnostic log.
// 3. Every byte is held, in arrival order, in one queue per direction until the
//    connection's classifier has decided: a request classifier for HTTP, the relay itself
//    otherwise. The decision arrives as `Continue` (everything held flows, and the relay
//    forwards from then on), `Close` (each peer sees the end of its stream) or
//    `HTTPTransfer`.
// 4. Once decided, a direction with nothing queued forwards through a pipe with splice(),
//    which moves the bytes inside the kernel. On HTTP connections the start of what the
//    application sends is still looked at (peeked) first: a request for another URL than
//    the one classified last is read, held and classified again.
// 5. A side's end of stream is passed on as a half-close once everything queued before
//    it has been written. The relay deletes itself once both directions have ended, or
//    at once when a peer resets or anything fails.
//
// Locks, in order: the relay lock (serialises the gate, the tail of every read and the
// write side), then the queue lock (the two queues), then the socket watches' locks.
// The reference count counts what keeps the relay alive (the two directions, reads,
// writes, end-of-stream markers, classifications, splice bursts); the pending-operation
// count, separately, what must end before teardown frees the relay: after Term, the
// operation that brings it to zero frees the relay (no thread waits for it).
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "async/AsyncThreadPool.h"
#include "async/Buffer.h"
#include "async/Event.h"
#include "async/InstanceCount.h"
#include "async/SocketHandle.h"
#include "com/CriticalSection.h"
#include "com/Unknown.h"
#include "idl/Enums.h"
#include "passthru/Classifier.h"
#include "passthru/FilterPolicy.h"
#include "passthru/HTTPClassifier.h"
#include "passthru/SocketWatch.h"

class CPassthru final : public CClassifier, public IFilterDecision {
public:
    // `ptrSession` is the application's process session (may be null); `sockOuter` is
    // already connected to the destination named by `strHost`. Create it with new and
    // call Start: from then on the relay owns itself.
    CPassthru(CComPtr<IUnknown> ptrSession, CSocketHandle sockInner, CSocketHandle sockOuter,
              std::string strHost);

    // Begins relaying. `buffer` (may be null or empty) holds bytes the application sent
    // before the relay took over; they go to the destination first, once decided. The
    // relay takes the buffer in every case. On failure the relay has gone (or is going)
    // and both sockets are the caller's copies only.
    HRESULT Start(CBuffer* buffer);

    // Before Start: whether decided directions may forward with splice() (on by
    // default). Off, every byte goes through the queues and the asynchronous writer.
    void EnableSplice(bool enable) { m_bSplice = enable; }

    // The relay as its own classifier (everything but HTTP): a TLS connection's
    // ClientHello is gathered whole first, for the server name it carries; then the
    // connection goes on.
    HRESULT PreClassify(CBuffer* buffer, const std::string& strHostName, bool& bMoreRequired,
                        std::string& strHost) override;
    HRESULT Classify(CPassthru* pPassthru) override;
    std::string ServerName() const override;

    // The classification work item: lets the classifier look at the held chunk (and any
    // later ones it asks for), asks the policy whether the destination is allowed, then
    // lets the classifier decide.
    void CallClassify(CBuffer* buffer);
    bool IsAllowed(const std::string& strHostName);
    // What the policy is told about this connection.
    CConnectionFacts Facts() const;

    // The decisions. Continue releases everything held in both directions and forwards
    // from then on. Close gives both peers the end of their stream and discards whatever
    // is held or still arrives; the relay goes once both peers have closed. HTTPTransfer
    // answers the application with a redirect to a local page ("/" and strLocalURL at the
    // private port) and the end of its stream; nothing reaches the destination.
    HRESULT Continue() override;
    HRESULT Close() override;
    HRESULT HTTPTransfer(const std::string& strLocalURL) override;

    // The port of the local web server that redirects name (the socket server's).
    static void SetPrivatePort(USHORT port);

    // Relays alive now (constructed and not yet deleted).
    static const CInstanceCount& Instances();

private:
    enum Side { kInner = 0, kOuter = 1 };
    // Classification states.
    static constexpr int kDetecting = 0;       // the next chunk from the application is examined
    static constexpr int kDetected = 1;        // the next chunk from that side starts classifying
    static constexpr int kClassifyQueued = 2;  // CallClassify is due; data is held
    static constexpr int kClassifying = 3;     // the classifier is deciding; data is held
    static constexpr int kDecided = 4;         // every chunk passes
    static Side Other(Side s) { return s == kInner ? kOuter : kInner; }

    // How a splice burst ended.
    enum class BurstEnd { Drained, Handover, NewRequest, EndOfStream, Failed };

    // Counts operations in flight that must end before the relay is freed. Shared with their
    // completions, which may still hold it when the relay has gone.
    struct CPendingOps;

    ~CPassthru();

    static std::string_view View(const CBuffer* buffer);
    CSocketHandle& Sock(Side s) { return s == kInner ? m_sockInner : m_sockOuter; }
    void AddRef();
    void Release();
    void BeginPending();
    void EndPending();
    void Signal(Side target);

    HRESULT ArmRead(Side s);
    void OnReadReady(Side s, const std::error_code& ec, std::size_t bytes);
    HRESULT Read(Side s);
    // Reads what waits on side `s` here and hands it on as a completed read would (the
    // relay lock held). Where a burst has just seen a new request waiting, this saves the
    // reader's two hops between threads.
    HRESULT ReadNow(Side s);
    template <int S>
    bool OnReadSide(DWORD error, CSocketHandle sock, CBuffer* buffer, bool endOfStream,
                    bool& takeBuffer);
    void OnRead(Side s, DWORD error, CBuffer* buffer, bool endOfStream, bool& takeBuffer);
    void HandleChunk(Side s, CBuffer* buffer, bool endOfStream, bool& takeBuffer);
    void WatchRequest(const CBuffer* buffer);
    bool IsNewRequest(std::string_view chunk);

    // Holds chunks while the connection is undecided; a chunk that starts classifying is
    // left for RunPendingClassification, which every caller of HandleChunk calls once it
    // has let go of the relay lock (the script must not run under it).
    HRESULT Classify(CBuffer* buffer, bool bOutbound, bool bEndOfStream, bool& bPassOn);
    void RunPendingClassification();
    // The relay whose classification this thread runs, or null.
    static CPassthru*& ClassifyingHere();
    HRESULT Detect(const CBuffer* buffer, bool bOutbound, bool bEndOfStream);

    void OnWriteReady(int timedOut, void* context);
    void OnWriteSignal(int target);
    void ServeHeldSignals();
    HRESULT WriteNext(Side target);
    HRESULT Write(Side target, CBuffer* buffer);
    template <int S>
    bool OnWrittenSide(DWORD error, CSocketHandle sock, CBuffer* buffer);
    void OnWritten(Side target, DWORD error);

    bool CanSplice(Side s);
    bool KeepSplicing(Side s, bool* pbWatch);
    void Burst(Side s);
    bool Park(Side s);
    void OnBurstWritable(Side s, const std::error_code& ec);
    void EndBurst(Side s, BurstEnd how);

    void Stop();
    void Term();
    void Destroy();

    // The relay lock: serialises the gate, the tail of every read completion, the burst
    // hand-overs and WriteNext. Taken before m_lockQueue.
    CComAutoCriticalSection m_lockRelay;
    // The queue lock: guards m_queue. Taken inside m_lockRelay, never the other way round.
    CComAutoCriticalSection m_lockQueue;
    std::atomic<long> m_nRefs{0};

    CComPtr<IUnknown> m_ptrSession;
    CSocketHandle m_sockInner;
    CSocketHandle m_sockOuter;
    const std::string m_strHost;

    // Readiness of the two sockets: they stand for the network events of each side.
    CSocketWatch m_watch[2];
    // Per target side: a call to write to it is queued and has not started yet.
    std::atomic<bool> m_bWriteSignalled[2] = {false, false};
    // Per target side: a signal raised by the thread that is classifying this relay (a
    // decision of its script), which that thread serves itself once the classification
    // returns: it is about to be free, and a queued call would wake another thread. Only
    // the classifying thread touches these.
    bool m_bSignalHeld[2] = {false, false};

    // m_queue[kOuter]: read from the application, for the destination; m_queue[kInner]:
    // read from the destination, for the application. An empty buffer is an end-of-stream
    // marker. Guarded by m_lockQueue.
    std::list<CBuffer*> m_queue[2];

    // Per side, guarded by m_lockRelay. Reading, close seen, end queued: about data read
    // from that side; writing, send shut, direction done: about data written to it.
    bool m_bReading[2] = {false, false};
    bool m_bWriting[2] = {false, false};
    bool m_bCloseSeen[2] = {false, false};
    bool m_bEndQueued[2] = {false, false};
    bool m_bSendShut[2] = {false, false};
    bool m_bDirectionDone[2] = {false, false};  // its reference dropped after its end

    bool m_bDetectOutbound = false;  // guarded by m_lockRelay, as are the next five
    NetworkProtocol m_nProtocol = NetworkProtocol::Unrecognised;
    std::string m_strLastURL;
    bool m_bDetectorFilter = true;
    bool m_bCandidate[2] = {true, true};
    std::shared_ptr<CClassifier> m_pClassifier;
    // A later request that the watch found complete and parsed: its classifier, for the
    // detection that follows. Guarded by m_lockRelay.
    std::shared_ptr<CHTTPClassifier> m_pWatched;
    // The chunk a classification is due to start with. Guarded by m_lockRelay.
    std::shared_ptr<CBuffer> m_pClassifyChunk;
    // The application's bytes so far while detection wants more of them.
    std::string m_strDetect;
    // Bytes from the detection direction that arrived while a classification was queued:
    // a classifier that asks for more gets them first. Guarded by m_lockRelay.
    std::string m_strUnclassified;
    bool m_bUnclassifiedEnd = false;
    // A TLS connection's first bytes while its ClientHello is incomplete, and the server
    // name it carried. Guarded by m_lockRelay.
    std::string m_strHello;
    std::string m_strServerName;
    // The server name that the connection check allowed this connection with, once it
    // has: a later request on the connection is not checked again for the same name.
    // Only the classifying thread touches it (one classification runs at a time).
    std::optional<std::string> m_strAllowedName;

    std::atomic<int> m_nState{0};
    std::atomic<bool> m_bStopping{false};

    // Splice forwarding, per source side: the pipe its bytes pass through (lent by the
    // pipe pool for the length of a burst) and how many wait there. Only the side's
    // running burst touches them.
    bool m_bSplice = true;
    int m_pipe[2][2] = {{-1, -1}, {-1, -1}};
    std::size_t m_nPipeBytes[2] = {0, 0};
    std::atomic<bool> m_bParked[2] = {false, false};          // burst waits for room
    std::atomic<bool> m_bWriteWaitArmed[2] = {false, false};  // a writable wait is out

    std::shared_ptr<CPendingOps> m_pending;
};
