// The VBScript virtual machine: frames, the dispatch loop and error handling. See
// VBScriptVM.h; name resolution and calls are in VBScriptVMCalls.cpp, the operators in
// VBScriptVMOperators.cpp.
#include "script/engine/vbscript/VBScriptVM.h"

#include <algorithm>
#include <new>
#include <utility>

#include "com/DiagnosticLog.h"
#include "com/SafeArray.h"
#include "com/VarMath.h"
#include "script/engine/vbscript/VBScriptErrObject.h"
#include "script/engine/vbscript/VBScriptObject.h"

namespace {

constexpr std::size_t kSegmentSlots = 1024;

// This thread's own copies of the short string constants of the programs it ran last. A
// program's strings are shared by every machine on every thread, and each use of one as a
// value takes a reference to its buffer: machines running the same script on two
// processors would fight over those counts. A copy is an ordinary string: whatever keeps
// it keeps its own reference, and the copies go with the thread.
class CThreadTexts {
public:
    CThreadTexts() = default;
    CThreadTexts(const CThreadTexts&) = delete;
    CThreadTexts& operator=(const CThreadTexts&) = delete;
    ~CThreadTexts() {
        for (Program& p : m_programs)
            p.Clear();
    }

    // A new reference to the text of the program's string constant `index`.
    BstrBuffer* Text(const CVBScriptProgram& program, std::size_t index) {
        BstrBuffer* const shared = program.constants[index].bstrVal;
        if (!shared || BSTR::ViewOf(shared).size() > kMaxLength)  // a null string stays null
            return BSTR::AddRefBuffer(shared);
        Program& p = Find(program);
        BstrBuffer*& copy = p.texts[index];
        if (!copy)
            copy = BSTR(BSTR::ViewOf(shared)).Detach();
        return BSTR::AddRefBuffer(copy);
    }

private:
    static constexpr std::size_t kMaxLength = 64;
    static constexpr std::size_t kPrograms = 4;
    struct Program {
        const CVBScriptProgram* program = nullptr;
        std::uint64_t serial = 0;
        std::vector<BstrBuffer*> texts;  // by constant index; null until first used
        void Clear() {
            for (BstrBuffer* text : texts)
                BSTR::ReleaseBuffer(text);
            texts.clear();
            program = nullptr;
        }
    };
    Program& Find(const CVBScriptProgram& program) {
        for (Program& p : m_programs)
            if (p.program == &program && p.serial == program.serial.Value())
                return p;
        Program& p = m_programs[m_next++ % kPrograms];
        p.Clear();
        p.texts.assign(program.constants.size(), nullptr);
        p.program = &program;
        p.serial = program.serial.Value();
        return p;
    }
    Program m_programs[kPrograms];
    std::size_t m_next = 0;
};

BstrBuffer* ThreadText(const CVBScriptProgram& program, std::size_t index) {
    static thread_local CThreadTexts t_texts;
    return t_texts.Text(program, index);
}

}  // namespace

struct CVBScriptVM::Spares {
    static constexpr std::size_t kMost = 4;  // of each kind of cache
    std::vector<VARIANT> stack;              // empty, its capacity reserved
    std::unique_ptr<VARIANT[]> segment;      // kSegmentSlots, their values cleared
    std::vector<std::vector<Binding>> bindings;
    std::vector<std::vector<MemberCache>> members;
};

CVBScriptVM::Spares* CVBScriptVM::ThreadSpares() {
    // Trivially destructible, so that a machine dropped late in a thread's end still reads
    // them; the owner frees the spares when the thread ends.
    static thread_local Spares* t_spares = nullptr;
    static thread_local bool t_gone = false;
    struct Owner {
        ~Owner() {
            delete std::exchange(t_spares, nullptr);
            t_gone = true;
        }
    };
    if (!t_spares && !t_gone) {
        static thread_local Owner t_owner;
        (void)&t_owner;
        t_spares = new (std::nothrow) Spares();
    }
    return t_spares;
}

namespace {

// A kept vector if there is one, else a new one; either way `count` fresh entries.
template <class T>
std::vector<T> TakeSpare(std::vector<std::vector<T>>* kept, std::size_t count) {
    std::vector<T> v;
    if (kept && !kept->empty()) {
        v = std::move(kept->back());
        kept->pop_back();
    }
    v.assign(count, T{});
    return v;
}

}  // namespace

