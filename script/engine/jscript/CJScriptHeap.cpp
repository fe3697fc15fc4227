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
const char kRunThread[] = DUK_HIDDEN_SYMBOL("runThread");
std::atomic<std::size_t> g_opened{0};
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
    g_opened.fetch_add(1, std::memory_order_relaxed);
    duk_push_heap_stash(m_ctx);
    duk_push_bare_object(m_ctx);
    duk_put_prop_string(m_ctx, -2, kKeptObjects);
    duk_push_pointer(m_ctx, this);
    duk_put_prop_string(m_ctx, -2, kHeapPointer);
    duk_pop(m_ctx);
    m_run = m_ctx;
    return S_OK;
}

std::size_t CJScriptHeap::OpenedCount() {
    return g_opened.load(std::memory_order_relaxed);
}

bool CJScriptHeap::Reset() {
    std::lock_guard guard(m_lock);
    if (CheckExpression(!m_ctx || m_depth.load() != 0))
        return false;
    // Everything the stash holds belongs to the previous run (named items, kept values,
    // the host-object handler and prototypes made in the old global environment) but
    // the heap's own pointer; the new global environment's thread replaces the old one.
    duk_context* run = nullptr;
    auto body = [&run](duk_context* c) {
        duk_push_heap_stash(c);
        duk_push_array(c);
        duk_uarridx_t count = 0;
        duk_enum(c, -2,
                 DUK_ENUM_OWN_PROPERTIES_ONLY | DUK_ENUM_INCLUDE_NONENUMERABLE |
                     DUK_ENUM_INCLUDE_HIDDEN | DUK_ENUM_INCLUDE_SYMBOLS);
        while (duk_next(c, -1, 0))
            duk_put_prop_index(c, -3, count++);
        duk_pop(c);
        for (duk_uarridx_t i = 0; i < count; ++i) {
            duk_get_prop_index(c, -1, i);
            duk_push_string(c, kHeapPointer);
            const bool keep = duk_equals(c, -1, -2);
            duk_pop(c);
            if (keep)
                duk_pop(c);
            else
                duk_del_prop(c, -3);
        }
        duk_pop(c);
        duk_push_bare_object(c);
        duk_put_prop_string(c, -2, kKeptObjects);
        duk_push_thread_new_globalenv(c);
        run = duk_get_context(c, -1);
        duk_put_prop_string(c, -2, kRunThread);
    };
    duk_int_t rc = duk_safe_call(
        m_ctx,
        [](duk_context* c, void* udata) -> duk_ret_t {
            (*static_cast<decltype(body)*>(udata))(c);
            return 0;
        },
        &body, 0, 1);
    duk_pop(m_ctx);
    if (CheckExpression(rc != DUK_EXEC_SUCCESS || !run))
        return false;
    m_run = run;
    // The old global environment is garbage now, in cycles that reference counting does
    // not free: collect it, so that its host objects are released at once.
    duk_gc(m_ctx, 0);
    m_resolvedNames.clear();
    m_nextKey = 1;
    ClearInterrupt();
    m_lcid = 0x0409;
    m_pSite = nullptr;
    m_reportError = nullptr;
    return true;
}

void CJScriptHeap::Close() {
    std::lock_guard guard(m_lock);
    if (m_ctx) {
        duk_context* ctx = m_ctx;
        m_run = nullptr;
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
    index = duk_normalize_index(m_run, index);
    unsigned key = m_nextKey++;
    duk_push_heap_stash(m_run);
    duk_get_prop_string(m_run, -1, kKeptObjects);
    duk_dup(m_run, index);
    duk_put_prop_index(m_run, -2, key);
    duk_pop_2(m_run);
    return key;
}

void CJScriptHeap::PushKept(unsigned key) {
    duk_push_heap_stash(m_run);
    duk_get_prop_string(m_run, -1, kKeptObjects);
    duk_get_prop_index(m_run, -1, key);
    duk_remove(m_run, -2);
    duk_remove(m_run, -2);
}

void CJScriptHeap::ReleaseKept(unsigned key) {
    if (!m_run)
        return;
    duk_push_heap_stash(m_run);
    duk_get_prop_string(m_run, -1, kKeptObjects);
    duk_del_prop_index(m_run, -1, key);
    duk_pop_2(m_run);
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
