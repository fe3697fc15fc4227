// CJScriptEngine: state, parsing, running, named items, clones and interrupts of the
// JScript engine.
#include "script/engine/jscript/CJScriptEngine.h"

#include <atomic>
#include <cstring>
#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "idl/TypeLibrary.h"
#include "script/engine/jscript/CJScriptBuiltins.h"
#include "script/engine/jscript/CJScriptError.h"
#include "script/engine/jscript/CJScriptHeap.h"
#include "script/engine/jscript/CJScriptHeapPool.h"
#include "script/engine/jscript/CJScriptHostObject.h"
#include "script/engine/jscript/CJScriptObjectDispatch.h"
#include "script/engine/jscript/JScriptValues.h"

namespace {
const char kEngine[] = DUK_HIDDEN_SYMBOL("engine");
const char kItemName[] = DUK_HIDDEN_SYMBOL("itemName");
const char kItems[] = DUK_HIDDEN_SYMBOL("items");
const char kGlobalTarget[] = DUK_HIDDEN_SYMBOL("globalTarget");
std::atomic<unsigned> g_nextProgram{1};

template <class F>
duk_int_t SafeCall(duk_context* ctx, F& body) {
    return duk_safe_call(
        ctx,
        [](duk_context* c, void* udata) -> duk_ret_t {
            (*static_cast<F*>(udata))(c);
            return 0;
        },
        &body, 0, 1);
}

IActiveScriptSite* SiteOf(duk_context* ctx) {
    CJScriptHeap* heap = CJScriptHeap::From(ctx);
    return heap ? heap->m_pSite : nullptr;
}

// Pushes the object of a named item (asked of the site once, then kept), or undefined.
void PushItemObject(duk_context* ctx, const std::u16string& name) {
    duk_push_heap_stash(ctx);
    duk_get_prop_string(ctx, -1, kItems);
    PushText(ctx, name);
    if (duk_get_prop(ctx, -2)) {
        duk_remove(ctx, -2);
        duk_remove(ctx, -2);
        return;
    }
    duk_pop(ctx);
    CComPtr<IUnknown> unknown;
    IActiveScriptSite* site = SiteOf(ctx);
    HRESULT hr =
        site ? site->GetItemInfo(BSTR(name), SCRIPTINFO_IUNKNOWN, unknown.Receive(), nullptr)
             : E_UNEXPECTED;
    CComPtr<IDispatch> disp = SUCCEEDED(hr) ? ComQuery<IDispatch>(unknown.Get()) : nullptr;
    if (!disp) {
        duk_pop_2(ctx);
        duk_push_undefined(ctx);
        return;
    }
    CJScriptHostObject::Push(ctx, disp.Get());
    PushText(ctx, name);
    duk_dup(ctx, -2);
    duk_put_prop(ctx, -4);  // items[name] = object
    duk_remove(ctx, -2);
    duk_remove(ctx, -2);
}

duk_ret_t NamedItemGetter(duk_context* ctx) {
    duk_push_current_function(ctx);
    duk_get_prop_string(ctx, -1, kItemName);
    const std::u16string name = GetText(ctx, -1);
    duk_pop_2(ctx);
    PushItemObject(ctx, name);
    return 1;
}

const char kMemberItem[] = DUK_HIDDEN_SYMBOL("memberItem");
const char kMemberName[] = DUK_HIDDEN_SYMBOL("memberName");

// The item and member names a global-member accessor was made for.
void PushMemberOwner(duk_context* ctx, std::u16string* member) {
    duk_push_current_function(ctx);
    duk_get_prop_string(ctx, -1, kMemberItem);
    const std::u16string item = GetText(ctx, -1);
    duk_get_prop_string(ctx, -2, kMemberName);
    *member = GetText(ctx, -1);
    duk_pop_3(ctx);
    PushItemObject(ctx, item);
}

duk_ret_t GlobalMemberGetter(duk_context* ctx) {
    std::u16string member;
    PushMemberOwner(ctx, &member);
    if (!duk_is_object(ctx, -1))
        return duk_reference_error(ctx, "object of a global member is gone");
    PushText(ctx, member);
    duk_get_prop(ctx, -2);
    return 1;
}

duk_ret_t GlobalMemberSetter(duk_context* ctx) {
    std::u16string member;
    PushMemberOwner(ctx, &member);
    if (!duk_is_object(ctx, -1))
        return duk_reference_error(ctx, "object of a global member is gone");
    PushText(ctx, member);
    duk_dup(ctx, 0);
    duk_put_prop(ctx, -3);
    return 0;
}

// A global member that the scripts only ever call: invoked as a method directly, so the
// member is never read as a property first (a procedure that wants arguments may treat
// a read without them as an error of the script).
duk_ret_t GlobalMemberCall(duk_context* ctx) {
    const duk_idx_t count = duk_get_top(ctx);
    std::u16string member;
    PushMemberOwner(ctx, &member);
    IDispatch* pdisp = CJScriptHostObject::DispatchOf(ctx, -1);
    if (!pdisp)
        return duk_reference_error(ctx, "object of a global member is gone");
    const char16_t* names[] = {member.c_str()};
    DISPID dispid = DISPID_UNKNOWN;
    CJScriptHeap* heap = CJScriptHeap::From(ctx);
    HRESULT hr = pdisp->GetIDsOfNames(GUID_NULL, names, 1,
                                      heap ? heap->m_lcid : LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr))
        CJScriptHostObject::ThrowFailure(ctx, hr, nullptr);
    CJScriptHostObject::Invoke(ctx, pdisp, dispid, DISPATCH_METHOD, 0, count);
    return 1;
}

