// The VBScript virtual machine: globals, name resolution, variables, arrays and calls.
// See VBScriptVM.h.
#include <cstring>
#include <unordered_map>

#include "com/DiagnosticLog.h"
#include "com/SafeArray.h"
#include "com/Strings.h"
#include "script/engine/ActiveScript.h"
#include "script/engine/vbscript/VBScriptErrObject.h"
#include "script/engine/vbscript/VBScriptObject.h"
#include "script/engine/vbscript/VBScriptVM.h"

namespace {

bool IsObject(const VARIANT* v) {
    return v->vt == VT_DISPATCH || v->vt == VT_UNKNOWN;
}

// Marks an array declared with its bounds (Dim a(3)): ReDim refuses it, Erase empties
// its elements and keeps it. Copies of it are ordinary arrays.
constexpr USHORT FADF_FIXEDSIZE = 0x0010;

SAFEARRAY* NewArray(const std::vector<LONG>& bounds, bool fixed = false) {
    std::vector<SAFEARRAYBOUND> sab;
    std::size_t total = 1;
    for (LONG ub : bounds) {
        if (ub < -1)
            return nullptr;
        sab.push_back({static_cast<ULONG>(ub + 1), 0});
        total *= static_cast<std::size_t>(ub + 1);
        if (total > CVBScriptVM::MAX_ARRAY_ELEMENTS)
            return nullptr;
    }
    SAFEARRAY* psa = SafeArrayCreate(VT_VARIANT, static_cast<UINT>(sab.size()), sab.data());
    if (psa && fixed)
        psa->fFeatures |= FADF_FIXEDSIZE;
    return psa;
}

// A dynamic array without elements (Dim x(), or after Erase): UBound and indexing give
// "Subscript out of range" until a ReDim. `v` must hold nothing that needs releasing.
void MakeEmptyArray(VARIANT* v) {
    v->vt = VT_ARRAY | VT_VARIANT;
    v->parray = nullptr;
}

bool IsFixedArray(const VARIANT* v) {
    return (v->vt & VT_ARRAY) && v->parray && (v->parray->fFeatures & FADF_FIXEDSIZE);
}

// The language's own constants by upper-cased name (the first of equal names), built once
// and read-only afterwards: every new script instance resolves its names afresh, and a
// scan of the whole list for each name that is not a global was a large part of a run.
const VBBuiltinConstant* FindVBScriptConstant(const std::u16string& upperName) {
    // Never destroyed, like the list it points into.
    static const auto* index = [] {
        auto* map = new std::unordered_map<std::u16string, const VBBuiltinConstant*>();
        for (const VBBuiltinConstant& c : VBScriptConstants())
            map->emplace(ToUpperSimple(c.name), &c);
        return map;
    }();
    auto it = index->find(upperName);
    return it == index->end() ? nullptr : it->second;
}

}  // namespace

struct CVBScriptVM::Layout {
    VBSProgramSerial serial;  // tells a new layout from a freed one at the same address
    GlobalMap globals;
    std::vector<std::u16string> dispNames;
    std::vector<CComVariant> slots;  // first values, copied into each machine
    std::vector<NamedItem> items;    // without their objects
    std::vector<VBSProgramPtr> programs;
    // Per program, by global name index: bindings that every adopting machine shares.
    std::vector<std::unique_ptr<SharedBinding[]>> shared;
    unsigned generation = 1;
};

namespace {

// A thread's own copies of the first values of the last layouts its machines adopted. The
// strings among them (the script's constants) are shared by every machine made from a
// layout; a new machine referring to the layout's own buffers would move their reference
// counts between processors when it starts and again when it closes. Copies made once
// per thread keep those counts on the thread.
class CThreadSlots {
public:
    const std::vector<CComVariant>& Of(const CVBScriptVM::Layout& layout) {
        for (Entry& e : m_entries)
            if (e.layout == &layout && e.serial == layout.serial.Value())
                return e.slots;
        Entry& e = m_entries[m_next++ % kLayouts];
        e.layout = nullptr;
        e.slots.clear();
        e.slots.resize(layout.slots.size());
        for (std::size_t i = 0; i < layout.slots.size(); ++i)
            if (FAILED(VariantCopyOwnText(&e.slots[i], &layout.slots[i])))
                return layout.slots;
        e.layout = &layout;
        e.serial = layout.serial.Value();
        return e.slots;
    }

private:
    static constexpr std::size_t kLayouts = 4;
    struct Entry {
        const CVBScriptVM::Layout* layout = nullptr;
        std::uint64_t serial = 0;
        std::vector<CComVariant> slots;
    };
    Entry m_entries[kLayouts];
    std::size_t m_next = 0;
};

const std::vector<CComVariant>& ThreadSlots(const CVBScriptVM::Layout& layout) {
    static thread_local CThreadSlots t_slots;
    return t_slots.Of(layout);
}

}  // namespace

