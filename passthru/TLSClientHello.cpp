// Reassembly of the ClientHello from its TLS records and the read of its server_name
// extension. Every length field is checked against the bytes of its container before
// anything is read through it: the input comes straight from an untrusted application.
#include "passthru/TLSClientHello.h"

#include <algorithm>
#include <bitset>

namespace {

constexpr std::size_t kRecordHeaderSize = 5;      // type, version (2), length (2)
constexpr std::size_t kHandshakeHeaderSize = 4;   // type, length (3)
constexpr std::size_t kMaxRecordPayload = 16384;  // 2^14, the largest plaintext fragment
constexpr unsigned kContentHandshake = 22;
constexpr unsigned kHandshakeClientHello = 1;
constexpr unsigned kVersionMajor = 3;
constexpr unsigned kLastVersionMinor = 3;  // record versions run from 3.0 (SSL 3) to 3.3
constexpr std::size_t kRandomSize = 32;
constexpr std::size_t kMaxSessionIdSize = 32;
constexpr unsigned kExtensionServerName = 0;
constexpr unsigned kNameTypeHostName = 0;
constexpr std::size_t kMaxHostNameSize = 253;
constexpr std::size_t kMaxLabelSize = 63;

using Status = CTLSClientHello::Status;
using Result = CTLSClientHello::Result;

unsigned ByteAt(std::string_view data, std::size_t i) {
    return static_cast<unsigned char>(data[i]);
}

// Reads big-endian fields and length-prefixed vectors off the front of a byte range;
// every read fails, consuming nothing, when the range is too short.
class CFieldReader {
public:
    explicit CFieldReader(std::string_view data) : m_data(data) {}

    bool Empty() const { return m_data.empty(); }

    bool Number(std::size_t size, unsigned* value) {
        if (m_data.size() < size)
            return false;
        unsigned v = 0;
        for (std::size_t i = 0; i < size; ++i)
            v = (v << 8) | ByteAt(m_data, i);
        *value = v;
        m_data.remove_prefix(size);
        return true;
    }

    bool Bytes(std::size_t size, std::string_view* bytes) {
        if (m_data.size() < size)
            return false;
        *bytes = m_data.substr(0, size);
        m_data.remove_prefix(size);
        return true;
    }

    // A vector whose length is given by a prefix of `prefixSize` bytes.
    bool Vector(std::size_t prefixSize, std::string_view* bytes) {
        CFieldReader copy = *this;
        unsigned size = 0;
        if (!copy.Number(prefixSize, &size) || !copy.Bytes(size, bytes))
            return false;
        *this = copy;
        return true;
    }

private:
    std::string_view m_data;
};

// The hello's size with its handshake header, once that header is in; 0 before.
std::size_t HelloSize(std::string_view handshake) {
    if (handshake.size() < kHandshakeHeaderSize)
        return 0;
    return kHandshakeHeaderSize +
           ((ByteAt(handshake, 1) << 16) | (ByteAt(handshake, 2) << 8) | ByteAt(handshake, 3));
}

// The fewest further handshake bytes that could complete the hello (at least 1 while it
// is incomplete): the rest of it when its size is known, else the rest of its header.
std::size_t MissingBytes(std::string_view handshake) {
    const std::size_t helloSize = HelloSize(handshake);
    return (helloSize ? helloSize : kHandshakeHeaderSize) - handshake.size();
}

Result Unparsable() {
    return Result{};
}

// Reads the server_name extension's data (a ServerNameList). Each entry, whatever its
// name type, carries a 16-bit length, so entries of unknown types are stepped over.
bool ReadServerNameList(std::string_view extension, Result* result) {
    CFieldReader reader(extension);
    std::string_view list;
    if (!reader.Vector(2, &list) || !reader.Empty() || list.empty())
        return false;
    CFieldReader entries(list);
    bool seenHostName = false;
    while (!entries.Empty()) {
        unsigned type = 0;
        std::string_view name;
        if (!entries.Number(1, &type) || !entries.Vector(2, &name) || name.empty())
            return false;
        if (type != kNameTypeHostName)
            continue;
        // One name per type.
        if (seenHostName)
            return false;
        seenHostName = true;
        result->serverName = CTLSClientHello::NormaliseHostName(name);
        result->nameRejected = result->serverName.empty();
    }
    return true;
}

// Reads the body of a ClientHello (after its handshake header). The body must be used up
// exactly: extensions run to its end, and nothing may follow them.
Result ReadClientHelloBody(std::string_view body) {
    CFieldReader reader(body);
    unsigned version = 0;
    std::string_view random, sessionId, cipherSuites, compressionMethods;
    if (!reader.Number(2, &version) || (version >> 8) != kVersionMajor)
        return Unparsable();
    if (!reader.Bytes(kRandomSize, &random))
        return Unparsable();
    if (!reader.Vector(1, &sessionId) || sessionId.size() > kMaxSessionIdSize)
        return Unparsable();
    if (!reader.Vector(2, &cipherSuites) || cipherSuites.empty() || cipherSuites.size() % 2 != 0)
        return Unparsable();
    if (!reader.Vector(1, &compressionMethods) || compressionMethods.empty())
        return Unparsable();

    Result result;
    result.status = Status::Complete;
    // SSL 3 and early TLS clients may send no extensions at all.
    if (reader.Empty())
        return result;
    std::string_view extensions;
    if (!reader.Vector(2, &extensions) || !reader.Empty())
        return Unparsable();

    // An extension type may appear once per hello; a second server_name in particular
    // could otherwise name another host than the one a server would pick.
    std::bitset<65536> seen;
    CFieldReader entries(extensions);
    while (!entries.Empty()) {
        unsigned type = 0;
        std::string_view data;
        if (!entries.Number(2, &type) || !entries.Vector(2, &data))
            return Unparsable();
        if (seen.test(type))
            return Unparsable();
        seen.set(type);
        if (type == kExtensionServerName && !ReadServerNameList(data, &result))
            return Unparsable();
    }
    return result;
}

}  // namespace

