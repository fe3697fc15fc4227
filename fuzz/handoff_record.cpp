// Fuzzes the hand-off record reader over arbitrary bytes.
//
// Whatever arrives, the reader's answer must be consistent: a complete record never
// claims more bytes than it was given and has an address of at most 256 bytes; a prefix
// of the input is never complete when the whole is still incomplete; once the input holds
// more than the pending bound without a record, it is malformed; and reading the same
// bytes again (as a socket server does after each receive) gives the same answer.
#include <cstdint>
#include <cstdlib>

#include "intake/HandoffRecord.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CHandoffRecord record;
    const auto parse = record.Read(data, size);
    if (parse == CHandoffRecord::Parse::Complete) {
        Check(record.AddressLength() <= CHandoffRecord::kMaxAddressLength);
        Check(record.RecordLength() <= size);
        Check(record.RecordLength() == 20 + record.AddressLength());
        if (record.IsIPv4())
            Check(!record.IPv4Text().empty());
    } else if (parse == CHandoffRecord::Parse::NeedMore) {
        Check(size <= CHandoffRecord::kMaxPendingBytes);
        // Every prefix of an incomplete input is incomplete as well.
        CHandoffRecord prefix;
        Check(prefix.Read(data, size / 2) == CHandoffRecord::Parse::NeedMore);
    } else {
        Check(size > CHandoffRecord::kMaxPendingBytes);
    }
    CHandoffRecord again;
    Check(again.Read(data, size) == parse);
    if (parse == CHandoffRecord::Parse::Complete) {
        Check(again.Key() == record.Key());
        Check(again.Family() == record.Family());
    }
    return 0;
}
