// The tray icon's position on screen; see TrayIconPosition.h.
#include "tray/TrayIconPosition.h"

#include "com/DiagnosticLog.h"

std::optional<TrayPoint> FindMarker(const PixelReader& pixel, const TrayRect& area) {
    auto dark = [&](int x, int y) { return (pixel(x, y) & 0xFCFCFCu) == 0; };
    for (int row = area.bottom - 3; row >= area.top; --row) {
        int run = 0;
        for (int column = area.left; column < area.right; ++column) {
            if (dark(column, row) && dark(column, row - 2) && dark(column, row + 2)) {
                if (++run >= 9)
                    return TrayPoint{column - 1, row - 6};
            } else {
                run = 0;
            }
        }
    }
    return std::nullopt;
}

CTrayIconPosition::CTrayIconPosition() : m_clock([] { return std::chrono::steady_clock::now(); }) {}

void CTrayIconPosition::Initialize(const void* window, std::int32_t identifier) {
    m_window = window;
    m_identifier = identifier;
}

TrayRect CTrayIconPosition::GetTrayWndRect() const {
    auto [width, height] = m_screen ? m_screen() : std::pair<int, int>(0, 0);
    return TrayRect{width - 40, height - 20, width, height};
}

bool CTrayIconPosition::FindOutPositionOfIconDirectly(TrayRect* rect) {
    try {
        if (m_direct) {
            if (auto found = m_direct()) {
                *rect = *found;
                return true;
            }
        }
        *rect = GetTrayWndRect();
        return false;
    } catch (...) {
        ReportException("CTrayIconPosition::FindOutPositionOfIconDirectly()", CV_HERE);
        *rect = TrayRect{};
        return false;
    }
}

int CTrayIconPosition::Direct(TrayPoint& pt) {
    TrayRect rect;
    bool found = FindOutPositionOfIconDirectly(&rect);
    pt = TrayPoint{rect.left + 4, rect.top + 6};
    return found ? 1 : 0;
}

int CTrayIconPosition::GetTrayIconPositionVisualScan(TrayPoint& pt, TrackPrecision precision) {
    try {
        if (precision == TrackPrecision::Default)
            precision = m_defaultPrecision;
        const auto now = m_clock();
        const auto lifetime = std::chrono::seconds(m_lifetimes[static_cast<int>(precision) - 1]);
        if (m_lastScan && now - *m_lastScan < lifetime) {
            pt = m_position;
            return 1;
        }
        m_trayRect = GetTrayWndRect();
        if (m_pixels) {
            if (auto reader = m_pixels()) {
                if (auto found = FindMarker(*reader, m_trayRect)) {
                    m_lastScan = now;
                    m_position = *found;
                    pt = *found;
                    return 1;
                }
            }
        }
        pt = TrayPoint{m_trayRect.left + 6, (m_trayRect.top + m_trayRect.bottom) / 2};
        return 0;
    } catch (...) {
        ReportException("CTrayIconPosition::GetTrayIconPositionVisualScan()", CV_HERE);
        return 0;
    }
}

int CTrayIconPosition::GetTrayIconPosition(TrayPoint& pt, TrackType trackType,
                                           TrackPrecision precision) {
    try {
        if (!m_window || m_identifier == -1)
            return -1;
        switch (trackType) {
            case TrackType::DirectFirst: {
                TrayPoint direct;
                if (Direct(direct) == 1) {
                    pt = direct;
                    return 1;
                }
                return GetTrayIconPositionVisualScan(pt, precision);
            }
            case TrackType::VisualScanFirst: {
                if (GetTrayIconPositionVisualScan(pt, precision) == 1)
                    return 1;
                return Direct(pt);
            }
            case TrackType::DirectOnly:
                return Direct(pt);
            case TrackType::VisualScanOnly:
                return GetTrayIconPositionVisualScan(pt, precision);
        }
        return 0;
    } catch (...) {
        ReportException("CTrayIconPosition::GetTrayIconPosition()", CV_HERE);
        return 0;
    }
}
