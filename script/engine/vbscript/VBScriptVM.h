// The VBScript virtual machine: the globals of one engine and the loop that runs the
// compiled code.
//
// One machine belongs to one engine (and so to one run of a page). It holds the global
// variables, the procedures and classes of every program added to it, the named items
// of the host, and the Err object. Programs are shared and immutable; the machine keeps
// per program a cache of what each global name resolved to.
//
// Values are VARIANTs throughout, operated on with the Automation operators of com/.
// Local variables live in frames carved from a segmented slot stack, so a by-reference
// argument (a VT_BYREF|VT_VARIANT pointing at the caller's slot) stays valid for the
// whole call; an array element passed by reference locks its array for the call.
// Recursion is bounded by frame count and by the native stack used, and reported as
// "Out of stack space" (28). An interrupt flag, set from any thread, is tested at every
// statement, every backward jump and after every call out; it unwinds without an error.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "com/CComVariant.h"
#include "com/Dispatch.h"
#include "script/engine/vbscript/VBScriptProgram.h"
#include "script/engine/vbscript/VBScriptRuntimeError.h"
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

class CVBScriptObject;
class CVBScriptErrObject;
struct IActiveScriptSite;

// The status with which an interrupted run unwinds; never shown to a script or a host.
inline constexpr HRESULT VBS_E_INTERRUPTED = MakeHResult(0x800A7FFF);

class CVBScriptVM : public std::enable_shared_from_this<CVBScriptVM> {
public:
    static constexpr unsigned MAX_DEPTH = 1000;
    // Named items a host typically adds to a copy of a script before running it (a
    // request's objects): room is made for them up front.
    static constexpr std::size_t kRoomForItems = 4;
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer makes every native frame several times larger.
    static constexpr std::size_t MAX_NATIVE_STACK = 4u << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    static constexpr std::size_t MAX_NATIVE_STACK = 4u << 20;
#else
    static constexpr std::size_t MAX_NATIVE_STACK = 1u << 20;
#endif
#else
    static constexpr std::size_t MAX_NATIVE_STACK = 1u << 20;
#endif
    static constexpr std::size_t MAX_OPERANDS = 4096;
    // Concatenation beyond this many characters is "Out of string space" (14), an array
    // of more elements "Out of memory" (7): one page cannot take the process's memory.
    static constexpr std::size_t MAX_STRING_LENGTH = std::size_t(1) << 26;
    static constexpr std::size_t MAX_ARRAY_ELEMENTS = std::size_t(1) << 22;

    CVBScriptVM();
    ~CVBScriptVM();
    CVBScriptVM(const CVBScriptVM&) = delete;
    CVBScriptVM& operator=(const CVBScriptVM&) = delete;

    // What a machine holds once its named items, constants and programs are added and before
    // anything runs: the global names and where they live, the first values of the global
    // variables, the named items and the programs. Machines filled the same way (the clones
    // of one engine, one for every run of a page) share one instead of each building its
    // own table of names. Read-only once made, so any number of threads may share it.
    struct Layout;
    // This machine's layout; only of a machine that has run nothing and adopted none (else
    // null).
    std::shared_ptr<const Layout> MakeLayout() const;
    // Starts a new, empty machine as the one the layout was made of.
    HRESULT Adopt(const std::shared_ptr<const Layout>& layout);
    // The layout adopted (until Close), else null.
    const std::shared_ptr<const Layout>& AdoptedLayout() const {
        return m_base;
    }

    // Declares the globals, procedures and classes of a program (once per program).
    HRESULT AddProgram(const VBSProgramPtr& program);
    // Runs the global code of a program; for an expression program, its value.
    HRESULT RunProgram(const VBSProgramPtr& program, VARIANT* pResult);
    // Named items: the object is asked of the site on first use.
    void AddNamedItem(std::u16string_view name, DWORD dwFlags);
    void SetSite(IActiveScriptSite* site) {
        m_site = site;
    }
    // Called when an error ends a call that came from outside the machine.
    void SetErrorHandler(std::function<void()> handler) {
        m_onError = std::move(handler);
    }
    void AddConstant(std::u16string_view name, const VARIANT& value);
    void SetLocale(LCID lcid) {
        m_builtin.lcid = lcid;
    }
    LCID Locale() const {
        return m_builtin.lcid;
    }

