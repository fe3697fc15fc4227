// The pool of reset Duktape heaps shared by an engine and its clones.
#include "script/engine/jscript/CJScriptHeapPool.h"

#include "script/engine/jscript/CJScriptHeap.h"

std::shared_ptr<CJScriptHeap> CJScriptHeapPool::Take() {
    std::lock_guard guard(m_lock);
    if (m_heaps.empty())
        return nullptr;
    std::shared_ptr<CJScriptHeap> heap = std::move(m_heaps.back());
    m_heaps.pop_back();
    return heap;
}

void CJScriptHeapPool::Give(std::shared_ptr<CJScriptHeap> heap) {
    if (!heap)
        return;
    // A dispatch view of a script object that the host still holds keeps the heap: its
    // object would otherwise turn into whatever the next run keeps under the same key.
    bool reuse = heap.use_count() == 1 && Count() < m_capacity && heap->Reset();
    if (reuse) {
        std::lock_guard guard(m_lock);
        reuse = m_heaps.size() < m_capacity;
        if (reuse)
            m_heaps.push_back(heap);
    }
    // Views still held find the heap closed, as after any engine's Close.
    if (!reuse)
        heap->Close();
}

std::size_t CJScriptHeapPool::Count() {
    std::lock_guard guard(m_lock);
    return m_heaps.size();
}
