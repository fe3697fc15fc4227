// CPipePool: empty pipes lent to the relays' splice bursts.
//
// A splice burst moves a direction's bytes from one socket into a pipe and from the pipe
// into the other socket. Only a running burst needs a pipe, and it gives it back empty,
// so idle connections hold none: the pool keeps a few empty pipes for the next bursts
// and closes the rest.
//
// Locks: the pool's lock guards its list only; innermost.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

class CPipePool {
public:
    // Gives an empty non-blocking pipe (read end, write end); false when none can be made.
    static bool Take(int (&pipe)[2]);
    // Takes back a pipe that holds no bytes and empties `pipe`; a pipe that may hold bytes
    // must be given with `empty` false, and is closed.
    static void Give(int (&pipe)[2], bool empty = true);

private:
    static CPipePool& Instance();
    // Guards m_free. Innermost.
    std::mutex m_lock;
    std::vector<std::pair<int, int>> m_free;
};
