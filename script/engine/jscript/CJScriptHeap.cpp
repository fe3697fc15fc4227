// The Duktape heap of one engine: creation, counted allocation, the interrupt flag the
// execution time-out hook reads, kept values and dispatch ids of names.
#include "script/engine/jscript/CJScriptHeap.h"

#include <cstdlib>
#include <cstring>
#include "com/DiagnosticLog.h"

namespace {
// Every block carries its size in front, so that the heap can count what it holds.
struct alignas(std::max_align_t) BlockHeader {
    std::size_t size;
};
const char kKeptObjects[] = DUK_HIDDEN_SYMBOL("kept");
const char kHeapPointer[] = DUK_HIDDEN_SYMBOL("heap");
}  // namespace

extern "C" duk_bool_t CorvaneDuktapeTimeoutCheck(void* udata) {
    auto* heap = static_cast<CJScriptHeap*>(udata);
    return heap != nullptr && heap->InterruptRequested();
}

CJScriptHeap::CJScriptHeap(std::size_t memoryLimit) : m_memoryLimit(memoryLimit) {}

CJScriptHeap::~CJScriptHeap() {
    Close();
}

HRESULT CJScriptHeap::Open() {
    std::lock_guard guard(m_lock);
    if (m_ctx)
        return S_OK;
    m_ctx = duk_create_heap(&Alloc, &Realloc, &Free, this, &Fatal);
    if (CheckExpression(!m_ctx))
        return E_OUTOFMEMORY;
    duk_push_heap_stash(m_ctx);
    duk_push_bare_object(m_ctx);
    duk_put_prop_string(m_ctx, -2, kKeptObjects);
    duk_push_pointer(m_ctx, this);
    duk_put_prop_string(m_ctx, -2, kHeapPointer);
    duk_pop(m_ctx);
    return S_OK;
}

void CJScriptHeap::Close() {
    std::lock_guard guard(m_lock);
    if (m_ctx) {
        duk_context* ctx = m_ctx;
        duk_destroy_heap(ctx);
        m_ctx = nullptr;
    }
}

CJScriptHeap* CJScriptHeap::From(duk_context* ctx) {
    duk_push_heap_stash(ctx);
    duk_get_prop_string(ctx, -1, kHeapPointer);
    auto* heap = static_cast<CJScriptHeap*>(duk_get_pointer(ctx, -1));
    duk_pop_2(ctx);
    return heap;
}

std::shared_ptr<CJScriptHeap> CJScriptHeap::SharedFrom(duk_context* ctx) {
    CJScriptHeap* heap = From(ctx);
    return heap ? heap->weak_from_this().lock() : nullptr;
}

DISPID CJScriptHeap::IdOfName(const std::u16string& name) {
    std::lock_guard guard(m_lock);
    auto it = m_ids.find(name);
    if (it != m_ids.end())
        return it->second;
    DISPID id = kFirstId + static_cast<DISPID>(m_names.size());
    m_names.push_back(name);
    m_ids.emplace(name, id);
    return id;
}

const std::u16string* CJScriptHeap::NameOfId(DISPID id) const {
    if (id < kFirstId || static_cast<std::size_t>(id - kFirstId) >= m_names.size())
        return nullptr;
    return &m_names[static_cast<std::size_t>(id - kFirstId)];
}

unsigned CJScriptHeap::Keep(duk_idx_t index) {
    index = duk_normalize_index(m_ctx, index);
    unsigned key = m_nextKey++;
    duk_push_heap_stash(m_ctx);
    duk_get_prop_string(m_ctx, -1, kKeptObjects);
    duk_dup(m_ctx, index);
    duk_put_prop_index(m_ctx, -2, key);
    duk_pop_2(m_ctx);
    return key;
}

void CJScriptHeap::PushKept(unsigned key) {
    duk_push_heap_stash(m_ctx);
    duk_get_prop_string(m_ctx, -1, kKeptObjects);
    duk_get_prop_index(m_ctx, -1, key);
    duk_remove(m_ctx, -2);
    duk_remove(m_ctx, -2);
}

void CJScriptHeap::ReleaseKept(unsigned key) {
    if (!m_ctx)
        return;
    duk_push_heap_stash(m_ctx);
    duk_get_prop_string(m_ctx, -1, kKeptObjects);
    duk_del_prop_index(m_ctx, -1, key);
    duk_pop_2(m_ctx);
}

void* CJScriptHeap::Alloc(void* udata, duk_size_t size) {
    auto* heap = static_cast<CJScriptHeap*>(udata);
    if (size == 0)
        return nullptr;
    if (size > heap->m_memoryLimit ||
        heap->m_memoryUsed.load(std::memory_order_relaxed) + size > heap->m_memoryLimit)
        return nullptr;
    auto* block = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
    if (!block)
        return nullptr;
    block->size = size;
    heap->m_memoryUsed.fetch_add(size, std::memory_order_relaxed);
    return block + 1;
}

void* CJScriptHeap::Realloc(void* udata, void* ptr, duk_size_t size) {
    auto* heap = static_cast<CJScriptHeap*>(udata);
    if (!ptr)
        return Alloc(udata, size);
    if (size == 0) {
        Free(udata, ptr);
        return nullptr;
    }
    BlockHeader* block = static_cast<BlockHeader*>(ptr) - 1;
    const std::size_t old = block->size;
    if (size > old &&
        (size - old > heap->m_memoryLimit ||
         heap->m_memoryUsed.load(std::memory_order_relaxed) + (size - old) > heap->m_memoryLimit))
        return nullptr;
    auto* grown = static_cast<BlockHeader*>(std::realloc(block, sizeof(BlockHeader) + size));
    if (!grown)
        return nullptr;
    grown->size = size;
    heap->m_memoryUsed.fetch_add(size, std::memory_order_relaxed);
    heap->m_memoryUsed.fetch_sub(old, std::memory_order_relaxed);
    return grown + 1;
}

void CJScriptHeap::Free(void* udata, void* ptr) {
    if (!ptr)
        return;
    auto* heap = static_cast<CJScriptHeap*>(udata);
    BlockHeader* block = static_cast<BlockHeader*>(ptr) - 1;
    heap->m_memoryUsed.fetch_sub(block->size, std::memory_order_relaxed);
    std::free(block);
}

void CJScriptHeap::Fatal(void*, const char* message) {
    // Duktape calls this only for errors outside every protected call, which the engine
    // never makes; there is no way to continue from here.
    LogTrace("JScript: fatal Duktape error: %s", message ? message : "");
    std::abort();
}