std::vector<CVBScriptVM::Binding> CVBScriptVM::TakeBindings(std::size_t count) {
    Spares* spares = ThreadSpares();
    return TakeSpare(spares ? &spares->bindings : nullptr, count);
}

std::vector<CVBScriptVM::MemberCache> CVBScriptVM::TakeMembers(std::size_t count) {
    Spares* spares = ThreadSpares();
    return TakeSpare(spares ? &spares->members : nullptr, count);
}

void CVBScriptVM::GiveActivation(Activation& activation) {
    Spares* spares = ThreadSpares();
    if (!spares)
        return;
    try {
        if (spares->bindings.size() < Spares::kMost && activation.cache.capacity() > 0)
            spares->bindings.push_back(std::move(activation.cache));
        if (spares->members.size() < Spares::kMost && activation.members.capacity() > 0)
            spares->members.push_back(std::move(activation.members));
    } catch (...) {
        // Out of memory for the list: the caches are freed as before.
    }
}

VARIANT* CVBScriptVM::SlotStack::Push(std::size_t count) {
    for (;;) {
        if (m_current == m_segments.size()) {
            Segment seg;
            seg.size = std::max<std::size_t>(kSegmentSlots, count);
            Spares* spares = seg.size == kSegmentSlots ? ThreadSpares() : nullptr;
            if (spares && spares->segment)
                seg.slots = std::move(spares->segment);
            else
                seg.slots.reset(new VARIANT[seg.size]);
            m_segments.push_back(std::move(seg));
        }
        Segment& seg = m_segments[m_current];
        if (seg.size - seg.used >= count) {
            VARIANT* p = seg.slots.get() + seg.used;
            seg.used += count;
            for (std::size_t i = 0; i < count; ++i)
                VariantInit(&p[i]);
            return p;
        }
        if (seg.used == 0) {  // too small even empty: replace it
            m_segments.erase(m_segments.begin() + static_cast<std::ptrdiff_t>(m_current));
            continue;
        }
        ++m_current;
    }
}

void CVBScriptVM::SlotStack::Pop(VARIANT* slots, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        ClearValue(&slots[i]);
    Segment& seg = m_segments[m_current];
    seg.used -= count;
    if (seg.used == 0 && m_current > 0)
        --m_current;
}

CVBScriptVM::SlotStack::~SlotStack() {
    // Every frame has returned: the slots of a segment hold nothing.
    Spares* spares = ThreadSpares();
    for (Segment& seg : m_segments)
        if (spares && !spares->segment && seg.size == kSegmentSlots && seg.used == 0)
            spares->segment = std::move(seg.slots);
}

CVBScriptVM::CVBScriptVM() = default;

CVBScriptErrObject* CVBScriptVM::ErrObject() {
    // Made when first needed: most runs never touch Err, and a machine is made for every
    // run of a page.
    if (!m_errObject)
        m_errObject = MakeObject<CVBScriptErrObject>();
    return m_errObject.Get();
}

CVBScriptVM::~CVBScriptVM() {
    Close();
    // Nothing runs any more: the operand stack is empty.
    Spares* spares = ThreadSpares();
    if (spares && m_depth == 0 && m_stack.empty() && spares->stack.capacity() == 0 &&
        m_stack.capacity() >= MAX_OPERANDS)
        spares->stack = std::move(m_stack);
}

void CVBScriptVM::Close() {
    m_closed = true;
    PopTo(0);
    // Releasing may run Class_Terminate code, which finds the machine closed and its slots
    // empty: the values are moved out first (a move runs no code) and released after.
    if (!m_globalSlots.empty()) {
        std::vector<CComVariant> values;
        values.reserve(m_globalSlots.size());
        for (CComVariant& value : m_globalSlots)
            values.push_back(std::move(value));
        m_globalSlots.clear();
        values.clear();
    }
    m_items.clear();
    m_itemGlobals.clear();
    m_globals.clear();
    m_base = nullptr;
    m_lastActivation = nullptr;
    for (Activation& activation : m_programs)
        GiveActivation(activation);
    m_programs.clear();
}

void CVBScriptVM::UnlockTo(std::size_t size) {
    while (!m_locks.empty() && m_locks.back().first >= size) {
        SafeArrayUnlock(m_locks.back().second);
        m_locks.pop_back();
    }
}