bool IsIdentifierStart(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u'$' ||
           c >= 0x80;
}
bool IsIdentifierPart(char16_t c) {
    return IsIdentifierStart(c) || (c >= u'0' && c <= u'9');
}

bool IsReservedWord(const std::u16string& word) {
    static const std::set<std::u16string> words = {
        u"break",      u"case",  u"catch",     u"continue", u"debugger", u"default", u"delete",
        u"do",         u"else",  u"finally",   u"for",      u"function", u"if",      u"in",
        u"instanceof", u"new",   u"return",    u"switch",   u"this",     u"throw",   u"try",
        u"typeof",     u"var",   u"void",      u"while",    u"with",     u"null",    u"true",
        u"false",      u"const", u"let",       u"class",    u"enum",     u"export",  u"extends",
        u"import",     u"super", u"undefined", u"arguments"};
    return words.count(word) != 0;
}

// The identifiers a script text uses outside strings and comments, other than member
// names after a dot and reserved words; each once, in order of first use. Regular
// expression literals are not told from division, so a word inside one may be listed:
// that costs one needless look-up, never a wrong binding. A name is call-only when
// every use of it is followed by "(".
std::vector<CJScriptEngine::Identifier> ScanIdentifiers(const std::u16string& text) {
    std::vector<CJScriptEngine::Identifier> out;
    std::map<std::u16string, std::size_t> seen;
    char16_t previous = 0;  // last significant character
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const char16_t c = text[i];
        if (c == u'/' && i + 1 < n && text[i + 1] == u'/') {
            while (i < n && text[i] != u'\n')
                ++i;
        } else if (c == u'/' && i + 1 < n && text[i + 1] == u'*') {
            const std::size_t end = text.find(u"*/", i + 2);
            i = end == std::u16string::npos ? n : end + 2;
        } else if (c == u'"' || c == u'\'' || c == u'`') {
            ++i;
            while (i < n && text[i] != c && text[i] != u'\n')
                i += text[i] == u'\\' ? 2 : 1;
            ++i;
            previous = c;
        } else if (c >= u'0' && c <= u'9') {
            while (i < n && (IsIdentifierPart(text[i]) || text[i] == u'.'))
                ++i;
            previous = u'0';
        } else if (IsIdentifierStart(c)) {
            const std::size_t start = i;
            while (i < n && IsIdentifierPart(text[i]))
                ++i;
            std::u16string word = text.substr(start, i - start);
            std::size_t next = i;
            while (next < n && (text[next] == u' ' || text[next] == u'\t'))
                ++next;
            const bool call = next < n && text[next] == u'(';
            if (previous != u'.' && !IsReservedWord(word)) {
                auto [at, added] = seen.emplace(word, out.size());
                if (added)
                    out.push_back(CJScriptEngine::Identifier{std::move(word), call});
                else
                    out[at->second].callOnly = out[at->second].callOnly && call;
            }
            previous = u'a';
        } else {
            if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n')
                previous = c;
            ++i;
        }
    }
    return out;
}