    // The global variables and procedures by name, for the engine's script dispatch.
    HRESULT GlobalDispId(std::u16string_view name, DISPID* pId);
    HRESULT InvokeGlobal(DISPID id, WORD wFlags, DISPPARAMS* pParams, VARIANT* pResult,
                         EXCEPINFO* pExcepInfo);

    // Calls a procedure of a class instance (from the instance's IDispatch).
    HRESULT InvokeMember(CVBScriptObject* me, int member, WORD wFlags, VARIANT* args, unsigned argc,
                         VARIANT* pResult, EXCEPINFO* pExcepInfo);
    // Calls a global procedure through a reference GetRef gave (from its IDispatch).
    HRESULT InvokeFunction(const VBSProgramPtr& program, int fn, DISPPARAMS* pParams,
                           VARIANT* pResult, EXCEPINFO* pExcepInfo);
    void RunTerminate(CVBScriptObject* me);

    void Interrupt() {
        m_interrupt.store(true, std::memory_order_relaxed);
    }
    // Ends every outermost run after this many statements and backward jumps as an
    // interrupt does (0: no limit). For running untrusted text under test.
    void SetStepLimit(std::uint64_t steps) {
        m_stepLimit = steps;
    }
    // Whether script code runs now (asked from any thread).
    bool IsRunning() const {
        return m_running.load(std::memory_order_relaxed);
    }
    // Releases every global (breaking cycles through class instances) and refuses to run.
    void Close();

    // The error that ended the last run, with its position.
    const VBScriptErrorRecord& LastError() const {
        return m_error;
    }
    const CVBScriptProgram* ErrorProgram() const {
        return m_errorProgram;
    }
    ULONG ErrorLine() const {
        return m_errorLine;
    }
    ULONG ErrorCharacter() const {
        return m_errorCharacter;
    }

private:
    enum class BindKind : std::uint8_t {
        None,
        Var,
        Const,
        Function,
        Class,
        NamedItem,
        GlobalMember,
        Builtin,
        ErrObject,
        Intrinsic  // Eval, Execute, ExecuteGlobal, GetRef: index is the VBSIntrinsic
    };
    enum VBSIntrinsic : int { Eval, Execute, ExecuteGlobal, GetRef };
    struct Binding {
        BindKind kind = BindKind::None;
        VARIANT* var = nullptr;
        const CVBScriptProgram* program = nullptr;
        int index = -1;  // function, class or named item
        DISPID dispid = DISPID_UNKNOWN;
        const VBBuiltin* builtin = nullptr;
        unsigned generation = 0;
        int slot = -1;  // a script-level variable's or constant's index in m_globalSlots
    };
    struct GlobalEntry {
        BindKind kind;
        int slot = -1;  // in m_globalSlots: a variable's or constant's value
        const CVBScriptProgram* program = nullptr;
        int index = -1;
        DISPID dispid = 0;  // for the script dispatch
    };
    struct NamedItem {
        std::u16string name;
        DWORD flags;
        CComPtr<IDispatch> object;
        bool bound = false;
        std::u16string upper;  // the name upper-cased, to find the item again
    };
    // What a member name at a call site last resolved to: a member of a class of the
    // script, or a dispatch id of a named item's object (valid while the generation
    // holds: the item keeps its object alive until then).
    struct MemberCache {
        const void* key = nullptr;  // the VBSClass or the IDispatch
        unsigned generation = 0;
        int member = -1;
        DISPID dispid = DISPID_UNKNOWN;
    };
    // A name's binding that is the same in every machine of a layout (a procedure or class
    // of the layout's programs, a built-in function or constant, Err, an intrinsic): the
    // first machine to resolve the name records it for the others, which then skip the
    // look-ups. It holds in a machine that added no global of that name and has no item
    // that lends its members as globals.
    struct SharedBinding {
        static constexpr std::uint8_t kUnknown = 0, kWriting = 1, kReady = 2;
        std::atomic<std::uint8_t> state{kUnknown};
        std::uint64_t nameBit = 0;  // NameBit of the name
        Binding binding;
    };
    struct Activation {
        VBSProgramPtr program;
        std::vector<Binding> cache;
        std::vector<MemberCache> members;  // by global name index
        SharedBinding* shared = nullptr;   // the layout's, by global name index (if adopted)
    };
    // Blocks of machines gone on this thread, kept for the next machine made on it: every
    // script call of every request makes and drops a machine, and giving these large blocks
    // back to the allocator and asking again made it sweep its bins both times. Only memory
    // passes on: every block is emptied or filled afresh before use. Null once the thread
    // is ending.
    struct Spares;
    static Spares* ThreadSpares();
    static std::vector<Binding> TakeBindings(std::size_t count);
    static std::vector<MemberCache> TakeMembers(std::size_t count);
    static void GiveActivation(Activation& activation);
    Activation NewActivation(const VBSProgramPtr& program, SharedBinding* shared = nullptr) {
        const std::size_t names = program->globalNames.size();
        return {program, TakeBindings(names), TakeMembers(names), shared};
    }
    struct Frame {
        const CVBScriptProgram* program;
        const VBSFunction* fn;
        Activation* activation;
        std::vector<Binding>* cache;
        VARIANT* slots;
        CVBScriptObject* me;
        std::size_t stackBase;
        bool resumeNext = false;
    };
    // Frame slots in segments that never move.
    class SlotStack {
    public:
        VARIANT* Push(std::size_t count);
        void Pop(VARIANT* slots, std::size_t count);
        ~SlotStack();

