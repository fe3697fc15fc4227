// CTrayIconPosition: where the tray icon is on the screen, the anchor of balloons and
// dialogs.
//
// Two techniques: asking the icon's host directly (on this platform the geometry of an
// embedded status icon, handed in as a locator), and a scan of the screen's pixels in
// the tray area for a dark marker block. A position found by the scan is kept for 60, 30
// or 10 seconds by precision. When neither finds the icon, the answer is a point in a
// 40 × 20 area at the bottom right of the screen.
//
// Not thread-safe: the tray window uses it on its own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "idl/Enums.h"

struct TrayPoint {
    int x = 0;
    int y = 0;
    friend bool operator==(const TrayPoint&, const TrayPoint&) = default;
};

struct TrayRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    bool IsEmpty() const { return right <= left || bottom <= top; }
    friend bool operator==(const TrayRect&, const TrayRect&) = default;
};

// The screen's pixel at (x, y) as 0xRRGGBB.
using PixelReader = std::function<std::uint32_t(int x, int y)>;

// The scan for the marker: from 3 rows above the rectangle's bottom up to its top, each
// row left to right; a column counts when the pixels at the row and 2 rows above and
// below are near black (the colour masked with 0xFCFCFC is zero). Nine counting columns
// in a row are the marker, found at (column − 1, row − 6).
std::optional<TrayPoint> FindMarker(const PixelReader& pixel, const TrayRect& area);

class CTrayIconPosition {
public:
    // The icon's rectangle on screen when its host can tell it (not hidden); nothing
    // otherwise.
    using DirectLocator = std::function<std::optional<TrayRect>()>;
    // The primary screen's width and height.
    using ScreenSize = std::function<std::pair<int, int>()>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    CTrayIconPosition();

    // Names the icon (its owner and identifier); until then every query answers -1.
    void Initialize(const void* window, std::int32_t identifier);
    void SetDirectLocator(DirectLocator locator) { m_direct = std::move(locator); }
    void SetScreenSize(ScreenSize size) { m_screen = std::move(size); }
    // Shows the marker in place of the icon, reads the screen and restores the icon.
    void SetPixelReader(std::function<std::optional<PixelReader>()> reader) {
        m_pixels = std::move(reader);
    }
    void SetClockForTest(Clock clock) { m_clock = std::move(clock); }

    // 1 when located, 0 when `pt` holds the fallback point, -1 (pt unchanged) when not
    // initialised.
    int GetTrayIconPosition(TrayPoint& pt, TrackType trackType = TrackType::DirectFirst,
                            TrackPrecision precision = TrackPrecision::Default);
    int GetTrayIconPositionVisualScan(TrayPoint& pt, TrackPrecision precision);
    // The icon's rectangle; the tray rectangle and false when not found.
    bool FindOutPositionOfIconDirectly(TrayRect* rect);
    // The tray area: on this platform always the 40 × 20 corner of the screen.
    TrayRect GetTrayWndRect() const;

private:
    int Direct(TrayPoint& pt);

    const void* m_window = nullptr;
    std::int32_t m_identifier = -1;
    TrackPrecision m_defaultPrecision = TrackPrecision::High;
    int m_lifetimes[3] = {60, 30, 10};
    std::optional<std::chrono::steady_clock::time_point> m_lastScan;
    TrayPoint m_position;
    TrayRect m_trayRect;
    DirectLocator m_direct;
    ScreenSize m_screen;
    std::function<std::optional<PixelReader>()> m_pixels;
    Clock m_clock;
};