ULONG LineIndex(const std::u16string& text, long line, std::u16string* lineText) {
    std::size_t start = 0;
    for (long i = 1; i < line; ++i) {
        std::size_t nl = text.find(u'\n', start);
        if (nl == std::u16string::npos)
            break;
        start = nl + 1;
    }
    std::size_t end = text.find(u'\n', start);
    *lineText =
        text.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
    if (!lineText->empty() && lineText->back() == u'\r')
        lineText->pop_back();
    return 0;
}
}  // namespace

CJScriptEngine::CJScriptEngine() = default;

CJScriptEngine::~CJScriptEngine() {
    Close();
}

HRESULT CJScriptEngine::EnsureHeap() {
    if (m_heap && m_heap->Context())
        return S_OK;
    // A clone takes a heap that an earlier clone left behind, when there is one.
    std::shared_ptr<CJScriptHeap> heap = m_pool ? m_pool->Take() : nullptr;
    if (!heap) {
        heap = std::make_shared<CJScriptHeap>();
        HRESULT hr = heap->Open();
        if (CheckExpression(FAILED(hr)))
            return hr;
    }
    {
        std::lock_guard heapGuard(heap->Lock());
        heap->m_pSite = m_ptrSite.Get();
        heap->m_lcid = m_lcid;
        // Called without any lock of the engine or the heap.
        heap->m_reportError = [this](const CJScriptErrorDetails& details) {
            Report(details, nullptr, nullptr);
        };
    }
    m_heap = std::move(heap);
    std::atomic_store(&m_heapForInterrupt, m_heap);
    return SetUpGlobals();
}

HRESULT CJScriptEngine::SetUpGlobals() {
    std::lock_guard heapGuard(m_heap->Lock());
    duk_context* ctx = m_heap->Context();
    auto body = [this](duk_context* c) {
        duk_push_heap_stash(c);
        duk_push_pointer(c, &m_items);
        duk_put_prop_string(c, -2, kEngine);
        duk_push_bare_object(c);
        duk_put_prop_string(c, -2, kItems);
        duk_pop(c);
        CJScriptBuiltins::Install(c);
        for (const auto& [name, value] : m_constants) {
            duk_push_global_object(c);
            PushText(c, name);
            PushVariant(c, value);
            duk_def_prop(
                c, -3,
                DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_CLEAR_WRITABLE | DUK_DEFPROP_SET_CONFIGURABLE);
            duk_pop(c);
        }
        // Named items are defined on the global object itself.
        duk_push_global_object(c);
        duk_push_heap_stash(c);
        duk_dup(c, -2);
        duk_put_prop_string(c, -2, kGlobalTarget);
        duk_pop_2(c);
    };
    duk_int_t rc = SafeCall(ctx, body);
    duk_pop(ctx);
    if (CheckExpression(rc != DUK_EXEC_SUCCESS))
        return E_UNEXPECTED;
    for (const NamedItem& item : m_items)
        DefineNamedItem(item);
    return S_OK;
}

void CJScriptEngine::DefineNamedItem(const NamedItem& item) {
    if (!(item.flags & SCRIPTITEM_ISVISIBLE) || !m_heap || !m_heap->Context())
        return;
    std::lock_guard heapGuard(m_heap->Lock());
    duk_context* ctx = m_heap->Context();
    auto body = [&item](duk_context* c) {
        duk_push_heap_stash(c);
        duk_get_prop_string(c, -1, kGlobalTarget);
        PushText(c, item.name);
        duk_push_c_function(c, &NamedItemGetter, 0);
        PushText(c, item.name);
        duk_put_prop_string(c, -2, kItemName);
        duk_def_prop(c, -3,
                     DUK_DEFPROP_HAVE_GETTER | DUK_DEFPROP_SET_CONFIGURABLE |
                         DUK_DEFPROP_SET_ENUMERABLE | DUK_DEFPROP_FORCE);
    };
    duk_int_t rc = SafeCall(ctx, body);
    CheckExpression(rc != DUK_EXEC_SUCCESS);
    duk_pop(ctx);
}