    private:
        struct Segment {
            std::unique_ptr<VARIANT[]> slots;
            std::size_t size = 0;
            std::size_t used = 0;
        };
        std::vector<Segment> m_segments;
        std::size_t m_current = 0;
    };

    // The loop and the procedures (VBScriptVM.cpp).
    HRESULT Run(Frame& frame);
    HRESULT CallFunction(const CVBScriptProgram* program, const VBSFunction& fn,
                         CVBScriptObject* me, VARIANT* args, unsigned argc, VARIANT* pResult);
    HRESULT Fail(LONG lNumber, std::u16string_view name = {});
    HRESULT RecordFailure(HRESULT hr, EXCEPINFO* pExcepInfo);
    void RecordPosition(const Frame& frame, std::size_t pc);
    HRESULT Enter(bool* pOutermost);
    void Leave(bool outermost);

    // Names and calls (VBScriptVMCalls.cpp).
    Activation* ActivationOf(const CVBScriptProgram* program);
    Binding Resolve(Frame& frame, int nameIndex);
    // Added since the machine adopted its layout (these hide the layout's), then the layout's.
    const GlobalEntry* FindGlobal(std::u16string_view upperName) const;
    const GlobalEntry* ListedItem(std::u16string_view upperName) const;  // in m_itemGlobals
    VARIANT* SlotVar(const GlobalEntry& e) {
        return e.slot >= 0 ? &m_globalSlots[static_cast<std::size_t>(e.slot)] : nullptr;
    }
    std::size_t BaseDispCount() const;
    const std::u16string* DispName(DISPID id) const;
    DISPID NextDispId() const {
        return static_cast<DISPID>(BaseDispCount() + m_dispNames.size() + 1);
    }
    IDispatch* ItemObject(int index);
    VARIANT* NewGlobalVar(std::u16string_view name);
    HRESULT SlotOf(Frame& frame, const VBSInstr& in, bool create, VARIANT** ppSlot,
                   Binding* pBinding);
    HRESULT LoadRef(Frame& frame, const VBSInstr& in, VARIANT* args, unsigned argc,
                    VARIANT* pResult);
    HRESULT StoreRef(Frame& frame, const VBSInstr& in, VARIANT* args, unsigned argc, VARIANT* value,
                     bool isSet);
    HRESULT RefArg(Frame& frame, const VBSInstr& in, VARIANT* args, unsigned argc, VARIANT* pResult,
                   SAFEARRAY** ppLocked);
    HRESULT ReDim(Frame& frame, const VBSInstr& in, VARIANT* bounds, unsigned count);
    HRESULT Erase(Frame& frame, const VBSInstr& in);
    HRESULT CallValue(VARIANT* callee, VARIANT* args, unsigned argc, VARIANT* pResult);
    HRESULT StoreValue(VARIANT* callee, VARIANT* args, unsigned argc, VARIANT* value, bool isSet);
    HRESULT MemberCall(CVBScriptObject* me, int member, WORD wFlags, VARIANT* args, unsigned argc,
                       VARIANT* pResult);
    HRESULT ElementPtr(SAFEARRAY* psa, VARIANT* args, unsigned argc, void** ppElement);
    HRESULT FinishOuterCall(HRESULT hr, bool outermost, EXCEPINFO* pExcepInfo);
    HRESULT CallMember(VARIANT* object, Activation* activation, int nameIndex, WORD wFlags,
                       VARIANT* args, unsigned argc, VARIANT* pResult);
    bool IsItemObject(IDispatch* object) const;
    HRESULT Dispatch(IDispatch* object, DISPID id, WORD wFlags, VARIANT* args, unsigned argc,
                     VARIANT* pResult);
    HRESULT CallBuiltin(const VBBuiltin& builtin, VARIANT* args, unsigned argc, VARIANT* pResult);
    HRESULT NewObject(const CVBScriptProgram* program, int nameIndex, VARIANT* pResult);
    HRESULT CreateInstance(const CVBScriptProgram* program, int classIndex, VARIANT* pResult);
    // `consume`: the value is a temporary of the operand stack, taken over rather than
    // copied (it is popped empty afterwards).
    HRESULT Assign(VARIANT* target, VARIANT* value, bool isSet, bool raw, bool consume = false);

