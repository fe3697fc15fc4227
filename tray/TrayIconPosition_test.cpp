// Tests of the icon locator: the fallback corner, the direct technique, the marker scan
// and how long a scanned position is kept.
#include "tray/TrayIconPosition.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A screen of `width` × `height` black-on-white pixels with a dark block.
struct FakeScreen {
    int width, height;
    TrayRect block;
    std::uint32_t Pixel(int x, int y) const {
        bool inside = x >= block.left && x < block.right && y >= block.top && y < block.bottom;
        return inside ? 0x010203u : 0xFFFFFFu;
    }
};

class TrayIconPositionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_position.SetScreenSize([] { return std::pair<int, int>(1920, 1080); });
        m_position.SetClockForTest([this] { return m_now; });
        m_position.Initialize(this, 1);
    }
    CTrayIconPosition m_position;
    std::chrono::steady_clock::time_point m_now{};
};

TEST_F(TrayIconPositionTest, UninitialisedAnswersMinusOneAndLeavesThePoint) {
    CTrayIconPosition fresh;
    TrayPoint pt{7, 8};
    EXPECT_EQ(-1, fresh.GetTrayIconPosition(pt));
    EXPECT_EQ((TrayPoint{7, 8}), pt);
}

TEST_F(TrayIconPositionTest, WithoutAnyTechniqueTheCornerIsTheAnswer) {
    EXPECT_EQ((TrayRect{1880, 1060, 1920, 1080}), m_position.GetTrayWndRect());
    TrayPoint pt;
    for (auto type : {TrackType::DirectFirst, TrackType::VisualScanOnly}) {
        EXPECT_EQ(0, m_position.GetTrayIconPosition(pt, type));
        EXPECT_EQ((TrayPoint{1886, 1070}), pt);
    }
    EXPECT_EQ(0, m_position.GetTrayIconPosition(pt, TrackType::DirectOnly));
    EXPECT_EQ((TrayPoint{1884, 1066}), pt) << "the tray rectangle's corner plus (4, 6)";
}

TEST_F(TrayIconPositionTest, DirectTechniqueUsesTheIconRectangle) {
    bool hidden = false;
    m_position.SetDirectLocator([&]() -> std::optional<TrayRect> {
        if (hidden)
            return std::nullopt;
        return TrayRect{100, 0, 124, 24};
    });
    TrayPoint pt;
    EXPECT_EQ(1, m_position.GetTrayIconPosition(pt));
    EXPECT_EQ((TrayPoint{104, 6}), pt);
    hidden = true;
    EXPECT_EQ(0, m_position.GetTrayIconPosition(pt, TrackType::DirectOnly))
        << "a hidden icon is not found";
}

TEST_F(TrayIconPositionTest, ScanFindsTheMarkerAndKeepsItForItsPrecision) {
    FakeScreen screen{1920, 1080, TrayRect{1890, 1062, 1902, 1072}};
    int scans = 0;
    m_position.SetPixelReader([&]() -> std::optional<PixelReader> {
        ++scans;
        return PixelReader([&](int x, int y) { return screen.Pixel(x, y); });
    });
    TrayPoint pt;
    EXPECT_EQ(1, m_position.GetTrayIconPosition(pt, TrackType::VisualScanOnly));
    // The lowest row whose pixels 2 above and below are dark too: 1069; the ninth
    // column of the run: 1898.
    EXPECT_EQ((TrayPoint{1897, 1063}), pt);
    m_now += std::chrono::seconds(9);
    EXPECT_EQ(1, m_position.GetTrayIconPosition(pt, TrackType::VisualScanOnly));
    EXPECT_EQ(1, scans) << "the default precision keeps a position for 10 seconds";
    m_now += std::chrono::seconds(2);
    EXPECT_EQ(1, m_position.GetTrayIconPosition(pt, TrackType::VisualScanOnly));
    EXPECT_EQ(2, scans);
    m_now += std::chrono::seconds(40);
    EXPECT_EQ(1,
              m_position.GetTrayIconPosition(pt, TrackType::VisualScanOnly, TrackPrecision::Low));
    EXPECT_EQ(2, scans) << "low precision keeps it for 60 seconds";
}

TEST(FindMarkerTest, ABlockTooNarrowOrTooLowIsNoMarker) {
    FakeScreen narrow{100, 40, TrayRect{10, 10, 18, 20}};  // 8 columns
    EXPECT_FALSE(
        FindMarker([&](int x, int y) { return narrow.Pixel(x, y); }, TrayRect{0, 0, 100, 40}));
    FakeScreen flat{100, 40, TrayRect{10, 10, 30, 14}};  // 4 rows
    EXPECT_FALSE(
        FindMarker([&](int x, int y) { return flat.Pixel(x, y); }, TrayRect{0, 0, 100, 40}));
    FakeScreen block{100, 40, TrayRect{10, 10, 30, 15}};
    EXPECT_TRUE(
        FindMarker([&](int x, int y) { return block.Pixel(x, y); }, TrayRect{0, 0, 100, 40}));
}

}  // namespace