void CJScriptEngine::ResolveGlobalMembers() {
    // The site and the owners are asked without the engine's or the heap's lock: they
    // may run script of another language, which may call back into this engine.
    std::shared_ptr<CJScriptHeap> heap;
    CComPtr<IActiveScriptSite> site;
    std::vector<NamedItem> items;
    std::vector<std::shared_ptr<const Program>> programs;
    LCID lcid = 0;
    {
        std::lock_guard guard(m_lock);
        if (!m_ptrSite || !m_heap || !m_heap->Context())
            return;
        lcid = m_lcid;
        heap = m_heap;
        site = m_ptrSite;
        for (const NamedItem& item : m_items)
            if ((item.flags & (SCRIPTITEM_GLOBALMEMBERS | SCRIPTITEM_ISVISIBLE)) ==
                (SCRIPTITEM_GLOBALMEMBERS | SCRIPTITEM_ISVISIBLE))
                items.push_back(item);
        if (items.empty())
            return;
        programs = m_programs;
    }
    // Names the scripts use that are no globals of the heap yet.
    std::vector<const Identifier*> open;
    {
        std::lock_guard heapGuard(heap->Lock());
        duk_context* ctx = heap->Context();
        if (!ctx)
            return;
        std::set<std::u16string> listed;
        for (const auto& program : programs) {
            for (const Identifier& identifier : program->identifiers) {
                const std::u16string& name = identifier.name;
                if (heap->m_resolvedNames.count(name) || listed.count(name))
                    continue;
                bool isGlobal = false;
                auto probe = [&](duk_context* c) {
                    duk_push_global_object(c);
                    PushText(c, name);
                    isGlobal = duk_has_prop(c, -2);
                };
                duk_int_t rc = SafeCall(ctx, probe);
                duk_pop(ctx);
                if (rc != DUK_EXEC_SUCCESS)
                    continue;
                if (isGlobal) {
                    heap->m_resolvedNames.insert(name);
                } else {
                    listed.insert(name);
                    open.push_back(&identifier);
                }
            }
        }
    }
    if (open.empty())
        return;
    std::vector<std::pair<const NamedItem*, CComPtr<IDispatch>>> owners;
    for (const NamedItem& item : items) {
        CComPtr<IUnknown> unknown;
        if (FAILED(site->GetItemInfo(BSTR(item.name), SCRIPTINFO_IUNKNOWN, unknown.Receive(),
                                     nullptr)))
            continue;
        if (CComPtr<IDispatch> disp = ComQuery<IDispatch>(unknown.Get()))
            owners.emplace_back(&item, std::move(disp));
    }
    // Each open name with the first owner that knows it.
    std::vector<std::pair<const Identifier*, const NamedItem*>> found;
    for (const Identifier* identifier : open) {
        for (const auto& owner : owners) {
            const char16_t* names[] = {identifier->name.c_str()};
            DISPID id = DISPID_UNKNOWN;
            if (SUCCEEDED(owner.second->GetIDsOfNames(GUID_NULL, names, 1, lcid, &id))) {
                found.emplace_back(identifier, owner.first);
                break;
            }
        }
    }
    std::lock_guard heapGuard(heap->Lock());
    duk_context* ctx = heap->Context();
    if (!ctx)
        return;
    for (const auto& [identifier, item] : found) {
        const std::u16string& name = identifier->name;
        const bool callOnly = identifier->callOnly;
        const std::u16string& itemName = item->name;
        auto pushMemberFunction = [&](duk_context* c, duk_c_function fn, duk_idx_t nargs) {
            duk_push_c_function(c, fn, nargs);
            PushText(c, itemName);
            duk_put_prop_string(c, -2, kMemberItem);
            PushText(c, name);
            duk_put_prop_string(c, -2, kMemberName);
        };
        auto define = [&](duk_context* c) {
            duk_push_global_object(c);
            PushText(c, name);
            // Configurable, so that a later declaration of the script's own replaces it.
            if (callOnly) {
                pushMemberFunction(c, &GlobalMemberCall, DUK_VARARGS);
                duk_def_prop(c, -3,
                             DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WRITABLE |
                                 DUK_DEFPROP_SET_CONFIGURABLE);
            } else {
                pushMemberFunction(c, &GlobalMemberGetter, 0);
                pushMemberFunction(c, &GlobalMemberSetter, 1);
                duk_def_prop(c, -4,
                             DUK_DEFPROP_HAVE_GETTER | DUK_DEFPROP_HAVE_SETTER |
                                 DUK_DEFPROP_SET_CONFIGURABLE);
            }
        };
        duk_int_t rc = SafeCall(ctx, define);
        duk_pop(ctx);
        if (!CheckExpression(rc != DUK_EXEC_SUCCESS))
            heap->m_resolvedNames.insert(name);
    }
}

