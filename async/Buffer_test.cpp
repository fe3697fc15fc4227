// The buffer's growth and consumption, step by step, and its refusals of bad positions.
#include "async/Buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

namespace {

enum class Op { Space, Append, AppendString, Consume, Commit };

struct Step {
    Op op;
    std::uint32_t n;     // bytes for Space/Consume/Commit/Append
    int result;          // 0 or -1 for Space/Append, 1 or 0 (done or refused) for the others
    std::uint32_t head;  // expected positions afterwards (head as offset of data())
    std::uint32_t tail;
    std::uint32_t capacity;
};

// One buffer of initial capacity 8 goes through all steps in order.
constexpr Step kSteps[] = {
    {Op::Space, 8, 0, 0, 0, 8},           // enough free: nothing changes
    {Op::Append, 5, 0, 0, 5, 8},          // fits
    {Op::Space, 3, 0, 0, 5, 8},           // exactly free: nothing changes
    {Op::Space, 4, 0, 0, 5, 9},           // grows to exactly tail + n
    {Op::AppendString, 0, 0, 0, 10, 10},  // "hello": grows to exactly what is needed
    {Op::Consume, 4, 1, 4, 10, 10},       // consumed bytes stay where they are
    {Op::Consume, 7, 0, 4, 10, 10},       // more than the content: refused
    {Op::Commit, 1, 0, 4, 10, 10},        // no free space: refused
    {Op::Space, 100, 0, 4, 10, 110},      // grows; head is kept
    {Op::Commit, 60, 1, 4, 70, 110},      // bytes written at write_ptr
    {Op::Consume, 66, 1, 70, 70, 110},    // everything consumed: empty, never compacted
    {Op::Space, 40, 0, 70, 70, 110},      // 40 free after the tail already
    {Op::Space, std::numeric_limits<std::uint32_t>::max(), -1, 70, 70, 110},  // cannot grow
    {Op::Append, std::numeric_limits<std::uint32_t>::max(), -1, 70, 70, 110},
};

TEST(Buffer, GrowsToExactlyWhatIsAskedAndNeverCompacts) {
    CBuffer buffer(8);
    std::string expected;  // the content, as the steps build it
    std::size_t consumed = 0;
    for (std::size_t i = 0; i < std::size(kSteps); ++i) {
        const Step& s = kSteps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        int result = 0;
        switch (s.op) {
            case Op::Space:
                result = buffer.space(s.n);
                break;
            case Op::Append: {
                std::string bytes(s.n == std::numeric_limits<std::uint32_t>::max() ? 1 : s.n, 'a');
                result = buffer.append(bytes.data(), s.n);
                if (result == 0)
                    expected += bytes;
                break;
            }
            case Op::AppendString:
                result = buffer.append("hello");
                if (result == 0)
                    expected += "hello";
                break;
            case Op::Consume:
                result = buffer.consume(s.n) ? 1 : 0;
                if (result)
                    consumed += s.n;
                break;
            case Op::Commit:
                if (s.n <= buffer.free_space())
                    std::memset(buffer.write_ptr(), 'c', s.n);
                result = buffer.commit(s.n) ? 1 : 0;
                if (result)
                    expected.append(s.n, 'c');
                break;
        }
        EXPECT_EQ(result, s.result);
        EXPECT_EQ(buffer.capacity(), s.capacity);
        EXPECT_EQ(buffer.length(), s.tail - s.head);
        EXPECT_EQ(buffer.free_space(), s.capacity - s.tail);
        EXPECT_EQ(buffer.write_ptr() - buffer.data(), static_cast<std::ptrdiff_t>(s.tail - s.head));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), buffer.length()),
                  expected.substr(consumed));
    }
}

TEST(Buffer, EmptyBufferGrowsOnDemand) {
    CBuffer buffer;
    EXPECT_EQ(buffer.capacity(), 0u);
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_EQ(buffer.append("abc", 0), 0);  // nothing to add, nothing allocated
    EXPECT_EQ(buffer.capacity(), 0u);
    EXPECT_EQ(buffer.append("abc"), 0);
    EXPECT_EQ(buffer.capacity(), 3u);
    EXPECT_EQ(std::memcmp(buffer.data(), "abc", 3), 0);
}

TEST(Buffer, PositionsCanBeSetWithinTheBlockOnly) {
    CBuffer buffer(16);
    ASSERT_EQ(buffer.append("0123456789"), 0);
    unsigned char* start = buffer.data();
    EXPECT_TRUE(buffer.set_data(start + 3));
    EXPECT_EQ(buffer.length(), 7u);
    EXPECT_FALSE(buffer.set_data(start + 2));   // before the consumed head
    EXPECT_FALSE(buffer.set_data(start + 11));  // past the tail
    EXPECT_TRUE(buffer.set_write_ptr(start + 16));
    EXPECT_EQ(buffer.length(), 13u);
    EXPECT_EQ(buffer.free_space(), 0u);
    EXPECT_FALSE(buffer.set_write_ptr(start + 17));  // past the block
    EXPECT_FALSE(buffer.set_write_ptr(start + 2));   // before the content
    EXPECT_TRUE(buffer.set_write_ptr(start + 3));
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_EQ(buffer.append(nullptr, 4), -1);
    EXPECT_EQ(buffer.length(), 0u);
}

}  // namespace
