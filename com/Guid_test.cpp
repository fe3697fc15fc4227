// GUID parsing and the registry form.
#include "com/Guid.h"

#include <gtest/gtest.h>

TEST(Guid, RegistryFormRoundTrips) {
    constexpr GUID server = MakeGUID("{19BF719A-8566-443A-92F7-307C2D1D348D}");
    EXPECT_EQ(server.Data1, 0x19BF719Au);
    EXPECT_EQ(server.Data2, 0x8566);
    EXPECT_EQ(server.Data4[0], 0x92);
    EXPECT_EQ(GUID2String(server), "{19BF719A-8566-443A-92F7-307C2D1D348D}");
    EXPECT_EQ(ParseGUID("19bf719a-8566-443a-92f7-307c2d1d348d"), server);
    EXPECT_EQ(GUID::FromBytes(server.ToBytes().data()), server);
    EXPECT_EQ(server.ToBytes()[0], 0x9A);  // Data1 little-endian in memory
}

TEST(Guid, MalformedTextIsRejected) {
    for (const char* text : {"", "{}", "{19BF719A-8566-443A-92F7-307C2D1D348}",
                             "{19BF719A-8566-443A-92F7-307C2D1D348D", "19BF719A_8566-443A-92F7-307C2D1D348D",
                             "{19BF719A-8566-443A-92F7-307C2D1D34XD}", "[19BF719A-8566-443A-92F7-307C2D1D348D]"})
        EXPECT_FALSE(ParseGUID(text)) << text;
}

TEST(Guid, NewGuidsAreVersion4AndDistinct) {
    GUID a = NewGUID(), b = NewGUID();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.Data3 >> 12, 4);
    EXPECT_EQ(a.Data4[0] & 0xC0, 0x80);
}
