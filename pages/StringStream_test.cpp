// Tests of the line splitter: line ends, chunk boundaries and failing streams.
#include "pages/StringStream.h"

#include <gtest/gtest.h>

#include "pages/MemoryStream.h"

namespace {

std::vector<BYTE> Utf16Bytes(std::u16string_view text) {
    std::vector<BYTE> bytes;
    for (char16_t ch : text) {
        bytes.push_back(static_cast<BYTE>(ch));
        bytes.push_back(static_cast<BYTE>(ch >> 8));
    }
    return bytes;
}

TEST(StringStreamTest, SplitsAtLineFeedsOnly) {
    auto stream = MakeObject<CMemoryStream>(Utf16Bytes(u"one\r\ntwo\rstill\n\u00e9nd"));
    CStringStream lines(stream.Get());
    std::u16string line;
    ULONGLONG start = 99;
    EXPECT_EQ(lines.GetNextLine(line, start), S_OK);
    EXPECT_EQ(line, u"one\r\n");
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(lines.GetNextLine(line, start), S_OK);
    EXPECT_EQ(line, u"two\rstill\n");
    EXPECT_EQ(start, 10u);
    EXPECT_EQ(lines.GetNextLine(line, start), S_FALSE);
    EXPECT_EQ(line, u"\u00e9nd");
    EXPECT_EQ(start, 30u);
}

TEST(StringStreamTest, StartsAtTheStreamsPosition) {
    auto stream = MakeObject<CMemoryStream>(Utf16Bytes(u"skip\nrest"));
    stream->Seek(10, STREAM_SEEK_SET, nullptr);
    CStringStream lines(stream.Get());
    std::u16string line;
    ULONGLONG start = 99;
    EXPECT_EQ(lines.GetNextLine(line, start), S_FALSE);
    EXPECT_EQ(line, u"rest");
    EXPECT_EQ(start, 0u);  // offsets count from where the splitter started
}

TEST(StringStreamTest, LongLineAcrossManyChunks) {
    const std::u16string text = std::u16string(5000, u'q') + u"\nz";
    auto stream = MakeObject<CMemoryStream>(Utf16Bytes(text));
    CStringStream lines(stream.Get());
    std::u16string line;
    ULONGLONG start = 0;
    EXPECT_EQ(lines.GetNextLine(line, start), S_OK);
    EXPECT_EQ(line.size(), 5001u);
    EXPECT_EQ(lines.GetNextLine(line, start), S_FALSE);
    EXPECT_EQ(start, 10002u);
    EXPECT_EQ(line, u"z");
}

// A stream that fails every read.
class CBrokenStream : public CMemoryStream {
public:
    HRESULT Read(void*, ULONG, ULONG* pcbRead) override {
        if (pcbRead)
            *pcbRead = 0;
        return STG_E_READFAULT;
    }
};

TEST(StringStreamTest, ReadFailureIsReturned) {
    auto stream = MakeObject<CBrokenStream>();
    CStringStream lines(stream.Get());
    std::u16string line;
    ULONGLONG start = 0;
    EXPECT_EQ(lines.GetNextLine(line, start), STG_E_READFAULT);
}

}  // namespace