HRESULT CJScriptEngine::SetScriptSite(IActiveScriptSite* pass) {
    if (CheckExpression(!pass))
        return E_POINTER;
    // The site is asked before the engine's lock is taken: the engine never calls out
    // while it holds its lock.
    LCID lcid = 0;
    if (FAILED(pass->GetLCID(&lcid)) || lcid == 0)
        lcid = 0x0409;
    std::lock_guard guard(m_lock);
    if (CheckExpression(m_ptrSite))
        return E_UNEXPECTED;
    m_ptrSite = pass;
    m_lcid = lcid;
    if (m_heap) {
        std::lock_guard heapGuard(m_heap->Lock());
        m_heap->m_pSite = pass;
        m_heap->m_lcid = lcid;
    }
    if (m_state == SCRIPTSTATE_UNINITIALIZED)
        m_state = SCRIPTSTATE_INITIALIZED;
    return S_OK;
}

HRESULT CJScriptEngine::GetScriptSite(const IID& riid, void** ppvObject) {
    if (CheckExpression(!ppvObject))
        return E_POINTER;
    *ppvObject = nullptr;
    std::lock_guard guard(m_lock);
    if (!m_ptrSite)
        return S_FALSE;
    return m_ptrSite->QueryInterface(riid, ppvObject);
}

HRESULT CJScriptEngine::SetScriptState(SCRIPTSTATE ss) {
    try {
        std::unique_lock guard(m_lock);
        if (m_state == SCRIPTSTATE_CLOSED)
            return E_UNEXPECTED;
        switch (ss) {
            case SCRIPTSTATE_STARTED:
            case SCRIPTSTATE_CONNECTED: {
                if (CheckExpression(!m_ptrSite))
                    return E_UNEXPECTED;
                m_state = ss;
                CComPtr<IActiveScriptSite> site = m_ptrSite;
                // Global code runs, and the site hears of it, without the engine's lock.
                guard.unlock();
                HRESULT hr = RunPending();
                site->OnStateChange(ss);
                return hr;
            }
            case SCRIPTSTATE_INITIALIZED:
            case SCRIPTSTATE_DISCONNECTED:
                m_state = ss;
                return S_OK;
            case SCRIPTSTATE_CLOSED:
                guard.unlock();
                return Close();
            default:
                return E_INVALIDARG;
        }
    } catch (...) {
        return ReportException("CJScriptEngine::SetScriptState", CV_HERE);
    }
}

HRESULT CJScriptEngine::GetScriptState(SCRIPTSTATE* pssState) {
    if (CheckExpression(!pssState))
        return E_POINTER;
    std::lock_guard guard(m_lock);
    *pssState = m_state;
    return S_OK;
}

HRESULT CJScriptEngine::Close() {
    std::shared_ptr<CJScriptHeap> heap;
    std::shared_ptr<CJScriptHeapPool> pool;
    CComPtr<IActiveScriptSite> site;
    {
        std::lock_guard guard(m_lock);
        heap = std::move(m_heap);
        std::atomic_store(&m_heapForInterrupt, std::shared_ptr<CJScriptHeap>());
        if (heap) {
            std::lock_guard heapGuard(heap->Lock());
            heap->m_reportError = nullptr;
            heap->m_pSite = nullptr;
        }
        site = std::move(m_ptrSite);
        pool = m_pool;
        m_programs.clear();
        m_ranPrograms = 0;
        m_items.clear();
        m_state = SCRIPTSTATE_CLOSED;
    }
    // A clone's heap goes back to the pool for the next clone; the parsing engine's
    // heap (no pool: it was never cloned) or one that cannot be reused is closed.
    if (heap && pool && m_bIsClone)
        pool->Give(std::move(heap));
    else if (heap)
        heap->Close();
    if (site)
        site->OnStateChange(SCRIPTSTATE_CLOSED);
    return S_OK;
}

HRESULT CJScriptEngine::AddNamedItem(const BSTR& pstrName, DWORD dwFlags) {
    if (CheckExpression(pstrName.Length() == 0))
        return E_INVALIDARG;
    try {
        std::lock_guard guard(m_lock);
        if (m_state == SCRIPTSTATE_CLOSED)
            return E_UNEXPECTED;
        for (NamedItem& item : m_items) {
            if (item.name == pstrName.View()) {
                item.flags = dwFlags;
                return S_OK;
            }
        }
        m_items.push_back(NamedItem{pstrName.Str(), dwFlags});
        if (m_heap)
            DefineNamedItem(m_items.back());
        return S_OK;
    } catch (...) {
        return ReportException("CJScriptEngine::AddNamedItem", CV_HERE);
    }
}