std::shared_ptr<const CVBScriptVM::Layout> CVBScriptVM::MakeLayout() const {
    if (m_base || m_closed || m_depth != 0)
        return nullptr;
    try {
        auto layout = std::make_shared<Layout>();
        layout->globals = m_globals;
        layout->dispNames = m_dispNames;
        layout->slots.assign(m_globalSlots.begin(), m_globalSlots.end());
        layout->items.reserve(m_items.size());
        for (const NamedItem& item : m_items)
            layout->items.push_back({item.name, item.flags, nullptr, false, item.upper});
        for (const Activation& a : m_programs) {
            layout->programs.push_back(a.program);
            layout->shared.push_back(
                std::make_unique<SharedBinding[]>(a.program->globalNames.size()));
        }
        layout->generation = m_generation;
        return layout;
    } catch (...) {
        ReportException("CVBScriptVM::MakeLayout", CV_HERE);
        return nullptr;
    }
}

HRESULT CVBScriptVM::Adopt(const std::shared_ptr<const Layout>& layout) {
    if (CheckExpression(!layout))
        return E_POINTER;
    if (CheckExpression(m_base || !m_globals.empty() || !m_programs.empty() || !m_items.empty()))
        return E_UNEXPECTED;
    try {
        m_base = layout;
        const std::vector<CComVariant>& slots = ThreadSlots(*layout);
        m_globalSlots.assign(slots.begin(), slots.end());
        // Room for the items that the host adds for this machine's run.
        m_items.reserve(layout->items.size() + kRoomForItems);
        m_items.assign(layout->items.begin(), layout->items.end());
        for (const NamedItem& item : m_items)
            NoteItemFlags(item.flags);
        for (std::size_t i = 0; i < layout->programs.size(); ++i) {
            const VBSProgramPtr& program = layout->programs[i];
            m_programs.push_back(NewActivation(program, layout->shared[i].get()));
        }
        m_generation = layout->generation;
        return S_OK;
    } catch (...) {
        m_base = nullptr;
        return ReportException("CVBScriptVM::Adopt", CV_HERE);
    }
}

std::size_t CVBScriptVM::BaseDispCount() const {
    return m_base ? m_base->dispNames.size() : 0;
}

const std::u16string* CVBScriptVM::DispName(DISPID id) const {
    if (id <= 0)
        return nullptr;
    std::size_t index = static_cast<std::size_t>(id) - 1;
    const std::size_t base = BaseDispCount();
    if (index < base)
        return &m_base->dispNames[index];
    index -= base;
    return index < m_dispNames.size() ? &m_dispNames[index] : nullptr;
}

CVBScriptVM::Activation* CVBScriptVM::ActivationOf(const CVBScriptProgram* program) {
    for (Activation& a : m_programs)
        if (a.program.get() == program)
            return &a;
    return nullptr;
}

HRESULT CVBScriptVM::AddProgram(const VBSProgramPtr& program) {
    try {
        if (ActivationOf(program.get()))
            return S_OK;
        m_programs.push_back(NewActivation(program));
        m_globals.reserve(m_globals.size() + program->globals.size() +
                          program->globalFunctions.size() + program->classes.size());
        // The compiler's upper-cased names when it made them, else made here.
        const bool haveVarKeys = program->globalVarKeys.size() == program->globals.size();
        const bool haveFunctionKeys =
            program->globalFunctionKeys.size() == program->globalFunctions.size();
        for (std::size_t g = 0; g < program->globals.size(); ++g) {
            const VBSGlobalVar& var = program->globals[g];
            std::u16string upper =
                haveVarKeys ? program->globalVarKeys[g] : ToUpperSimple(var.name);
            if (var.constant >= 0) {
                m_globalSlots.emplace_back(program->constants[var.constant]);
                const DISPID dispid = NextDispId();
                m_dispNames.push_back(upper);
                OwnGlobal(std::move(upper)) =
                    GlobalEntry{BindKind::Const, static_cast<int>(m_globalSlots.size() - 1),
                                nullptr, -1, dispid};
                continue;
            }
            const GlobalEntry* existing = FindGlobal(upper);
            if (existing && existing->kind == BindKind::Var)
                continue;
            VARIANT* slot = NewGlobalVar(var.name);
            if (!var.bounds.empty()) {
                slot->parray = NewArray(var.bounds, true);
                if (slot->parray)
                    slot->vt = VT_ARRAY | VT_VARIANT;
            } else if (var.isArray) {
                MakeEmptyArray(slot);
            }
        }
        for (std::size_t f = 0; f < program->globalFunctions.size(); ++f) {
            const int fn = program->globalFunctions[f];
            std::u16string upper = haveFunctionKeys ? program->globalFunctionKeys[f]
                                                    : ToUpperSimple(program->functions[fn].name);
            const DISPID dispid = NextDispId();
            m_dispNames.push_back(upper);
            OwnGlobal(std::move(upper)) =
                GlobalEntry{BindKind::Function, -1, program.get(), fn, dispid};
        }
        for (std::size_t c = 0; c < program->classes.size(); ++c)
            OwnGlobal(ToUpperSimple(program->classes[c].name)) = {
                BindKind::Class, -1, program.get(), static_cast<int>(c), 0};
        ++m_generation;
        return S_OK;
    } catch (...) {
        return ReportException("CVBScriptVM::AddProgram", CV_HERE);
    }
}

