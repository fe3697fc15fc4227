// CJScriptHeapPool: Duktape heaps of released clones, kept for the next clones.
//
// An engine and all its clones share one pool. When a clone closes and nothing outside
// it still refers into its heap, the heap is reset (a new global environment, the
// previous run's garbage collected) and kept here; the next clone takes it instead of
// creating a heap, and loads the shared compiled programs into it. The pool keeps a
// few heaps only: a burst of parallel runs leaves no more behind than later runs reuse.
#pragma once
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

class CJScriptHeap;

class CJScriptHeapPool {
public:
    explicit CJScriptHeapPool(std::size_t capacity = kDefaultCapacity) : m_capacity(capacity) {}
    static constexpr std::size_t kDefaultCapacity = 8;

    // A reset heap, or null when the pool is empty.
    std::shared_ptr<CJScriptHeap> Take();
    // Resets a heap that its engine no longer uses and keeps it; closes it instead when
    // something else still holds it, it cannot be reset, or the pool is full.
    void Give(std::shared_ptr<CJScriptHeap> heap);
    std::size_t Count();

private:
    const std::size_t m_capacity;
    std::mutex m_lock;  // a leaf lock: guards m_heaps only
    std::vector<std::shared_ptr<CJScriptHeap>> m_heaps;
};