HRESULT CJScriptEngine::AddTypeLib(const GUID& rguidTypeLib, DWORD dwMajor, DWORD dwMinor, DWORD) {
    try {
        std::vector<TypeLibConstantValue> constants;
        HRESULT hr = GetTypeLibConstants(rguidTypeLib, static_cast<WORD>(dwMajor),
                                         static_cast<WORD>(dwMinor), &constants);
        if (CheckResult(hr) == false)
            return hr;
        std::lock_guard guard(m_lock);
        m_typeLibs.push_back(TypeLib{rguidTypeLib, dwMajor, dwMinor});
        for (auto& c : constants)
            m_constants.emplace_back(std::move(c.name), std::move(c.value));
        return S_OK;
    } catch (...) {
        return ReportException("CJScriptEngine::AddTypeLib", CV_HERE);
    }
}

HRESULT CJScriptEngine::GetScriptDispatch(const BSTR&, IDispatch** ppdisp) {
    if (CheckExpression(!ppdisp))
        return E_POINTER;
    *ppdisp = nullptr;
    try {
        std::shared_ptr<CJScriptHeap> heap;
        {
            std::lock_guard guard(m_lock);
            if (m_state == SCRIPTSTATE_CLOSED)
                return E_UNEXPECTED;
            HRESULT hr = EnsureHeap();
            if (FAILED(hr))
                return hr;
            heap = m_heap;
        }
        ResolveGlobalMembers();
        std::lock_guard heapGuard(heap->Lock());
        duk_context* ctx = heap->Context();
        if (CheckExpression(!ctx))
            return E_UNEXPECTED;
        unsigned key = 0;
        auto body = [&](duk_context* c) {
            duk_push_global_object(c);
            key = heap->Keep(-1);
        };
        duk_int_t rc = SafeCall(ctx, body);
        duk_pop(ctx);
        if (CheckExpression(rc != DUK_EXEC_SUCCESS))
            return E_OUTOFMEMORY;
        return CJScriptObjectDispatch::CreateKept(heap, key, ppdisp);
    } catch (...) {
        return ReportException("CJScriptEngine::GetScriptDispatch", CV_HERE);
    }
}

HRESULT CJScriptEngine::GetCurrentScriptThreadID(SCRIPTTHREADID* pstidThread) {
    if (CheckExpression(!pstidThread))
        return E_POINTER;
    *pstidThread = SCRIPTTHREADID_BASE;
    return S_OK;
}

HRESULT CJScriptEngine::GetScriptThreadID(DWORD, SCRIPTTHREADID* pstidThread) {
    if (CheckExpression(!pstidThread))
        return E_POINTER;
    *pstidThread = SCRIPTTHREADID_BASE;
    return S_OK;
}

HRESULT CJScriptEngine::GetScriptThreadState(SCRIPTTHREADID, SCRIPTTHREADSTATE* pstsState) {
    if (CheckExpression(!pstsState))
        return E_POINTER;
    std::shared_ptr<CJScriptHeap> heap;
    {
        std::lock_guard guard(m_lock);
        heap = m_heap;
    }
    *pstsState =
        heap && heap->InScript() ? SCRIPTTHREADSTATE_RUNNING : SCRIPTTHREADSTATE_NOTINSCRIPT;
    return S_OK;
}

HRESULT CJScriptEngine::InterruptScriptThread(SCRIPTTHREADID, const EXCEPINFO*, DWORD) {
    // Only the flag is touched: the engine's lock is held by the running script.
    std::shared_ptr<CJScriptHeap> heap = std::atomic_load(&m_heapForInterrupt);
    if (heap)
        heap->RequestInterrupt();
    return S_OK;
}

HRESULT CJScriptEngine::Clone(IActiveScript** ppscript) {
    if (CheckExpression(!ppscript))
        return E_POINTER;
    *ppscript = nullptr;
    try {
        HRESULT hr = S_OK;
        CComPtr<CJScriptEngine> clone = MakeObject<CJScriptEngine>(&hr);
        if (CheckExpression(!clone))
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        std::lock_guard guard(m_lock);
        if (m_state == SCRIPTSTATE_CLOSED)
            return E_UNEXPECTED;
        if (!m_pool)
            m_pool = std::make_shared<CJScriptHeapPool>();
        clone->m_pool = m_pool;
        clone->m_bIsClone = true;
        clone->m_lcid = m_lcid;
        for (const auto& program : m_programs)
            if (program->persistent)
                clone->m_programs.push_back(program);
        for (const NamedItem& item : m_items)
            if (item.flags & SCRIPTITEM_ISPERSISTENT)
                clone->m_items.push_back(item);
        clone->m_constants = m_constants;
        clone->m_typeLibs = m_typeLibs;
        *ppscript = clone.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CJScriptEngine::Clone", CV_HERE);
    }
}

