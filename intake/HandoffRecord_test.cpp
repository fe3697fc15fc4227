// The hand-off record reader as a function of bytes.
#include "intake/HandoffRecord.h"

#include <gtest/gtest.h>

#include "intake/HandoffTestSupport.h"

namespace {

CHandoffRecord::Parse ReadBytes(const std::string& bytes, CHandoffRecord* record) {
    return record->Read(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

TEST(HandoffRecord, IPv4RecordOf36BytesWithFirstDataAfterIt) {
    const GUID key = NewGUID();
    const std::string bytes = MakeRecord(IPv4Address("192.0.2.7", 443), key, "GET /");
    CHandoffRecord record;
    // Every prefix is incomplete; the whole is complete.
    for (std::size_t n = 0; n < 36; ++n)
        EXPECT_EQ(ReadBytes(bytes.substr(0, n), &record), CHandoffRecord::Parse::NeedMore) << n;
    ASSERT_EQ(ReadBytes(bytes, &record), CHandoffRecord::Parse::Complete);
    EXPECT_EQ(record.RecordLength(), 36u);
    EXPECT_EQ(record.Key(), key);
    EXPECT_TRUE(record.IsIPv4());
    EXPECT_EQ(record.IPv4Text(), "192.0.2.7:443");
    EXPECT_EQ(bytes.substr(record.RecordLength()), "GET /");
}

TEST(HandoffRecord, LengthsAndFamilies) {
    struct Case {
        const char* name;
        std::string address;
        CHandoffRecord::Parse parse;
        bool ipv4;
        std::uint16_t family;
    };
    const Case cases[] = {
        {"ipv6", IPv6Address("2001:db8::1", 80), CHandoffRecord::Parse::Complete, false, 10},
        {"empty address", "", CHandoffRecord::Parse::Complete, false, 0},
        {"family 2 too short", std::string("\x02\x00\x00\x50", 4), CHandoffRecord::Parse::Complete,
         false, 2},
        {"largest address", std::string(256, '\x02'), CHandoffRecord::Parse::Complete, false,
         0x0202},
        {"address of 257", std::string(257, '\0'), CHandoffRecord::Parse::Malformed, false, 0},
    };
    for (const auto& c : cases) {
        CHandoffRecord record;
        EXPECT_EQ(ReadBytes(MakeRecord(c.address, GUID{}), &record), c.parse) << c.name;
        if (c.parse == CHandoffRecord::Parse::Complete) {
            EXPECT_EQ(record.IsIPv4(), c.ipv4) << c.name;
            EXPECT_EQ(record.Family(), c.family) << c.name;
        }
    }
}

TEST(HandoffRecord, MoreThanTheBoundWithoutARecordIsMalformed) {
    CHandoffRecord record;
    const std::string l257 = MakeRecord(std::string(257, '\0'), GUID{});
    EXPECT_EQ(ReadBytes(l257.substr(0, CHandoffRecord::kMaxPendingBytes), &record),
              CHandoffRecord::Parse::NeedMore);
    EXPECT_EQ(ReadBytes(l257, &record), CHandoffRecord::Parse::Malformed);
    EXPECT_EQ(ReadBytes(std::string(5000, '\xff'), &record), CHandoffRecord::Parse::Malformed);
    // A complete record with lots of first data is fine.
    EXPECT_EQ(
        ReadBytes(MakeRecord(IPv4Address("127.0.0.1", 1), GUID{}, std::string(5000, 'x')), &record),
        CHandoffRecord::Parse::Complete);
}

TEST(HandoffRecord, AnswerIsLittleEndian) {
    auto answer = CHandoffRecord::Answer(10013);
    EXPECT_EQ(std::string(answer.begin(), answer.end()), std::string("\x1D\x27\x00\x00", 4));
    answer = CHandoffRecord::Answer(0);
    EXPECT_EQ(std::string(answer.begin(), answer.end()), std::string(4, '\0'));
}

}  // namespace
