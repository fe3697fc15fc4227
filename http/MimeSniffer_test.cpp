// MIME types from bytes: HTML, plain text, an image, and nothing at all.
#include "http/MimeSniffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct MimeCase {
    std::string bytes;
    const char* type;
    HRESULT hr;
};

class MimeSniffer : public ::testing::TestWithParam<MimeCase> {};

TEST_P(MimeSniffer, NamesTheTypeOfTheBytes) {
    std::string type;
    EXPECT_EQ(
        CMimeSniffer::FindMimeFromData(GetParam().bytes.data(), GetParam().bytes.size(), &type),
        GetParam().hr);
    EXPECT_EQ(type, GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, MimeSniffer,
    ::testing::Values(
        MimeCase{"<html><head><title>500 Internal Server Error</title></head><body><P>A "
                 "server error has occurred:</P></body></html>",
                 "text/html", S_OK},
        MimeCase{"<!DOCTYPE html><p>blocked</p>", "text/html", S_OK},
        MimeCase{"The page cannot be shown.", "text/plain", S_OK},
        MimeCase{std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\x08\x06\0\0\0", 29),
                 "image/png", S_OK},
        MimeCase{"", "text/plain", S_FALSE}));

TEST(MimeSnifferArguments, RefusesMissingPointers) {
    std::string type;
    EXPECT_EQ(CMimeSniffer::FindMimeFromData(nullptr, 4, &type), E_POINTER);
    EXPECT_EQ(CMimeSniffer::FindMimeFromData("abc", 3, nullptr), E_POINTER);
}

}  // namespace
