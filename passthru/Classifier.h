// CClassifier: how the relay asks whether a connection, or the request it carries, may go
// on.
//
// The relay holds every byte of a connection until its classifier has decided. Detection
// picks the classifier: a request classifier for HTTP, the relay itself for anything
// else. The relay hands the chunk that started classification to `PreClassify`, which
// may ask for more bytes and names the URL it is about to judge; `Classify` then starts
// the decision, which arrives later (possibly from another thread) as `Continue`,
// `Close` or `HTTPTransfer` on the relay.
#pragma once

#include <string>

#include "com/HResult.h"

class CBuffer;
class CPassthru;

class CClassifier {
public:
    // Examines the bytes held so far (`buffer`; empty when the application has ended its
    // stream). Sets bMoreRequired when a later chunk is needed before classifying, and
    // strHost to the URL that becomes the relay's last classified URL (may stay empty).
    virtual HRESULT PreClassify(CBuffer* buffer, const std::string& strHostName,
                                bool& bMoreRequired, std::string& strHost) = 0;
    // Starts the decision for the relay `pPassthru`.
    virtual HRESULT Classify(CPassthru* pPassthru) = 0;
    // The host name the application asked for, once PreClassify has all it needs: the
    // TLS server name or the HTTP Host header's name; empty when unknown.
    virtual std::string ServerName() const { return {}; }

protected:
    ~CClassifier() = default;
};