    // Eval, Execute, ExecuteGlobal and GetRef (VBScriptVMExecute.cpp).
    HRESULT CallIntrinsic(Frame& frame, int which, VARIANT* args, unsigned argc, VARIANT* pResult);
    HRESULT RunText(Frame& frame, int which, std::u16string_view text, VARIANT* pResult);
    HRESULT MakeFunctionRef(std::u16string_view name, VARIANT* pResult);
    HRESULT ValueOf(VARIANT* value);  // an object replaced by its default value

    // Operators (VBScriptVMOperators.cpp).
    HRESULT Binary(VBSOpcode op, VARIANT* left, VARIANT* right, VARIANT* pResult);
    // `op` on a value of the stack (left) and `right`: the value above it (both are
    // popped), or a value off the stack that is only read (rightOnStack false, left is the
    // top). The result takes the left operand's place.
    HRESULT BinaryInPlace(VBSOpcode op, VARIANT* right, bool rightOnStack);
    HRESULT Compare(VARIANT* left, VARIANT* right, HRESULT* pCmp);
    HRESULT Truth(VARIANT* value, bool* pTrue);
    HRESULT ForEachInit(VARIANT* state, VARIANT* collection);
    HRESULT ForEachNext(VARIANT* state, VARIANT* pValue, bool* pDone);
    HRESULT ForInit(VARIANT* slots, VARIANT* values);
    HRESULT ForCheck(VARIANT* slots, VARIANT* value, bool* pDone);

    HRESULT Concat(VARIANT* left, VARIANT* right, VARIANT* pResult);
    HRESULT AppendStore(Frame& frame, const VBSInstr& in, VARIANT* left, VARIANT* right);
    HRESULT TextOf(const VARIANT* value, BSTR* pText);
    // The text of a concatenation operand as a view: of the value's own string, or of
    // `*pHolder` where it had to be made.
    struct TextHolder {
        BSTR text;
        char16_t digits[12];
    };
    HRESULT TextView(const VARIANT* value, TextHolder* pHolder, std::u16string_view* pText);
    bool FastBinary(VBSOpcode op, const VARIANT* left, const VARIANT* right, VARIANT* pResult,
                    HRESULT* pHr);

    // The value a variant stands for: references to variables (by-reference arguments,
    // For Each elements) followed to the end.
    static VARIANT* Deref(VARIANT* v) {
        while (v->vt == (VT_BYREF | VT_VARIANT))
            v = v->pvarVal;
        return v;
    }
    // Values that own nothing (numbers, dates, booleans, Empty, Null) copy and clear as
    // plain bytes; the rest go through the Automation functions.
    static bool IsPlain(VARTYPE vt) {
        return vt <= VT_BOOL ? vt != VT_BSTR && vt != VT_DISPATCH && vt != VT_ERROR
                             : vt == VT_UI1 || vt == VT_I8;
    }
    static HRESULT CopyValue(VARIANT* dest, const VARIANT* src) {
        if (IsPlain(src->vt) && IsPlain(dest->vt)) {
            *dest = *src;
            return S_OK;
        }
        return VariantCopy(dest, src);
    }
    static void ClearValue(VARIANT* v) {
        if (IsPlain(v->vt))
            v->vt = VT_EMPTY;
        else
            VariantClear(v);
    }
    // A temporary value of the loop: cleared inline when it owns nothing.
    struct Temp : VARIANT {
        Temp() { vt = VT_EMPTY; }
        ~Temp() { ClearValue(this); }
        Temp(const Temp&) = delete;
        Temp& operator=(const Temp&) = delete;
        void MoveTo(VARIANT* dest) {
            *dest = *this;
            vt = VT_EMPTY;
        }
    };
    // Drops the operand stack to `size` values, unlocking the arrays of by-reference
    // elements above it.
    // What LoadObject leaves for a named item: an Empty value marked with the item's
    // index, so that the member access after it reaches the item's object without taking
    // and dropping a reference. Only a marked access (c = 1) reads the mark.
    static constexpr WORD ITEM_MARK = 0x4954;
    VARIANT* ObjectOperand(const VBSInstr& in, VARIANT* operand, VARIANT* item) {
        if (in.c != 1 || operand->vt != VT_EMPTY || operand->wReserved1 != ITEM_MARK)
            return operand;
        item->vt = VT_DISPATCH;
        item->pdispVal = ItemObject(operand->lVal);
        return item;
    }
    void PopTo(std::size_t size) {
        if (!m_locks.empty() && m_locks.back().first >= size)
            UnlockTo(size);
        while (m_stack.size() > size) {
            ClearValue(&m_stack.back());
            m_stack.pop_back();
        }
    }
    void UnlockTo(std::size_t size);
    VARIANT* Push() {
        if (m_stack.size() == m_stack.capacity()) {  // never reallocate under a call
            m_overflow = true;
            VariantClear(&m_scratch);
            return &m_scratch;
        }
        m_stack.emplace_back();
        VariantInit(&m_stack.back());
        return &m_stack.back();
    }