HRESULT CVBScriptVM::Enter(bool* pOutermost) {
    if (m_closed)
        return E_UNEXPECTED;
    *pOutermost = m_depth == 0;
    if (*pOutermost) {
        if (m_stack.capacity() < MAX_OPERANDS) {
            Spares* spares = ThreadSpares();
            if (spares && spares->stack.capacity() >= MAX_OPERANDS && m_stack.empty())
                m_stack = std::move(spares->stack);
            else
                m_stack.reserve(MAX_OPERANDS);
        }
        char here;
        m_nativeBase = &here;
        m_errorRecorded = false;
        m_steps = 0;
        m_running.store(true, std::memory_order_relaxed);
    }
    return S_OK;
}

void CVBScriptVM::Leave(bool outermost) {
    if (outermost) {
        m_interrupt.store(false, std::memory_order_relaxed);
        m_running.store(false, std::memory_order_relaxed);
        PopTo(0);
    }
}

HRESULT CVBScriptVM::RunProgram(const VBSProgramPtr& program, VARIANT* pResult) {
    bool outermost;
    HRESULT hr = Enter(&outermost);
    if (FAILED(hr))
        return hr;
    hr = CallFunction(program.get(), program->functions[0], nullptr, nullptr, 0, pResult);
    Leave(outermost);
    return hr == VBS_E_INTERRUPTED ? S_OK : hr;
}

HRESULT CVBScriptVM::Fail(LONG lNumber, std::u16string_view name) {
    m_error = VBScriptErrorRecord();
    m_error.lNumber = lNumber;
    m_error.source = VBSCRIPT_RUNTIME_ERROR_SOURCE;
    std::u16string text = VBScriptRuntimeErrorText(lNumber);
    if (!name.empty()) {
        text += u": '";
        text += name;
        text += u"'";
    }
    m_error.description = text;
    m_errorRecorded = true;
    m_errorProgram = nullptr;
    return m_error.Result();
}

HRESULT CVBScriptVM::RecordFailure(HRESULT hr, EXCEPINFO* pExcepInfo) {
    if (hr == VBS_E_INTERRUPTED || m_errorRecorded)
        return hr;
    m_error = VBScriptErrorFromResult(hr, pExcepInfo);
    m_errorRecorded = true;
    m_errorProgram = nullptr;
    return m_error.Result();
}

void CVBScriptVM::RecordPosition(const Frame& frame, std::size_t pc) {
    if (m_errorProgram)
        return;  // placed where it happened, in an inner frame
    const auto& lines = frame.fn->lines;
    auto it = std::upper_bound(lines.begin(), lines.end(), pc,
                               [](std::size_t at, const VBSLineEntry& e) { return at < e.pc; });
    if (it != lines.begin())
        --it;
    m_errorProgram = frame.program;
    m_errorLine = it != lines.end() ? it->line : 0;
    m_errorCharacter = it != lines.end() ? it->character : 0;
}

HRESULT CVBScriptVM::CallFunction(const CVBScriptProgram* program, const VBSFunction& fn,
                                  CVBScriptObject* me, VARIANT* args, unsigned argc,
                                  VARIANT* pResult) {
    char here;
    if (m_depth >= MAX_DEPTH ||
        (m_nativeBase && static_cast<std::size_t>(m_nativeBase - &here) > MAX_NATIVE_STACK))
        return Fail(28);
    if (argc != fn.byRef.size())
        return Fail(450, fn.name);
    Activation* activation = m_lastActivation && m_lastActivation->program.get() == program
                                 ? m_lastActivation
                                 : ActivationOf(program);
    if (!activation)
        return E_UNEXPECTED;
    m_lastActivation = activation;
    VARIANT* slots = m_slots.Push(fn.slots);
    for (unsigned i = 0; i < argc; ++i) {
        VARIANT* arg = &args[i];
        if (arg->vt == (VT_BYREF | VT_VARIANT) && fn.byRef[i]) {
            slots[1 + i] = *arg;  // the caller's variable itself
        } else if (arg->vt == VT_ERROR && arg->scode == DISP_E_PARAMNOTFOUND) {
            // a left-out argument stays Empty
        } else if (VARIANT* value = Deref(arg); IsPlain(value->vt)) {
            slots[1 + i] = *value;
        } else {
            VariantCopyInd(&slots[1 + i], value);
        }
    }
    CComPtr<CVBScriptObject> keepMe(me);
    Frame frame{program, &fn, activation, &activation->cache, slots, me, m_stack.size()};
    ++m_depth;
    HRESULT hr = Run(frame);
    --m_depth;
    if (SUCCEEDED(hr) && pResult) {
        ClearValue(pResult);
        *pResult = slots[0];
        VariantInit(&slots[0]);
    }
    for (unsigned i = 0; i < argc; ++i)
        if (slots[1 + i].vt == (VT_BYREF | VT_VARIANT))
            VariantInit(&slots[1 + i]);
    m_slots.Pop(slots, fn.slots);
    return hr;
}

