// The VBScript code generator: from the syntax tree to a `CVBScriptProgram`.
//
// One pass over the tree per procedure. Names are resolved to frame slots, instance
// slots or class procedures where the declaration is visible in the text; constants
// are folded into the constant pool; every other name becomes a global reference that
// the virtual machine resolves by text. Statement starts go into the line table.
#pragma once

#include <unordered_map>
#include <vector>

#include "script/engine/vbscript/VBScriptAst.h"
#include "script/engine/vbscript/VBScriptCompileError.h"
#include "script/engine/vbscript/VBScriptProgram.h"

// The scope of the code that runs Execute or Eval text inside a procedure: the names it
// sees there. Its local variables reach the compiled code as by-reference parameters of
// the global code (slots 1.., in the order of `locals` entries with a slot); members of
// Me keep their instance slots and procedures; constants are copied.
struct VBSOuterName {
    std::u16string upper;
    VBSRefKind kind = VBSRefKind::Local;  // Local (a parameter), MemberVar or MemberProc
    int index = -1;                       // member index for MemberVar and MemberProc
    bool isConstant = false;
    CComVariant constant;
};

class CVBScriptCompiler {
public:
    // Compiles a Program tree (or, with `isExpression`, an expression tree whose value
    // the code leaves in slot 0). With `outer`, the global code of the tree runs in that
    // scope (Execute, Eval): see VBSOuterName. E_OUTOFMEMORY when memory runs out.
    static HRESULT Compile(const CVBScriptAst& ast, bool isExpression, CVBScriptProgram& program,
                           const std::vector<VBSOuterName>* outer = nullptr);

private:
    struct NameRef {
        VBSRefKind kind = VBSRefKind::Global;
        std::int32_t a = 0;
        std::int32_t b = -1;
        int constant = -1;  // folded: push this constant instead
    };
    struct Scope {
        VBSFunction* fn = nullptr;
        int classIndex = -1;
        bool isGlobal = true;
        std::unordered_map<ULONG, int> slots;      // name key -> frame slot
        std::unordered_map<ULONG, int> constants;  // name key -> constant index
        std::unordered_map<ULONG, int> implicit;   // name key -> implicit local slot
    };
    struct Loop {
        bool isFor;
        std::vector<std::size_t> exits;
    };

    CVBScriptCompiler(const CVBScriptAst& ast, CVBScriptProgram& program)
        : m_ast(ast), m_program(program) {}

    void CompileProgram(bool isExpression);
    void Finish();
    void DeclareClass(ULONG id);
    void CompileProcedure(ULONG id, int classIndex, int fnIndex);
    void CollectLocals(ULONG id, Scope& scope);
    void RecordLocals(const Scope& scope);
    void SetOuterScope(const std::vector<VBSOuterName>& outer);

    // Statements.
    void Statements(std::span<const ULONG> list);
    void Statement(ULONG id);
    void Assign(const VBSNode& node, bool isSet);
    bool AppendAssign(const VBSNode& target, ULONG valueId);
    void CallStatement(const VBSNode& node);
    void If(const VBSNode& node);
    void Select(const VBSNode& node);
    void For(const VBSNode& node);
    void ForEach(const VBSNode& node);
    void Do(const VBSNode& node);
    void ReDim(const VBSNode& node);
    void StoreName(ULONG nameId, VBSOpcode op, std::uint16_t argc = 0);

    // Expressions.
    void Expr(ULONG id);
    void ExprLeaf(ULONG id);
    ULONG ChainOperand(const VBSNode& node) const;
    void FinishChain(const VBSNode& node);
    void Arg(ULONG id);
    std::uint16_t Args(const VBSNode& node);
    void WithObject(const VBSNode& node);
    NameRef Resolve(ULONG nameId, bool forCall = false);
    int GlobalIndex(ULONG nameId);
    int AddConstant(CComVariant value);
    int LiteralConstant(ULONG id);

    std::size_t Emit(VBSOpcode op, std::int32_t a = 0, std::int32_t b = 0, std::uint16_t argc = 0,
                     VBSRefKind kind = VBSRefKind::Local);
    void EmitRef(VBSOpcode op, const NameRef& ref, std::uint16_t argc = 0);
    // The object of a member access; true when it is a global name loaded with
    // LoadObject, and the access that follows must be marked (c = 1).
    bool ObjectOperand(ULONG id);
    void MarkObjectAccess(bool marked) {
        if (marked)
            Code().back().c = 1;
    }
    void Patch(std::size_t at) { Code()[at].b = static_cast<std::int32_t>(Code().size()); }
    std::vector<VBSInstr>& Code() { return m_scope->fn->code; }
    int Hidden(int count = 1);

    const CVBScriptAst& m_ast;
    CVBScriptProgram& m_program;
    Scope* m_scope = nullptr;
    Scope m_globalScope;
    std::unordered_map<ULONG, int> m_globalIndex;  // name key -> globalNames index
    std::vector<Loop> m_loops;
    std::vector<int> m_withSlots;
    std::vector<std::size_t> m_exitProc;
    std::unordered_map<ULONG, ULONG> m_keyNames;          // name key -> a name id
    std::unordered_map<std::u16string, NameRef> m_outer;  // upper-cased name -> caller's name
};