    std::deque<Activation> m_programs;
    Activation* m_lastActivation = nullptr;  // the one the last call ran in
    // Found by a view without building a string for each look-up.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view name) const {
            return std::hash<std::u16string_view>()(name);
        }
    };
    using GlobalMap = std::unordered_map<std::u16string, GlobalEntry, NameHash, std::equal_to<>>;
    std::shared_ptr<const Layout> m_base;  // the layout adopted, if any
    GlobalMap m_globals;                   // upper-cased names added beside m_base's
    // The named items added after adopting a layout (a host's objects for one run), by
    // their index in m_items. Found after m_globals and before m_base: a short list is
    // cheaper to fill, search and drop than entries in the map.
    std::vector<GlobalEntry> m_itemGlobals;
    // One bit (NameBit) for each name in m_globals and m_itemGlobals, so that a shared
    // binding can be taken without looking the name up; and whether an item lends its
    // members as globals.
    std::uint64_t m_ownNameBits = 0;
    bool m_globalMembers = false;
    // Once an item lends its members as globals, it does for good (names may resolve to
    // them): a machine never unsets the flag.
    void NoteItemFlags(DWORD flags);
    static std::uint64_t NameBit(std::u16string_view upper) {
        std::uint64_t h = 14695981039346656037ull;
        for (char16_t c : upper)
            h = (h ^ c) * 1099511628211ull;
        return std::uint64_t{1} << (h >> 58);
    }
    GlobalEntry& OwnGlobal(std::u16string upper) {
        m_ownNameBits |= NameBit(upper);
        return m_globals[std::move(upper)];
    }
    // Script dispatch ids after m_base's - 1 -> upper-cased name.
    std::vector<std::u16string> m_dispNames;
    std::deque<CComVariant> m_globalSlots;
    std::vector<NamedItem> m_items;
    unsigned m_generation = 1;
    IActiveScriptSite* m_site = nullptr;  // the engine's site, not owned
    std::function<void()> m_onError;
    CComPtr<CVBScriptErrObject> m_errObject;  // made by ErrObject() when first needed
    CVBScriptErrObject* ErrObject();
    VBBuiltinContext m_builtin;

    std::vector<VARIANT> m_stack;  // operand stack of all frames, reserved once
    CComVariant m_scratch;         // where a push beyond the reserve lands
    bool m_overflow = false;
    std::vector<std::pair<std::size_t, SAFEARRAY*>> m_locks;  // arrays locked for calls
    SlotStack m_slots;
    unsigned m_depth = 0;
    const char* m_nativeBase = nullptr;
    std::atomic<bool> m_interrupt{false};
    std::atomic<bool> m_running{false};
    std::uint64_t m_stepLimit = 0;
    std::uint64_t m_steps = 0;
    bool Interrupted() {
        return m_interrupt.load(std::memory_order_relaxed) ||
               (m_stepLimit != 0 && ++m_steps > m_stepLimit);
    }
    bool m_closed = false;

    VBScriptErrorRecord m_error;
    bool m_errorRecorded = false;
    const CVBScriptProgram* m_errorProgram = nullptr;
    ULONG m_errorLine = 0;
    ULONG m_errorCharacter = 0;

    friend class CVBScriptObject;
};