HRESULT CJScriptEngine::InitNew() {
    std::lock_guard guard(m_lock);
    if (m_state == SCRIPTSTATE_CLOSED)
        return E_UNEXPECTED;
    if (m_state == SCRIPTSTATE_UNINITIALIZED)
        m_state = SCRIPTSTATE_INITIALIZED;
    return S_OK;
}

HRESULT CJScriptEngine::AddScriptlet(const BSTR&, const BSTR&, const BSTR&, const BSTR&,
                                     const BSTR&, const BSTR&, DWORD, ULONG, DWORD, BSTR*,
                                     EXCEPINFO*) {
    return E_NOTIMPL;
}

HRESULT CJScriptEngine::ParseScriptText(const BSTR& pstrCode, const BSTR&, IUnknown*, const BSTR&,
                                        DWORD dwSourceContextCookie, ULONG ulStartingLineNumber,
                                        DWORD dwFlags, VARIANT* pvarResult, EXCEPINFO* pexcepinfo) {
    try {
        std::shared_ptr<CJScriptHeap> heap;
        CComPtr<IActiveScriptSite> site;
        {
            std::lock_guard guard(m_lock);
            if (m_state == SCRIPTSTATE_CLOSED)
                return E_UNEXPECTED;
            HRESULT hr = EnsureHeap();
            if (FAILED(hr))
                return hr;
            heap = m_heap;
            site = m_ptrSite;
        }
        const bool expression = dwFlags & SCRIPTTEXT_ISEXPRESSION;
        std::shared_ptr<const Program> program;
        HRESULT hr =
            Compile(*heap, pstrCode, dwSourceContextCookie, ulStartingLineNumber, expression,
                    (dwFlags & SCRIPTTEXT_ISPERSISTENT) && !expression, &program, pexcepinfo);
        if (FAILED(hr))
            return hr;
        if (expression)
            return Execute(*heap, site.Get(), *program, pvarResult, pexcepinfo);
        bool running = false;
        {
            std::lock_guard guard(m_lock);
            if (m_state == SCRIPTSTATE_CLOSED)
                return E_UNEXPECTED;
            m_programs.push_back(program);
            running = m_state == SCRIPTSTATE_STARTED || m_state == SCRIPTSTATE_CONNECTED;
        }
        return running ? RunPending() : S_OK;
    } catch (...) {
        return ReportException("CJScriptEngine::ParseScriptText", CV_HERE);
    }
}

HRESULT CJScriptEngine::Compile(CJScriptHeap& heap, const BSTR& code, DWORD cookie, ULONG startLine,
                                bool expression, bool persistent,
                                std::shared_ptr<const Program>* pProgram, EXCEPINFO* pexcepinfo) {
    auto program = std::make_shared<Program>();
    program->name = "jscript:" + std::to_string(g_nextProgram.fetch_add(1));
    program->text = code.Str();
    program->cookie = cookie;
    program->startLine = startLine;
    program->persistent = persistent;
    program->identifiers = ScanIdentifiers(program->text);
    CJScriptErrorDetails details;
    {
        std::lock_guard heapGuard(heap.Lock());
        duk_context* ctx = heap.Context();
        if (CheckExpression(!ctx))
            return E_UNEXPECTED;
        auto body = [&](duk_context* c) {
            PushText(c, program->text);
            duk_push_string(c, program->name.c_str());
            duk_compile(c, expression ? DUK_COMPILE_EVAL : 0);
            duk_dump_function(c);
            duk_size_t size = 0;
            auto* data = static_cast<unsigned char*>(duk_get_buffer(c, -1, &size));
            program->bytecode.assign(data, data + size);
        };
        duk_int_t rc = SafeCall(ctx, body);
        if (rc == DUK_EXEC_SUCCESS) {
            duk_pop(ctx);
            *pProgram = std::move(program);
            return S_OK;
        }
        details = CJScriptError::Describe(ctx, -1, true);
        duk_pop(ctx);
    }
    return Report(details, program.get(), pexcepinfo);
}

