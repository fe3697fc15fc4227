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

class CVBScriptCompiler {
public:
    // Compiles a Program tree (or, with `isExpression`, an expression tree whose value
    // the code leaves in slot 0). E_OUTOFMEMORY when memory runs out.
    static HRESULT Compile(const CVBScriptAst& ast, bool isExpression, CVBScriptProgram& program);

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

    // Statements.
    void Statements(std::span<const ULONG> list);
    void Statement(ULONG id);
    void Assign(const VBSNode& node, bool isSet);
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
};