#define VBS_CHECK(expr)  \
    do {                 \
        hr = (expr);     \
        if (FAILED(hr))  \
            goto failed; \
    } while (0)

HRESULT CVBScriptVM::BinaryInPlace(VBSOpcode op, VARIANT* right, bool rightOnStack) {
    const std::size_t base = m_stack.size() - (rightOnStack ? 2 : 1);
    VARIANT result;
    result.vt = VT_EMPTY;
    HRESULT hr;
    if (!FastBinary(op, &m_stack[base], right, &result, &hr)) {
        CComVariant slow;
        hr = Binary(op, &m_stack[base], right, &slow);
        if (SUCCEEDED(hr))
            slow.Detach(&result);
    }
    if (FAILED(hr))
        return hr;
    if (m_locks.empty() || m_locks.back().first < base) {
        // The result takes the left operand's place.
        if (rightOnStack) {
            ClearValue(&m_stack[base + 1]);
            m_stack.pop_back();
        }
        ClearValue(&m_stack[base]);
        m_stack[base] = result;
    } else {
        PopTo(base);
        *Push() = result;
    }
    return S_OK;
}

HRESULT CVBScriptVM::Run(Frame& frame) {
    const VBSInstr* code = frame.fn->code.data();
    const std::size_t size = frame.fn->code.size();
    std::size_t pc = 0;
    HRESULT hr = S_OK;
    bool resumeNext = false;
    while (pc < size) {
        const VBSInstr& in = code[pc];
        switch (in.op) {
            case VBSOpcode::Stmt:
                if (Interrupted())
                    VBS_CHECK(VBS_E_INTERRUPTED);
                break;
            case VBSOpcode::PushConst: {
                const VARIANT* constant = &frame.program->constants[in.a];
                if (constant->vt == VT_BSTR && pc + 1 < size) {
                    // A string constant that the next instruction only reads (a comparison,
                    // a Case, the right side of &) is used where it is: the program's
                    // strings are shared by every clone on every thread, and a copy's
                    // reference count would be fought over between them.
                    const VBSInstr& next = code[pc + 1];
                    if (next.op == VBSOpcode::CaseTest) {
                        HRESULT cmp;
                        VBS_CHECK(
                            Compare(&frame.slots[next.a], const_cast<VARIANT*>(constant), &cmp));
                        pc = cmp == VARCMP_EQ ? static_cast<std::size_t>(next.b) : pc + 2;
                        continue;
                    }
                    if (next.op == VBSOpcode::Concat ||
                        (next.op >= VBSOpcode::Eq && next.op <= VBSOpcode::Ge)) {
                        VBS_CHECK(BinaryInPlace(next.op, const_cast<VARIANT*>(constant), false));
                        pc += 2;
                        continue;
                    }
                }
                if (constant->vt == VT_BSTR) {
                    VARIANT* v = Push();
                    v->vt = VT_BSTR;
                    v->bstrVal = ThreadText(*frame.program, static_cast<std::size_t>(in.a));
                    break;
                }
                CopyValue(Push(), constant);
                break;
            }
            case VBSOpcode::PushEmpty:
                Push();
                break;
            case VBSOpcode::PushNull:
                Push()->vt = VT_NULL;
                break;
            case VBSOpcode::PushNothing: {
                VARIANT* v = Push();
                v->vt = VT_DISPATCH;
                v->pdispVal = nullptr;
                break;
            }
            case VBSOpcode::PushMe: {
                VARIANT* v = Push();
                if (frame.me) {
                    v->vt = VT_DISPATCH;
                    v->pdispVal = frame.me;
                    frame.me->AddRef();
                } else {
                    VBS_CHECK(Fail(424));
                }
                break;
            }
            case VBSOpcode::PushMissing: {
                VARIANT* v = Push();
                v->vt = VT_ERROR;
                v->scode = DISP_E_PARAMNOTFOUND;
                break;
            }
            case VBSOpcode::Pop:
                PopTo(m_stack.size() - 1);
                break;
            case VBSOpcode::Load: {
                if (in.kind == VBSRefKind::Local) {  // the common case, inline
                    const VARIANT* v = Deref(&frame.slots[in.a]);
                    if (IsPlain(v->vt)) {
                        *Push() = *v;
                        break;
                    }
                } else if (in.kind == VBSRefKind::Global && in.a >= 0) {
                    // A named item's object (Response …) resolved before.
                    const Binding& b = (*frame.cache)[in.a];
                    if (b.kind == BindKind::NamedItem && b.generation == m_generation) {
                        if (IDispatch* obj = ItemObject(b.index)) {
                            VARIANT* v = Push();
                            v->vt = VT_DISPATCH;
                            v->pdispVal = obj;
                            obj->AddRef();
                            break;
                        }
                    }
                }
                Temp result;
                VBS_CHECK(LoadRef(frame, in, nullptr, 0, &result));
                result.MoveTo(Push());
                break;
            }
            case VBSOpcode::Call: {
                unsigned argc = in.argc & VBS_ARGC;
                std::size_t base = m_stack.size() - argc;
                Temp result;
                const Binding* cached =
                    in.kind == VBSRefKind::Global && in.a >= 0 ? &(*frame.cache)[in.a] : nullptr;
                if (cached && cached->kind == BindKind::Function &&
                    cached->generation == m_generation) {
                    // A script procedure called before: straight to it.
                    VBS_CHECK(CallFunction(cached->program,
                                           cached->program->functions[cached->index], nullptr,
                                           m_stack.data() + base, argc, &result));
                } else {
                    VBS_CHECK(LoadRef(frame, in, m_stack.data() + base, argc, &result));
                }
                PopTo(base);
                if (!(in.argc & VBS_DISCARD))
                    result.MoveTo(Push());
                if (m_interrupt.load(std::memory_order_relaxed))
                    VBS_CHECK(VBS_E_INTERRUPTED);
                break;
            }
            case VBSOpcode::Store:
                if (in.kind == VBSRefKind::Local && in.argc == 0) {  // the common case, inline
                    VARIANT* target = Deref(&frame.slots[in.a]);
                    VARIANT* value = &m_stack.back();
                    if (IsPlain(target->vt) && IsPlain(value->vt)) {
                        *target = *value;
                        m_stack.pop_back();
                        break;
                    }
                }
                [[fallthrough]];
            case VBSOpcode::SetRef:
            case VBSOpcode::StoreIdx:
            case VBSOpcode::SetIdx: {
                unsigned argc = in.argc & VBS_ARGC;
                std::size_t base = m_stack.size() - argc - 1;
                bool isSet = in.op == VBSOpcode::SetRef || in.op == VBSOpcode::SetIdx;
                VBS_CHECK(StoreRef(frame, in, m_stack.data() + base, argc, &m_stack.back(), isSet));
                PopTo(base);
                break;
            }
            case VBSOpcode::AppendStore: {
                std::size_t base = m_stack.size() - 2;
                VBS_CHECK(AppendStore(frame, in, &m_stack[base], &m_stack[base + 1]));
                PopTo(base);
                break;
            }
            case VBSOpcode::Ref:
            case VBSOpcode::RefIdx: {
                unsigned argc = in.argc & VBS_ARGC;
                std::size_t base = m_stack.size() - argc;
                Temp result;
                SAFEARRAY* locked = nullptr;
                VBS_CHECK(RefArg(frame, in, m_stack.data() + base, argc, &result, &locked));
                PopTo(base);
                result.MoveTo(Push());
                if (locked)
                    m_locks.emplace_back(base, locked);
                break;
            }
            case VBSOpcode::LoadObject: {
                const Binding& b = (*frame.cache)[in.a];
                if (b.kind == BindKind::NamedItem && b.generation == m_generation &&
                    ItemObject(b.index)) {
                    VARIANT* v = Push();
                    v->wReserved1 = ITEM_MARK;
                    v->lVal = b.index;
                    break;
                }
                Temp result;
                VBS_CHECK(LoadRef(frame, in, nullptr, 0, &result));
                result.MoveTo(Push());
                m_stack.back().wReserved1 = 0;
                break;
            }
            case VBSOpcode::MGet:
            case VBSOpcode::MCall: {
                unsigned argc = in.argc & VBS_ARGC;
                std::size_t base = m_stack.size() - argc;
                Temp result;
                VARIANT item;
                VBS_CHECK(CallMember(ObjectOperand(in, &m_stack[base - 1], &item), frame.activation,
                                     in.a, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                     m_stack.data() + base, argc, &result));
                PopTo(base - 1);
                if (!(in.argc & VBS_DISCARD))
                    result.MoveTo(Push());
                if (m_interrupt.load(std::memory_order_relaxed))
                    VBS_CHECK(VBS_E_INTERRUPTED);
                break;
            }
            case VBSOpcode::MStore:
            case VBSOpcode::MSet: {
                unsigned argc = in.argc & VBS_ARGC;
                std::size_t base = m_stack.size() - argc - 1;
                VARIANT* value = &m_stack.back();
                if (in.op == VBSOpcode::MStore)
                    VBS_CHECK(ValueOf(value));
                else if (Deref(value)->vt != VT_DISPATCH && Deref(value)->vt != VT_UNKNOWN)
                    VBS_CHECK(Fail(424));
                VARIANT item;
                VBS_CHECK(CallMember(
                    ObjectOperand(in, &m_stack[base - 1], &item), frame.activation, in.a,
                    in.op == VBSOpcode::MStore ? DISPATCH_PROPERTYPUT : DISPATCH_PROPERTYPUTREF,
                    m_stack.data() + base, argc + 1, nullptr));
                PopTo(base - 1);
                if (m_interrupt.load(std::memory_order_relaxed))
                    VBS_CHECK(VBS_E_INTERRUPTED);
                break;
            }
            case VBSOpcode::ICall: {
                unsigned argc = in.argc & VBS_ARGC;
                std::size_t base = m_stack.size() - argc;
                Temp result;
                VBS_CHECK(CallValue(&m_stack[base - 1], m_stack.data() + base, argc, &result));
                PopTo(base - 1);
                if (!(in.argc & VBS_DISCARD))
                    result.MoveTo(Push());
                break;
            }
            case VBSOpcode::IStore:
            case VBSOpcode::ISet: {
                unsigned argc = in.argc & VBS_ARGC;
                std::size_t base = m_stack.size() - argc - 1;
                VBS_CHECK(StoreValue(&m_stack[base - 1], m_stack.data() + base, argc,
                                     &m_stack.back(), in.op == VBSOpcode::ISet));
                PopTo(base - 1);
                break;
            }
            case VBSOpcode::Neg:
            case VBSOpcode::Not:
            case VBSOpcode::Plus: {
                VARIANT* v = &m_stack.back();
                if (in.op == VBSOpcode::Plus) {
                    VBS_CHECK(ValueOf(v));
                    break;
                }
                Temp result;
                hr = in.op == VBSOpcode::Neg ? VarNeg(v, &result) : VarNot(v, &result);
                if (FAILED(hr))
                    VBS_CHECK(RecordFailure(hr, nullptr));
                VariantClear(v);
                result.MoveTo(v);
                break;
            }
            case VBSOpcode::Jmp:
                if (static_cast<std::size_t>(in.b) <= pc && Interrupted())
                    VBS_CHECK(VBS_E_INTERRUPTED);
                pc = static_cast<std::size_t>(in.b);
                continue;
            case VBSOpcode::JmpFalse:
            case VBSOpcode::JmpTrue: {
                bool truth;
                VARIANT* condition = &m_stack.back();
                if (condition->vt == VT_BOOL) {
                    truth = condition->boolVal != VARIANT_FALSE;
                    m_stack.pop_back();
                } else {
                    VBS_CHECK(Truth(condition, &truth));
                    PopTo(m_stack.size() - 1);
                }
                if (truth == (in.op == VBSOpcode::JmpTrue)) {
                    if (static_cast<std::size_t>(in.b) <= pc && Interrupted())
                        VBS_CHECK(VBS_E_INTERRUPTED);
                    pc = static_cast<std::size_t>(in.b);
                    continue;
                }
                break;
            }
            case VBSOpcode::CaseTest: {
                HRESULT cmp;
                VBS_CHECK(Compare(&frame.slots[in.a], &m_stack.back(), &cmp));
                PopTo(m_stack.size() - 1);
                if (cmp == VARCMP_EQ) {
                    pc = static_cast<std::size_t>(in.b);
                    continue;
                }
                break;
            }
            case VBSOpcode::CaseTable: {
                const VARIANT* selector = Deref(&frame.slots[in.a]);
                if (in.b < 0 || selector->vt != VT_BSTR)
                    break;
                const auto& tests = frame.program->caseTables[static_cast<std::size_t>(in.b)].tests;
                const auto found = tests.find(VariantText(*selector));
                pc = found == tests.end() ? static_cast<std::size_t>(in.c)
                                          : static_cast<std::size_t>(code[found->second].b);
                continue;
            }
            case VBSOpcode::ForInit: {
                std::size_t base = m_stack.size() - 3;
                VBS_CHECK(ForInit(&frame.slots[in.a], &m_stack[base]));
                PopTo(base + 1);
                break;
            }
            case VBSOpcode::ForCheck: {
                bool done;
                VBS_CHECK(ForCheck(&frame.slots[in.a], &m_stack.back(), &done));
                PopTo(m_stack.size() - 1);
                if (done) {
                    pc = static_cast<std::size_t>(in.b);
                    continue;
                }
                break;
            }
            case VBSOpcode::ForStep: {
                CComVariant next;
                if (!FastBinary(VBSOpcode::Add, &m_stack.back(), &frame.slots[in.a + 1], &next,
                                &hr))
                    hr = VarAdd(&m_stack.back(), &frame.slots[in.a + 1], &next);
                if (FAILED(hr))
                    VBS_CHECK(RecordFailure(hr, nullptr));
                VariantClear(&m_stack.back());
                next.Detach(&m_stack.back());
                break;
            }
            case VBSOpcode::ForEachInit:
                VBS_CHECK(ForEachInit(&frame.slots[in.a], &m_stack.back()));
                PopTo(m_stack.size() - 1);
                break;
            case VBSOpcode::ForEachNext: {
                bool done;
                VARIANT* v = Push();
                VBS_CHECK(ForEachNext(&frame.slots[in.a], v, &done));
                if (done) {
                    PopTo(m_stack.size() - 1);
                    pc = static_cast<std::size_t>(in.b);
                    continue;
                }
                break;
            }
            case VBSOpcode::ReDim: {
                unsigned argc = in.argc & VBS_ARGC;
                std::size_t base = m_stack.size() - argc;
                VBS_CHECK(ReDim(frame, in, m_stack.data() + base, argc));
                PopTo(base);
                break;
            }
            case VBSOpcode::Erase:
                VBS_CHECK(Erase(frame, in));
                break;
            case VBSOpcode::OnErrorResume:
                // The statement clears Err, as every On Error statement does: an error
                // handled earlier (in a caller, say) is not seen again.
                resumeNext = true;
                if (m_errObject)
                    m_errObject->Reset();
                break;
            case VBSOpcode::OnErrorGoto0:
                resumeNext = false;
                if (m_errObject)
                    m_errObject->Reset();
                break;
            case VBSOpcode::New: {
                Temp result;
                VBS_CHECK(NewObject(frame.program, in.a, &result));
                result.MoveTo(Push());
                break;
            }
            case VBSOpcode::Return:
                pc = size;
                continue;
            default:
                VBS_CHECK(BinaryInPlace(in.op, &m_stack.back(), true));
                break;
        }
        ++pc;
        if (m_overflow) {
            m_overflow = false;
            hr = Fail(28);
            goto failed;
        }
        continue;
    failed:
        if (hr == VBS_E_INTERRUPTED) {
            PopTo(frame.stackBase);
            return hr;
        }
        hr = RecordFailure(hr, nullptr);
        RecordPosition(frame, pc);
        PopTo(frame.stackBase);
        if (!resumeNext)
            return hr;
        // On Error Resume Next: the error goes to Err and the next statement runs.
        if (CVBScriptErrObject* err = ErrObject())
            err->Set(m_error);
        m_errorRecorded = false;
        m_errorProgram = nullptr;
        ++pc;
        while (pc < size && code[pc].op != VBSOpcode::Stmt && code[pc].op != VBSOpcode::Return)
            ++pc;
    }
    PopTo(frame.stackBase);
    return S_OK;
}