VARIANT* CVBScriptVM::NewGlobalVar(std::u16string_view name) {
    std::u16string upper = ToUpperSimple(name);
    m_globalSlots.emplace_back();
    const DISPID dispid = NextDispId();
    m_dispNames.push_back(upper);
    OwnGlobal(upper) = {BindKind::Var, static_cast<int>(m_globalSlots.size() - 1), nullptr, -1,
                        dispid};
    ++m_generation;
    return &m_globalSlots.back();
}

void CVBScriptVM::NoteItemFlags(DWORD flags) {
    m_globalMembers = m_globalMembers || (flags & SCRIPTITEM_GLOBALMEMBERS) != 0;
}

void CVBScriptVM::AddNamedItem(std::u16string_view name, DWORD dwFlags) {
    std::u16string upper = ToUpperSimple(name);
    for (NamedItem& item : m_items) {
        if (item.upper == upper) {
            item.flags = dwFlags;
            NoteItemFlags(dwFlags);
            item.object = nullptr;
            item.bound = false;
            ++m_generation;
            return;
        }
    }
    const bool visible = (dwFlags & SCRIPTITEM_ISVISIBLE) != 0;
    const int index = static_cast<int>(m_items.size());
    // An item added to an adopted machine goes to the short list, unless one of the
    // machine's own globals has its name (then it replaces that entry, as in the map).
    const bool listed = visible && m_base && m_globals.find(upper) == m_globals.end();
    if (listed) {
        m_itemGlobals.reserve(kRoomForItems);
        m_itemGlobals.push_back({BindKind::NamedItem, -1, nullptr, index, 0});
        m_ownNameBits |= NameBit(upper);
    }
    const bool mapped = visible && !listed;
    m_items.push_back(
        {std::u16string(name), dwFlags, nullptr, false, mapped ? upper : std::move(upper)});
    NoteItemFlags(dwFlags);
    if (mapped)
        OwnGlobal(std::move(upper)) = {BindKind::NamedItem, -1, nullptr, index, 0};
    ++m_generation;
}

void CVBScriptVM::AddConstant(std::u16string_view name, const VARIANT& value) {
    std::u16string upper = ToUpperSimple(name);
    if (FindGlobal(upper))
        return;
    m_globalSlots.emplace_back(value);
    OwnGlobal(upper) = {BindKind::Const, static_cast<int>(m_globalSlots.size() - 1), nullptr, -1,
                        0};
    ++m_generation;
}

IDispatch* CVBScriptVM::ItemObject(int index) {
    NamedItem& item = m_items[index];
    if (!item.bound && m_site) {
        CComPtr<IUnknown> unk;
        if (SUCCEEDED(m_site->GetItemInfo(BSTR(item.name), SCRIPTINFO_IUNKNOWN, unk.Receive(),
                                          nullptr)) &&
            unk) {
            item.object = ComQuery<IDispatch>(unk.Get());
            item.bound = item.object != nullptr;
        }
    }
    return item.object.Get();
}

const CVBScriptVM::GlobalEntry* CVBScriptVM::ListedItem(std::u16string_view upperName) const {
    for (const GlobalEntry& e : m_itemGlobals)
        if (m_items[static_cast<std::size_t>(e.index)].upper == upperName)
            return &e;
    return nullptr;
}

