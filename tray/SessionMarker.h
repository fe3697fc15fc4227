// CSessionMarker: one tray program per login session.
//
// An abstract Unix socket bound under "Local\Pellora813054C6-<session>", where the
// session is XDG_SESSION_ID, else the uid. The name exists while the process holds it and
// vanishes when it dies, so a crashed tray program never blocks the next one.
#pragma once

#include <string>

class CSessionMarker {
public:
    CSessionMarker() = default;
    ~CSessionMarker();
    CSessionMarker(const CSessionMarker&) = delete;
    CSessionMarker& operator=(const CSessionMarker&) = delete;

    // Binds the name; false when another process holds it (or it cannot be bound).
    bool Create(const std::string& name);

    // "Local\Pellora813054C6-" and this session's id.
    static std::string NameForThisSession();

private:
    int m_fd = -1;
};
