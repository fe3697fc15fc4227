// The service-running marker: an abstract Unix socket bound under the name
// "Global\Corvane73MA83R6". It exists while this process lives and vanishes when it
// dies, so other programs can tell that the service runs. Best effort: when the name is
// taken the failure is logged and start-up goes on.
#pragma once

#include <string>

class CMarker {
public:
    CMarker() = default;
    ~CMarker();
    CMarker(const CMarker&) = delete;
    CMarker& operator=(const CMarker&) = delete;

    // Binds the name; false when it is held by another process or cannot be bound.
    bool Create(const std::string& name);
    bool IsHeld() const { return m_fd >= 0; }

    // True when some process holds the name.
    static bool Exists(const std::string& name);

private:
    int m_fd = -1;
};

constexpr const char* kServiceMarkerName = "Global\\Corvane73MA83R6";