const CVBScriptVM::GlobalEntry* CVBScriptVM::FindGlobal(std::u16string_view upperName) const {
    if (!m_globals.empty()) {
        auto it = m_globals.find(upperName);
        if (it != m_globals.end())
            return &it->second;
    }
    if (const GlobalEntry* item = ListedItem(upperName))
        return item;
    if (m_base) {
        auto it = m_base->globals.find(upperName);
        if (it != m_base->globals.end())
            return &it->second;
    }
    return nullptr;
}

CVBScriptVM::Binding CVBScriptVM::Resolve(Frame& frame, int nameIndex) {
    Binding& cached = (*frame.cache)[nameIndex];
    if (cached.kind != BindKind::None && cached.generation == m_generation)
        return cached;
    SharedBinding* shared = frame.activation && frame.activation->shared && !m_globalMembers
                                ? &frame.activation->shared[nameIndex]
                                : nullptr;
    if (shared && shared->state.load(std::memory_order_acquire) == SharedBinding::kReady &&
        !(m_ownNameBits & shared->nameBit)) {
        cached = shared->binding;
        if (cached.slot >= 0)
            cached.var = &m_globalSlots[static_cast<std::size_t>(cached.slot)];
        cached.generation = m_generation;
        return cached;
    }
    const std::u16string& upper = frame.program->globalKeys[nameIndex];
    Binding b;
    const GlobalEntry* e = FindGlobal(upper);
    if (e) {
        b.kind = e->kind;
        b.var = SlotVar(*e);
        b.program = e->program;
        b.index = e->index;
        b.slot = e->slot;
    } else if (upper == u"ERR") {
        b.kind = BindKind::ErrObject;
    } else if (upper == u"EVAL" || upper == u"EXECUTE" || upper == u"EXECUTEGLOBAL" ||
               upper == u"GETREF") {
        b.kind = BindKind::Intrinsic;
        b.index = upper == u"EVAL"            ? Eval
                  : upper == u"EXECUTE"       ? Execute
                  : upper == u"EXECUTEGLOBAL" ? ExecuteGlobal
                                              : GetRef;
    } else {
        for (std::size_t i = 0; i < m_items.size() && b.kind == BindKind::None; ++i) {
            if (!(m_items[i].flags & SCRIPTITEM_GLOBALMEMBERS))
                continue;
            IDispatch* obj = ItemObject(static_cast<int>(i));
            const char16_t* name = upper.c_str();
            DISPID id;
            if (obj && SUCCEEDED(obj->GetIDsOfNames(GUID_NULL, &name, 1, m_builtin.lcid, &id))) {
                b.kind = BindKind::GlobalMember;
                b.index = static_cast<int>(i);
                b.dispid = id;
            }
        }
        if (b.kind == BindKind::None) {
            if (const VBBuiltinConstant* c = FindVBScriptConstant(upper)) {
                b.kind = BindKind::Const;
                b.var = const_cast<VARIANT*>(&c->value);
            }
        }
        if (b.kind == BindKind::None) {
            if (const VBBuiltin* builtin = FindVBScriptBuiltin(upper)) {
                b.kind = BindKind::Builtin;
                b.builtin = builtin;
            }
        }
    }
    if (b.kind != BindKind::None) {
        b.generation = m_generation;
        cached = b;
    }
    // What the layout alone decides is recorded for the other machines, not a name of this
    // machine's own. A script-level variable or constant of the layout is recorded by its
    // slot's index, which every machine made from the layout shares (each machine reads
    // its own slot there); a named item of the layout, by its index likewise.
    const bool shareable = b.kind == BindKind::Function || b.kind == BindKind::Class ||
                           b.kind == BindKind::Builtin || b.kind == BindKind::ErrObject ||
                           b.kind == BindKind::Intrinsic || (b.kind == BindKind::Const && !e) ||
                           (e && (b.slot >= 0 || b.kind == BindKind::NamedItem));
    if (shared && shareable && (m_globals.empty() || m_globals.find(upper) == m_globals.end()) &&
        !ListedItem(upper)) {
        std::uint8_t expected = SharedBinding::kUnknown;
        if (shared->state.compare_exchange_strong(expected, SharedBinding::kWriting,
                                                  std::memory_order_acquire)) {
            shared->nameBit = NameBit(upper);
            shared->binding = b;
            shared->state.store(SharedBinding::kReady, std::memory_order_release);
        }
    }
    return b;
}

