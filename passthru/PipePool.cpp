// Pipes are asked for a large buffer so one burst step moves up to a megabyte; the
// kernel's default size stays when that is refused.
#include "passthru/PipePool.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr std::size_t kMaxFree = 256;
constexpr int kPipeSize = 1 << 20;
}  // namespace

CPipePool& CPipePool::Instance() {
    // Never destroyed: relays may give pipes back while the program ends.
    static auto* pool = new CPipePool;
    return *pool;
}

bool CPipePool::Take(int (&pipe)[2]) {
    CPipePool& pool = Instance();
    {
        std::lock_guard guard(pool.m_lock);
        if (!pool.m_free.empty()) {
            pipe[0] = pool.m_free.back().first;
            pipe[1] = pool.m_free.back().second;
            pool.m_free.pop_back();
            return true;
        }
    }
    if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipe[0] = pipe[1] = -1;
        return false;
    }
    ::fcntl(pipe[1], F_SETPIPE_SZ, kPipeSize);
    return true;
}

void CPipePool::Give(int (&pipe)[2], bool empty) {
    if (pipe[0] < 0)
        return;
    CPipePool& pool = Instance();
    bool kept = false;
    if (empty) {
        std::lock_guard guard(pool.m_lock);
        if (pool.m_free.size() < kMaxFree) {
            pool.m_free.emplace_back(pipe[0], pipe[1]);
            kept = true;
        }
    }
    if (!kept) {
        ::close(pipe[0]);
        ::close(pipe[1]);
    }
    pipe[0] = pipe[1] = -1;
}
