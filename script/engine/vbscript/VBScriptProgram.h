// The compiled form of a VBScript text: bytecode, constants, procedures and classes.
//
// The compiler turns one parsed script into a `CVBScriptProgram`; it is immutable from
// then on and shared (through shared_ptr) by every engine cloned from the one that
// parsed it, so a clone costs no parse and no compile. Each procedure has its code as
// fixed-width instructions and a line table beside it: the position of every statement
// start, so a run-time error is placed by a binary search on its instruction index.
//
// Names are resolved at compile time where the language allows: arguments and local
// variables to frame slots, members of a class to instance slots or procedures, and
// constants folded into the constant pool. Every other name is a global of the script
// and is resolved by text at run time (the global may come from another script block,
// a named item or the built-in library) and cached per engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "com/CComVariant.h"

enum class VBSOpcode : std::uint8_t {
    Stmt,       // statement start: interrupt check
    PushConst,  // a = constant index
    PushEmpty,
    PushNull,
    PushNothing,
    PushMe,
    PushMissing,
    Pop,
    Load,         // name reference (kind, a, b)
    Call,         // name reference with argc arguments; argc |= VBS_DISCARD for statements
    Store,        // name reference = value
    AppendStore,  // name reference = left & right (stack: left, right), in place if it can
    SetRef,       // Set name = value
    StoreIdx,     // name(args) = value
    SetIdx,       // Set name(args) = value
    Ref,          // the variable as a by-reference argument
    RefIdx,       // an array element as a by-reference argument
    LoadObject,   // Load of the object of a member access (then c = 1 on the access)
    MGet,         // object.member (a = name)
    MCall,        // object.member(args)
    MStore,       // object.member(args) = value
    MSet,         // Set object.member(args) = value
    ICall,        // value(args): default member or array index
    IStore,
    ISet,
    Neg,
    Not,
    Plus,
    Add,
    Sub,
    Mul,
    Div,
    IntDiv,
    Mod,
    Pow,
    Concat,
    Eq,
    Ne,
    Lt,
    Gt,
    Le,
    Ge,
    Is,
    And,
    Or,
    Xor,
    Eqv,
    Imp,
    Jmp,       // a = target
    JmpFalse,  // pops the condition
    JmpTrue,
    CaseTest,     // pops a case value, compares with slot a; jumps to b on a match
    CaseTable,    // slot a holds a string: jumps to the Case that lists it in case table b
                  // (c when none does); otherwise on to the CaseTests
    ForInit,      // stack: start, end, step; keeps end and step in slots a, a+1; leaves start
    ForCheck,     // pops the control value; jumps to b when past the end (slots a, a+1)
    ForStep,      // replaces the control value on the stack by value + step (slot a+1)
    ForEachInit,  // pops the collection into the enumeration state in slots a, a+1
    ForEachNext,  // pushes the next element, or jumps to b when there is none
    ReDim,        // name reference, argc dimensions; VBS_PRESERVE flag in argc; c = 1 for a
                  // Dim (a fixed array, or with no dimensions an empty dynamic one)
    Erase,        // name reference
    OnErrorResume,
    OnErrorGoto0,
    New,  // a = class name (global name index)
    Return,
};

// Where a name reference points.
enum class VBSRefKind : std::uint8_t {
    Local,       // a = frame slot
    MemberVar,   // a = instance slot of Me
    MemberProc,  // a = procedure entry of Me's class
    Global,      // a = global name index; b = implicit local slot or -1
};

inline constexpr std::uint16_t VBS_DISCARD = 0x8000;
inline constexpr std::uint16_t VBS_PRESERVE = 0x8000;
inline constexpr std::uint16_t VBS_ARGC = 0x7FFF;

struct VBSInstr {
    VBSOpcode op;
    VBSRefKind kind = VBSRefKind::Local;
    std::uint16_t argc = 0;
    std::int32_t a = 0;
    std::int32_t b = 0;
    std::int32_t c = 0;
};

struct VBSLineEntry {
    std::uint32_t pc;
    std::uint32_t line;
    std::uint32_t character;
};