HRESULT CVBScriptVM::SlotOf(Frame& frame, const VBSInstr& in, bool create, VARIANT** ppSlot,
                            Binding* pBinding) {
    *ppSlot = nullptr;
    switch (in.kind) {
        case VBSRefKind::Local:
            *ppSlot = &frame.slots[in.a];
            return S_OK;
        case VBSRefKind::MemberVar:
            *ppSlot = frame.me->Member(in.a);
            return S_OK;
        case VBSRefKind::MemberProc:
            return S_OK;
        case VBSRefKind::Global:
            break;
    }
    if (in.a < 0) {
        pBinding->kind = BindKind::Const;
        pBinding->var = const_cast<CComVariant*>(&frame.program->constants[in.c]);
        return S_OK;
    }
    *pBinding = Resolve(frame, in.a);
    if (pBinding->kind == BindKind::Var) {
        *ppSlot = pBinding->var;
    } else if (pBinding->kind == BindKind::None) {
        if (frame.program->optionExplicit)
            return Fail(500, frame.program->globalNames[in.a]);
        if (in.b >= 0)
            *ppSlot = &frame.slots[in.b];
        else if (create)
            *ppSlot = NewGlobalVar(frame.program->globalNames[in.a]);
    }
    return S_OK;
}

HRESULT CVBScriptVM::LoadRef(Frame& frame, const VBSInstr& in, VARIANT* args, unsigned argc,
                             VARIANT* pResult) {
    if (in.kind == VBSRefKind::MemberProc) {
        const VBSClassProc& proc = frame.me->Class().procs[in.a];
        if (proc.get < 0)
            return Fail(438, proc.name);
        return CallFunction(frame.me->Program(), frame.me->Program()->functions[proc.get], frame.me,
                            args, argc, pResult);
    }
    VARIANT* slot;
    Binding b;
    HRESULT hr = SlotOf(frame, in, false, &slot, &b);
    if (FAILED(hr))
        return hr;
    if (slot)
        return CallValue(slot, args, argc, pResult);
    switch (b.kind) {
        case BindKind::Const:
            return CallValue(b.var, args, argc, pResult);
        case BindKind::Function:
            return CallFunction(b.program, b.program->functions[b.index], nullptr, args, argc,
                                pResult);
        case BindKind::NamedItem:
        case BindKind::ErrObject: {
            IDispatch* obj = b.kind == BindKind::ErrObject ? ErrObject() : ItemObject(b.index);
            if (!obj)
                return b.kind == BindKind::ErrObject ? Fail(7)
                                                     : Fail(424, frame.program->globalNames[in.a]);
            if (argc == 0 && pResult) {  // the object itself, with one new reference
                ClearValue(pResult);
                pResult->vt = VT_DISPATCH;
                pResult->pdispVal = obj;
                obj->AddRef();
                return S_OK;
            }
            CComVariant value(obj);
            return CallValue(&value, args, argc, pResult);
        }
        case BindKind::GlobalMember:
            return Dispatch(ItemObject(b.index), b.dispid, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                            args, argc, pResult);
        case BindKind::Builtin:
            return CallBuiltin(*b.builtin, args, argc, pResult);
        case BindKind::Intrinsic:
            return CallIntrinsic(frame, b.index, args, argc, pResult);
        case BindKind::Class:
            return Fail(13, frame.program->globalNames[in.a]);
        default:
            if (argc != 0 || (in.op == VBSOpcode::Call && in.kind == VBSRefKind::Global))
                return Fail(13, frame.program->globalNames[in.a]);
            return S_OK;
    }
}

HRESULT CVBScriptVM::StoreRef(Frame& frame, const VBSInstr& in, VARIANT* args, unsigned argc,
                              VARIANT* value, bool isSet) {
    if (in.kind == VBSRefKind::MemberProc) {
        const VBSClassProc& proc = frame.me->Class().procs[in.a];
        int fn = isSet ? proc.set : proc.let;
        if (fn < 0)
            return Fail(450, proc.name);
        return CallFunction(frame.me->Program(), frame.me->Program()->functions[fn], frame.me, args,
                            argc + 1, nullptr);
    }
    VARIANT* slot;
    Binding b;
    HRESULT hr = SlotOf(frame, in, true, &slot, &b);
    if (FAILED(hr))
        return hr;
    if (slot) {
        if (argc == 0)
            return Assign(Deref(slot), value, isSet, in.c == 1, true);
        return StoreValue(slot, args, argc, value, isSet);
    }
    if (b.kind == BindKind::GlobalMember)
        return Dispatch(ItemObject(b.index), b.dispid,
                        isSet ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT, args, argc + 1,
                        nullptr);
    if (b.kind == BindKind::NamedItem && argc > 0) {
        CComVariant obj(ItemObject(b.index));
        return StoreValue(&obj, args, argc, value, isSet);
    }
    return Fail(501);
}