CTLSClientHello::Result CTLSClientHello::Parse(std::string_view data) {
    // The handshake stream: the payloads of the records read so far, in order.
    std::string handshake;
    std::size_t pos = 0;  // where the current record's header starts
    while (true) {
        // Refuse on the first wrong header byte, so that a connection that is not TLS
        // is given up on at once rather than after five bytes.
        const std::size_t have = data.size() - pos;
        if (have >= 1 && ByteAt(data, pos) != kContentHandshake)
            return Unparsable();
        if (have >= 2 && ByteAt(data, pos + 1) != kVersionMajor)
            return Unparsable();
        if (have >= 3 && ByteAt(data, pos + 2) > kLastVersionMinor)
            return Unparsable();

        // This record's header and the bytes still missing come before the hello's end.
        const std::size_t leastEnd = pos + kRecordHeaderSize + MissingBytes(handshake);
        if (leastEnd > kMaxHelloBytes)
            return Unparsable();
        if (have < kRecordHeaderSize) {
            Result result;
            result.status = Status::MoreRequired;
            result.length = leastEnd;
            return result;
        }

        const std::size_t recordSize = (ByteAt(data, pos + 3) << 8) | ByteAt(data, pos + 4);
        // Handshake fragments are never empty, and no plaintext record is longer.
        if (recordSize == 0 || recordSize > kMaxRecordPayload)
            return Unparsable();
        const std::size_t payload = pos + kRecordHeaderSize;
        const std::size_t recordEnd = payload + recordSize;
        const std::size_t received = std::min(data.size(), recordEnd) - payload;
        const std::size_t before = handshake.size();
        handshake.append(data.substr(payload, received));

        // A client's first handshake message is its hello.
        if (!handshake.empty() && ByteAt(handshake, 0) != kHandshakeClientHello)
            return Unparsable();
        if (const std::size_t helloSize = HelloSize(handshake)) {
            // Even in one record, the hello would end past the bound.
            if (kRecordHeaderSize + helloSize > kMaxHelloBytes)
                return Unparsable();
            if (handshake.size() >= helloSize) {
                const std::size_t end = payload + (helloSize - before);
                if (end > kMaxHelloBytes)
                    return Unparsable();
                Result result = ReadClientHelloBody(std::string_view(handshake).substr(
                    kHandshakeHeaderSize, helloSize - kHandshakeHeaderSize));
                if (result.status == Status::Complete)
                    result.length = end;
                return result;
            }
        }

        if (recordEnd > data.size()) {
            // The record is still arriving: the rest of the hello is in it, or it needs
            // at least one more record.
            const std::size_t stillMissing = MissingBytes(handshake);
            const std::size_t restOfRecord = recordEnd - data.size();
            Result result;
            result.status = Status::MoreRequired;
            result.length = stillMissing <= restOfRecord
                                ? data.size() + stillMissing
                                : recordEnd + kRecordHeaderSize + (stillMissing - restOfRecord);
            return result.length > kMaxHelloBytes ? Unparsable() : result;
        }
        pos = recordEnd;
    }
}

std::string CTLSClientHello::NormaliseHostName(std::string_view name) {
    // Only names that a resolver could look up pass. Anything else (an embedded NUL,
    // spaces, bytes above 0x7F, empty labels) is refused as a whole rather than cleaned
    // up: a filter that compares "allowed.test\0.other.test" by its first part would judge
    // another host than the one the server is asked for.
    if (name.empty() || name.size() > kMaxHostNameSize)
        return {};
    std::string lower;
    lower.reserve(name.size());
    std::size_t label = 0;
    for (char c : name) {
        if (c == '.') {
            if (label == 0)
                return {};
            label = 0;
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
            ++label;
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
            ++label;
        } else {
            return {};
        }
        if (label > kMaxLabelSize)
            return {};
        lower.push_back(c);
    }
    // A trailing dot leaves an empty last label.
    if (label == 0)
        return {};
    return lower;
}