HRESULT CJScriptEngine::RunPending() {
    for (;;) {
        std::shared_ptr<CJScriptHeap> heap;
        CComPtr<IActiveScriptSite> site;
        std::shared_ptr<const Program> program;
        {
            std::lock_guard guard(m_lock);
            if (m_state == SCRIPTSTATE_CLOSED)
                return E_UNEXPECTED;
            HRESULT hr = EnsureHeap();
            if (FAILED(hr))
                return hr;
            if (m_ranPrograms >= m_programs.size())
                return S_OK;
            heap = m_heap;
            site = m_ptrSite;
        }
        ResolveGlobalMembers();
        {
            std::lock_guard guard(m_lock);
            if (m_ranPrograms >= m_programs.size() || m_heap != heap)
                continue;
            program = m_programs[m_ranPrograms++];
        }
        HRESULT hr = Execute(*heap, site.Get(), *program, nullptr, nullptr);
        if (FAILED(hr))
            return hr;
    }
}

HRESULT CJScriptEngine::Execute(CJScriptHeap& heap, IActiveScriptSite* site, const Program& program,
                                VARIANT* pvarResult, EXCEPINFO* pexcepinfo) {
    // The site hears of the entry and the exit, and of an error, outside the heap's
    // lock; only the script itself runs under it (and calls the host from there).
    if (site)
        site->OnEnterScript();
    CComVariant result;
    CJScriptErrorDetails details;
    bool failed = false;
    {
        std::lock_guard heapGuard(heap.Lock());
        duk_context* ctx = heap.Context();
        if (!ctx) {
            if (site)
                site->OnLeaveScript();
            return E_UNEXPECTED;
        }
        const bool outermost = heap.EnterCall();
        auto body = [&](duk_context* c) {
            void* buffer = duk_push_fixed_buffer(c, program.bytecode.size());
            std::memcpy(buffer, program.bytecode.data(), program.bytecode.size());
            duk_load_function(c);
            duk_call(c, 0);
            if (pvarResult)
                GetVariant(c, -1, &result);
        };
        duk_int_t rc = SafeCall(ctx, body);
        if (rc != DUK_EXEC_SUCCESS && !heap.InterruptRequested()) {
            details = CJScriptError::Describe(ctx, -1, false);
            failed = true;
        }
        duk_pop(ctx);
        heap.LeaveCall(outermost);
    }
    if (site)
        site->OnLeaveScript();
    if (failed)
        return Report(details, &program, pexcepinfo);
    if (pvarResult) {
        VariantClear(pvarResult);
        result.Detach(pvarResult);
    }
    return S_OK;
}

HRESULT CJScriptEngine::Report(const CJScriptErrorDetails& details, const Program* program,
                               EXCEPINFO* pexcepinfo) {
    CComPtr<IActiveScriptSite> site;
    // Keeps the error's own program alive while its text is read.
    std::shared_ptr<const Program> own;
    {
        std::lock_guard guard(m_lock);
        // The error's own script decides the cookie (a function of one text may fail
        // while another runs).
        for (const auto& candidate : m_programs)
            if (candidate->name == details.fileName)
                own = candidate;
        site = m_ptrSite;
    }
    if (own)
        program = own.get();
    DWORD cookie = program ? program->cookie : 0;
    ULONG line = program ? program->startLine : 0;
    std::u16string lineText;
    LONG character = 0;
    if (program && details.line >= 1) {
        line += static_cast<ULONG>(details.line - 1);
        LineIndex(program->text, details.line, &lineText);
        const std::size_t first = lineText.find_first_not_of(u" \t");
        if (first != std::u16string::npos)
            character = static_cast<LONG>(first);
    }
    if (pexcepinfo) {
        *pexcepinfo = EXCEPINFO();
        pexcepinfo->bstrSource = details.source;
        pexcepinfo->bstrDescription = details.description;
        pexcepinfo->scode = details.scode;
    }
    if (!site)
        return DISP_E_EXCEPTION;
    HRESULT hr = S_OK;
    CComPtr<CJScriptError> error =
        MakeObject<CJScriptError>(&hr, details, cookie, line, character, BSTR(lineText));
    if (CheckExpression(!error))
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    // Never under the engine's lock: the site maps the error and hands it to the host.
    site->OnScriptError(error.Get());
    return SCRIPT_E_REPORTED;
}

HRESULT RegisterJScriptEngine() {
    return CClassRegistry::Instance().RegisterClass<CJScriptEngine>(CLSID_JScript, u"JScript",
                                                                    {CATID_ActiveScriptParse});
}