HRESULT CVBScriptVM::RefArg(Frame& frame, const VBSInstr& in, VARIANT* args, unsigned argc,
                            VARIANT* pResult, SAFEARRAY** ppLocked) {
    *ppLocked = nullptr;
    if (in.kind == VBSRefKind::MemberProc)
        return LoadRef(frame, in, args, argc, pResult);
    VARIANT* slot;
    Binding b;
    HRESULT hr = SlotOf(frame, in, in.op == VBSOpcode::Ref, &slot, &b);
    if (FAILED(hr))
        return hr;
    if (!slot)
        return LoadRef(frame, in, args, argc, pResult);
    VARIANT* target = Deref(slot);
    if (in.op == VBSOpcode::Ref) {
        pResult->vt = VT_BYREF | VT_VARIANT;
        pResult->pvarVal = target;
        return S_OK;
    }
    if (target->vt == (VT_ARRAY | VT_VARIANT) && target->parray) {
        void* element;
        hr = ElementPtr(target->parray, args, argc, &element);
        if (FAILED(hr))
            return hr;
        SafeArrayLock(target->parray);
        *ppLocked = target->parray;
        pResult->vt = VT_BYREF | VT_VARIANT;
        pResult->pvarVal = static_cast<VARIANT*>(element);
        return S_OK;
    }
    return CallValue(target, args, argc, pResult);
}

HRESULT CVBScriptVM::Assign(VARIANT* target, VARIANT* value, bool isSet, bool raw, bool consume) {
    if (!isSet && IsPlain(target->vt)) {
        if (VARIANT* v = Deref(value); IsPlain(v->vt)) {
            *target = *v;
            return S_OK;
        }
    }
    // A temporary (a function's result, an array that Split made) moves in whole: copying
    // it would copy every element of an array only to free the originals at once.
    CComVariant copy;
    if (consume && !(value->vt & VT_BYREF)) {
        copy.Attach(value);
    } else if (HRESULT hr = VariantCopyInd(&copy, Deref(value)); FAILED(hr)) {
        return RecordFailure(hr, nullptr);
    }
    HRESULT hr = S_OK;
    if (isSet && !raw) {
        if (!IsObject(&copy))
            return Fail(424);
    } else if (!raw && IsObject(&copy)) {
        hr = ValueOf(&copy);
        if (FAILED(hr))
            return hr;
    }
    // The old value goes after the new one is in place: releasing it may run code.
    VARIANT old = *target;
    copy.Detach(target);
    if (old.vt & VT_ARRAY && old.parray && old.parray->cLocks) {
        VARIANT fresh = *target;
        *target = old;
        VariantClear(&fresh);
        return Fail(10);
    }
    VariantClear(&old);
    return S_OK;
}

HRESULT CVBScriptVM::ValueOf(VARIANT* value) {
    VARIANT* v = Deref(value);
    if (v != value) {
        CComVariant copy;
        VariantCopyInd(&copy, v);
        VariantClear(value);
        copy.Detach(value);
    }
    if (value->vt == VT_DISPATCH) {
        if (!value->pdispVal)
            return Fail(91);
        CComVariant result;
        CComPtr<IDispatch> obj(value->pdispVal);
        HRESULT hr = Dispatch(obj.Get(), DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                              nullptr, 0, &result);
        if (FAILED(hr))
            return hr;
        VariantClear(value);
        result.Detach(value);
    } else if (value->vt == VT_UNKNOWN) {
        return Fail(438);
    }
    return S_OK;
}

HRESULT CVBScriptVM::ElementPtr(SAFEARRAY* psa, VARIANT* args, unsigned argc, void** ppElement) {
    if (argc != psa->cDims || argc == 0 || argc > 60)
        return Fail(9);
    LONG indices[60];
    for (unsigned i = 0; i < argc; ++i) {
        VARIANT* a = Deref(&args[i]);
        if (a->vt == VT_I4 || a->vt == VT_I2) {  // the common index, without a conversion
            indices[i] = a->vt == VT_I4 ? a->lVal : a->iVal;
            continue;
        }
        CComVariant index;
        if (a->vt == VT_NULL)
            return Fail(94);
        if (FAILED(VariantChangeType(&index, a, 0, VT_I4)))
            return Fail(13);
        indices[i] = index.lVal;
    }
    if (FAILED(SafeArrayPtrOfIndex(psa, indices, ppElement)))
        return Fail(9);
    return S_OK;
}