enum class VBSProcKind : std::uint8_t {
    Global,
    Sub,
    Function,
    PropertyGet,
    PropertyLet,
    PropertySet
};

// A name a procedure declares, as code that Execute or Eval compiles at run time in the
// procedure's scope sees it: a frame slot, or a folded constant.
struct VBSLocalName {
    std::u16string upper;
    int slot = -1;
    int constant = -1;  // constant index in the procedure's program
};

struct VBSFunction {
    std::u16string name;
    VBSProcKind kind = VBSProcKind::Global;
    std::vector<bool> byRef;  // one per parameter
    std::uint32_t slots = 1;  // return value, parameters, locals, hidden slots
    std::vector<VBSInstr> code;
    std::vector<VBSLineEntry> lines;
    int classIndex = -1;
    bool isPublic = true;
    std::vector<VBSLocalName> locals;  // parameters, variables and constants by name
};

// A member procedure of a class: the procedures that share one name.
struct VBSClassProc {
    std::u16string name;
    int get = -1;  // function index of the Function, Sub or Property Get
    int let = -1;
    int set = -1;
    bool isPublic = true;
    bool isSub = false;
};

struct VBSClassVar {
    std::u16string name;
    bool isPublic = true;
    std::vector<LONG> bounds;  // Dim x(3) in a class: a fixed array
    bool isArray = false;
};

struct VBSClass {
    std::u16string name;
    std::vector<VBSClassVar> vars;
    std::vector<VBSClassProc> procs;
    int defaultProc = -1;
    int initialize = -1;  // function index
    // Upper-cased name -> member: a variable i as i, a procedure p as vars.size() + p.
    std::unordered_map<std::u16string, int> members;
    int terminate = -1;
};

struct VBSGlobalVar {
    std::u16string name;
    std::vector<LONG> bounds;
    bool isArray = false;
    int constant = -1;  // constant index for Const
};

// The Cases of a Select Case whose tests are all string literals, by their text: the index
// of the first CaseTest that compares with it.
struct VBSCaseTable {
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view text) const {
            return std::hash<std::u16string_view>()(text);
        }
    };
    std::unordered_map<std::u16string, std::int32_t, Hash, std::equal_to<>> tests;
};

// A number that no other program object of the process has had: every construction and
// every assignment takes a new one, so a program at the address of a freed one is told
// apart from it.
class VBSProgramSerial {
public:
    VBSProgramSerial() : m_value(Next()) {}
    VBSProgramSerial(const VBSProgramSerial&) : m_value(Next()) {}
    VBSProgramSerial& operator=(const VBSProgramSerial&) {
        m_value = Next();
        return *this;
    }
    std::uint64_t Value() const { return m_value; }

private:
    static std::uint64_t Next() {
        static std::atomic<std::uint64_t> s_next{1};
        return s_next.fetch_add(1, std::memory_order_relaxed);
    }
    std::uint64_t m_value;
};

class CVBScriptProgram {
public:
    VBSProgramSerial serial;
    std::vector<CComVariant> constants;
    std::vector<VBSCaseTable> caseTables;
    std::vector<std::u16string> globalNames;  // indexed by Global references (as written)
    std::vector<std::u16string> globalKeys;   // the same names upper-cased
    std::vector<VBSFunction> functions;       // [0] is the global code
    std::vector<VBSClass> classes;
    std::vector<VBSGlobalVar> globals;  // script-level Dim and Const
    std::vector<int> globalFunctions;   // script-level Sub and Function
    // The names of `globals` and of `globalFunctions` upper-cased, made once by the
    // compiler: every new instance of a script enters them into its machine by these.
    // Empty for a program made without the compiler.
    std::vector<std::u16string> globalVarKeys;
    std::vector<std::u16string> globalFunctionKeys;
    bool optionExplicit = false;
    bool isTransient = false;  // Execute/Eval text that declares nothing that outlives it
    std::u16string text;       // the source, for error lines
    std::uint32_t startLine = 0;
    std::uint32_t cookie = 0;
    bool isExpression = false;  // the code leaves the value in slot 0
};

using VBSProgramPtr = std::shared_ptr<const CVBScriptProgram>;