HRESULT CVBScriptVM::CallValue(VARIANT* callee, VARIANT* args, unsigned argc, VARIANT* pResult) {
    VARIANT* c = Deref(callee);
    if ((c->vt & VT_ARRAY) && argc > 0) {
        if (!c->parray)
            return Fail(9);
        void* element;
        HRESULT hr = ElementPtr(c->parray, args, argc, &element);
        if (FAILED(hr))
            return hr;
        VARTYPE vt = c->parray->vt;
        if (vt == VT_VARIANT)
            return VariantCopy(pResult, static_cast<VARIANT*>(element));
        VariantClear(pResult);
        if (vt == VT_BSTR) {
            VariantSetBstr(pResult, *static_cast<BSTR*>(element));
        } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
            pResult->vt = vt;
            pResult->punkVal = *static_cast<IUnknown**>(element);
            if (pResult->punkVal)
                pResult->punkVal->AddRef();
        } else if (std::size_t n = VariantScalarSize(vt)) {
            pResult->vt = vt;
            std::memcpy(&pResult->llVal, element, n);
        } else {
            return Fail(458);
        }
        return S_OK;
    }
    if (c->vt == VT_DISPATCH && (argc > 0 || !pResult)) {
        if (!c->pdispVal)
            return Fail(91);
        CComPtr<IDispatch> obj(c->pdispVal);
        return Dispatch(obj.Get(), DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, argc,
                        pResult);
    }
    if (argc > 0)
        return Fail(13);
    return pResult ? CopyValue(pResult, c) : S_OK;
}

HRESULT CVBScriptVM::StoreValue(VARIANT* callee, VARIANT* args, unsigned argc, VARIANT* value,
                                bool isSet) {
    VARIANT* c = Deref(callee);
    if ((c->vt & VT_ARRAY) && c->parray) {
        if (c->parray->vt != VT_VARIANT)
            return Fail(13);
        void* element;
        HRESULT hr = ElementPtr(c->parray, args, argc, &element);
        if (FAILED(hr))
            return hr;
        return Assign(static_cast<VARIANT*>(element), value, isSet, false);
    }
    if (c->vt & VT_ARRAY)
        return Fail(9);  // an erased array has no elements
    if (c->vt == VT_DISPATCH) {
        if (!c->pdispVal)
            return Fail(91);
        CComPtr<IDispatch> obj(c->pdispVal);
        return Dispatch(obj.Get(), DISPID_VALUE,
                        isSet ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT, args, argc + 1,
                        nullptr);
    }
    return Fail(13);
}

HRESULT CVBScriptVM::ReDim(Frame& frame, const VBSInstr& in, VARIANT* bounds, unsigned count) {
    VARIANT* slot;
    Binding b;
    HRESULT hr = SlotOf(frame, in, true, &slot, &b);
    if (FAILED(hr))
        return hr;
    if (!slot)
        return Fail(501);
    VARIANT* target = Deref(slot);
    if (IsFixedArray(target)) {
        if (in.c == 1)
            return S_OK;  // the declaration again (a Dim in a loop): the array stays
        return Fail(10);
    }
    if (count == 0) {
        // Dim x() in a procedure: an array without elements, so that IsArray answers True
        // and UBound "Subscript out of range" until a ReDim. A variable that already holds
        // something (the Dim reached again in a loop) keeps it.
        if (in.c != 1)
            return Fail(9);
        if (target->vt == VT_EMPTY)
            MakeEmptyArray(target);
        return S_OK;
    }
    std::vector<LONG> ub;
    for (unsigned i = 0; i < count; ++i) {
        CComVariant v;
        if (FAILED(VariantChangeType(&v, Deref(&bounds[i]), 0, VT_I4)))
            return Fail(13);
        if (v.lVal < -1)
            return Fail(9);
        ub.push_back(v.lVal);
    }
    std::size_t total = 1;
    for (LONG bound : ub) {
        total *= static_cast<std::size_t>(bound + 1);
        if (total > MAX_ARRAY_ELEMENTS)
            return Fail(7);
    }
    if ((in.argc & VBS_PRESERVE) && (target->vt & VT_ARRAY) && target->parray) {
        SAFEARRAY* psa = target->parray;
        if (psa->cDims != count)
            return Fail(9);
        for (unsigned i = 0; i + 1 < count; ++i)
            if (psa->bounds[i].cElements != static_cast<ULONG>(ub[i] + 1))
                return Fail(9);
        SAFEARRAYBOUND last{static_cast<ULONG>(ub.back() + 1), psa->bounds.back().lLbound};
        if (psa->cLocks)
            return Fail(10);
        if (FAILED(SafeArrayRedim(psa, &last)))
            return Fail(9);
        return S_OK;
    }
    SAFEARRAY* psa = NewArray(ub, in.c == 1);
    if (!psa)
        return Fail(7);
    if ((target->vt & VT_ARRAY) && target->parray && target->parray->cLocks) {
        SafeArrayDestroy(psa);
        return Fail(10);
    }
    // The old value goes after the new one is in place: releasing it may run code.
    VARIANT old = *target;
    target->vt = VT_ARRAY | VT_VARIANT;
    target->parray = psa;
    VariantClear(&old);
    return S_OK;
}

HRESULT CVBScriptVM::Erase(Frame& frame, const VBSInstr& in) {
    VARIANT* slot;
    Binding b;
    HRESULT hr = SlotOf(frame, in, false, &slot, &b);
    if (FAILED(hr))
        return hr;
    if (!slot || !(Deref(slot)->vt & VT_ARRAY))
        return Fail(13);
    VARIANT* target = Deref(slot);
    if (target->parray && target->parray->cLocks)
        return Fail(10);
    if (IsFixedArray(target)) {
        // A fixed array keeps its size: its elements go back to Empty.
        SAFEARRAY* psa = target->parray;
        std::size_t count = 1;
        for (const SAFEARRAYBOUND& bound : psa->bounds)
            count *= bound.cElements;
        if (psa->vt != VT_VARIANT)
            return Fail(13);
        SafeArrayLock(psa);  // releasing an element may run code that touches the array
        auto* elements = static_cast<VARIANT*>(psa->pvData);
        for (std::size_t i = 0; i < count; ++i) {
            VARIANT old = elements[i];
            VariantInit(&elements[i]);
            VariantClear(&old);
        }
        SafeArrayUnlock(psa);
        return S_OK;
    }
    // A dynamic array stays an array, without elements: UBound and indexing then give
    // "Subscript out of range" (9) until a ReDim.
    VARIANT erased;
    MakeEmptyArray(&erased);
    return Assign(Deref(slot), &erased, false, true);
}

HRESULT CVBScriptVM::NewObject(const CVBScriptProgram* program, int nameIndex, VARIANT* pResult) {
    const GlobalEntry* e = FindGlobal(program->globalKeys[nameIndex]);
    if (e && e->kind == BindKind::Class)
        return CreateInstance(e->program, e->index, pResult);
    CComPtr<IDispatch> obj;
    if (SUCCEEDED(CreateVBScriptBuiltinClass(program->globalNames[nameIndex], obj.Receive())) &&
        obj) {
        VariantClear(pResult);
        pResult->vt = VT_DISPATCH;
        pResult->pdispVal = obj.Detach();
        return S_OK;
    }
    return Fail(506, program->globalNames[nameIndex]);
}

HRESULT CVBScriptVM::CreateInstance(const CVBScriptProgram* program, int classIndex,
                                    VARIANT* pResult) {
    Activation* activation = ActivationOf(program);
    if (!activation)
        return E_UNEXPECTED;
    const VBSClass& cls = program->classes[classIndex];
    auto members = std::make_shared<CComVariant[]>(cls.vars.size());
    for (std::size_t i = 0; i < cls.vars.size(); ++i) {
        if (!cls.vars[i].bounds.empty()) {
            members[i].parray = NewArray(cls.vars[i].bounds, true);
            if (members[i].parray)
                members[i].vt = VT_ARRAY | VT_VARIANT;
        } else if (cls.vars[i].isArray) {
            MakeEmptyArray(&members[i]);
        }
    }
    HRESULT hr = S_OK;
    CComPtr<CVBScriptObject> obj = MakeObject<CVBScriptObject>(
        &hr, shared_from_this(), activation->program, classIndex, members, false);
    if (!obj)
        return Fail(7);
    if (cls.initialize >= 0) {
        hr = CallFunction(program, program->functions[cls.initialize], obj.Get(), nullptr, 0,
                          nullptr);
        if (FAILED(hr)) {
            obj->MarkTerminated();
            return hr;
        }
    }
    VariantClear(pResult);
    pResult->vt = VT_DISPATCH;
    pResult->pdispVal = obj.Detach();
    return S_OK;
}
