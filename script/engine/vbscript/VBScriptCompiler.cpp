// The VBScript code generator. See VBScriptCompiler.h.
#include "script/engine/vbscript/VBScriptCompiler.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "com/TextForms.h"
#include "com/VarMath.h"

HRESULT CVBScriptCompiler::Compile(const CVBScriptAst& ast, bool isExpression,
                                   CVBScriptProgram& program,
                                   const std::vector<VBSOuterName>* outer) {
    try {
        CVBScriptCompiler compiler(ast, program);
        if (outer)
            compiler.SetOuterScope(*outer);
        compiler.CompileProgram(isExpression);
        compiler.Finish();
        program.globalVarKeys.clear();
        for (const VBSGlobalVar& var : program.globals)
            program.globalVarKeys.push_back(ToUpperSimple(var.name));
        program.globalFunctionKeys.clear();
        for (int fn : program.globalFunctions)
            program.globalFunctionKeys.push_back(ToUpperSimple(program.functions[fn].name));
        return S_OK;
    } catch (...) {
        return ReportException("CVBScriptCompiler::Compile", CV_HERE);
    }
}

void CVBScriptCompiler::CompileProgram(bool isExpression) {
    m_program.isExpression = isExpression;
    // Scopes point into this vector while code is emitted: it must never reallocate.
    std::size_t procedures = 1;
    for (std::size_t id = 0; id < m_ast.NodeCount(); ++id)
        if (m_ast.Node(static_cast<ULONG>(id)).kind == VBSNodeKind::Procedure)
            ++procedures;
    m_program.functions.reserve(procedures);
    m_program.functions.resize(1);
    m_program.functions[0].name = u"<global>";
    m_scope = &m_globalScope;
    m_globalScope.fn = &m_program.functions[0];
    if (!m_outer.empty()) {
        VBSFunction& fn = m_program.functions[0];
        for (auto& [upper, ref] : m_outer) {
            if (ref.kind == VBSRefKind::Local && ref.constant < 0) {
                fn.locals.push_back({upper, ref.a, -1});
                fn.slots = std::max<std::uint32_t>(fn.slots, static_cast<std::uint32_t>(ref.a) + 1);
            } else if (ref.constant >= 0) {
                fn.locals.push_back({upper, -1, ref.constant});
            }
        }
        fn.byRef.assign(fn.slots - 1, true);
    }
    if (isExpression) {
        const VBSNode& root = m_ast.Node(m_ast.Root());
        VBSLineEntry entry{0, root.ulLine, root.ulCharacter};
        m_program.functions[0].lines.push_back(entry);
        Emit(VBSOpcode::Stmt);
        Expr(m_ast.Root());
        Emit(VBSOpcode::SetRef, 0, 0, 0, VBSRefKind::Local);
        Code().back().op = VBSOpcode::Store;
        Code().back().c = 1;  // raw: keep objects as they are
        Emit(VBSOpcode::Return);
        return;
    }
    const VBSNode& root = m_ast.Node(m_ast.Root());
    // Declarations first: procedures and classes are callable from the first line on,
    // and constants fold wherever they are used.
    std::vector<std::pair<ULONG, int>> globalProcedures;
    for (ULONG id : m_ast.Children(root)) {
        const VBSNode& node = m_ast.Node(id);
        if (node.kind == VBSNodeKind::OptionExplicit) {
            m_program.optionExplicit = true;
        } else if (node.kind == VBSNodeKind::Procedure) {
            int fn = static_cast<int>(m_program.functions.size());
            m_program.functions.emplace_back();
            m_program.globalFunctions.push_back(fn);
            globalProcedures.emplace_back(id, fn);
        } else if (node.kind == VBSNodeKind::Class) {
            DeclareClass(id);
        }
    }
    CollectLocals(m_ast.Root(), m_globalScope);
    Statements(m_ast.Children(root));
    Emit(VBSOpcode::Return);
    for (auto [id, fn] : globalProcedures)
        CompileProcedure(id, -1, fn);
}

void CVBScriptCompiler::SetOuterScope(const std::vector<VBSOuterName>& outer) {
    std::int32_t parameter = 1;
    for (const VBSOuterName& name : outer) {
        NameRef ref;
        if (name.isConstant) {
            ref.constant = AddConstant(name.constant);
        } else if (name.kind == VBSRefKind::Local) {
            ref.kind = VBSRefKind::Local;
            ref.a = parameter++;
        } else {
            ref.kind = name.kind;
            ref.a = name.index;
        }
        m_outer.emplace(name.upper, ref);
    }
}

// Keeps the names of a procedure's slots and constants for Execute and Eval.
void CVBScriptCompiler::RecordLocals(const Scope& scope) {
    if (m_keyNames.empty())
        for (std::size_t id = 0; id < m_ast.NameCount(); ++id)
            m_keyNames.emplace(m_ast.NameKey(static_cast<ULONG>(id)), static_cast<ULONG>(id));
    auto upperOf = [&](ULONG key) { return ToUpperSimple(m_ast.Name(m_keyNames.at(key))); };
    std::vector<VBSLocalName>& locals = scope.fn->locals;
    for (const auto& [key, slot] : scope.slots)
        locals.push_back({upperOf(key), slot, -1});
    for (const auto& [key, slot] : scope.implicit)
        if (slot >= 0)
            locals.push_back({upperOf(key), slot, -1});
    for (const auto& [key, constant] : scope.constants)
        locals.push_back({upperOf(key), -1, constant});
}

void CVBScriptCompiler::Finish() {
    for (const std::u16string& name : m_program.globalNames)
        m_program.globalKeys.push_back(ToUpperSimple(name));
    for (VBSClass& cls : m_program.classes) {
        for (std::size_t i = 0; i < cls.vars.size(); ++i)
            cls.members.emplace(ToUpperSimple(cls.vars[i].name), static_cast<int>(i));
        for (std::size_t p = 0; p < cls.procs.size(); ++p)
            cls.members.emplace(ToUpperSimple(cls.procs[p].name),
                                static_cast<int>(cls.vars.size() + p));
    }
}

void CVBScriptCompiler::DeclareClass(ULONG id) {
    const VBSNode& node = m_ast.Node(id);
    int classIndex = static_cast<int>(m_program.classes.size());
    m_program.classes.emplace_back();
    m_program.classes.back().name = m_ast.Name(node.ulName);
    GlobalIndex(node.ulName);
    std::vector<std::pair<ULONG, int>> procedures;
    std::unordered_map<ULONG, int> procIndex;
    for (ULONG memberId : m_ast.Children(node)) {
        const VBSNode& member = m_ast.Node(memberId);
        VBSClass& cls = m_program.classes[classIndex];
        if (member.kind == VBSNodeKind::Dim) {
            bool isPublic = member.bOp != static_cast<std::uint8_t>(VBSDecl::Private);
            for (ULONG declId : m_ast.Children(member)) {
                const VBSNode& decl = m_ast.Node(declId);
                VBSClassVar var;
                var.name = m_ast.Name(decl.ulName);
                var.isPublic = isPublic;
                var.isArray = (decl.wFlags & VBSF_ARRAY) != 0 || decl.ulCount != 0;
                for (ULONG bound : m_ast.Children(decl))
                    var.bounds.push_back(m_ast.Literal(m_ast.Node(bound).a).lValue);
                cls.vars.push_back(std::move(var));
            }
        } else if (member.kind == VBSNodeKind::Procedure) {
            int fn = static_cast<int>(m_program.functions.size());
            m_program.functions.emplace_back();
            procedures.emplace_back(memberId, fn);
            ULONG key = m_ast.NameKey(member.ulName);
            auto it = procIndex.find(key);
            int p;
            if (it == procIndex.end()) {
                p = static_cast<int>(cls.procs.size());
                procIndex.emplace(key, p);
                cls.procs.emplace_back();
                cls.procs.back().name = m_ast.Name(member.ulName);
            } else {
                p = it->second;
            }
            VBSClassProc& proc = cls.procs[p];
            proc.isPublic = (member.wFlags & VBSF_PRIVATE) == 0;
            switch (static_cast<VBSProc>(member.bOp)) {
                case VBSProc::Sub:
                    proc.isSub = true;
                    [[fallthrough]];
                case VBSProc::Function:
                case VBSProc::PropertyGet:
                    proc.get = fn;
                    break;
                case VBSProc::PropertyLet:
                    proc.let = fn;
                    break;
                case VBSProc::PropertySet:
                    proc.set = fn;
                    break;
            }
            if (member.wFlags & VBSF_DEFAULT)
                cls.defaultProc = p;
            std::u16string upper = ToUpperSimple(m_ast.Name(member.ulName));
            if (upper == u"CLASS_INITIALIZE")
                cls.initialize = fn;
            else if (upper == u"CLASS_TERMINATE")
                cls.terminate = fn;
        }
    }
    for (auto [procId, fn] : procedures)
        CompileProcedure(procId, classIndex, fn);
}

void CVBScriptCompiler::CompileProcedure(ULONG id, int classIndex, int fnIndex) {
    const VBSNode& node = m_ast.Node(id);
    Scope scope;
    scope.isGlobal = false;
    scope.classIndex = classIndex;
    VBSFunction& fn = m_program.functions[fnIndex];
    scope.fn = &fn;
    fn.name = m_ast.Name(node.ulName);
    fn.classIndex = classIndex;
    fn.isPublic = (node.wFlags & VBSF_PRIVATE) == 0;
    switch (static_cast<VBSProc>(node.bOp)) {
        case VBSProc::Sub:
            fn.kind = VBSProcKind::Sub;
            break;
        case VBSProc::Function:
            fn.kind = VBSProcKind::Function;
            break;
        case VBSProc::PropertyGet:
            fn.kind = VBSProcKind::PropertyGet;
            break;
        case VBSProc::PropertyLet:
            fn.kind = VBSProcKind::PropertyLet;
            break;
        case VBSProc::PropertySet:
            fn.kind = VBSProcKind::PropertySet;
            break;
    }
    if (fn.kind == VBSProcKind::Function || fn.kind == VBSProcKind::PropertyGet)
        scope.slots.emplace(m_ast.NameKey(node.ulName), 0);
    if (node.a != VBS_NONE) {
        for (ULONG paramId : m_ast.Children(m_ast.Node(node.a))) {
            const VBSNode& param = m_ast.Node(paramId);
            fn.byRef.push_back((param.wFlags & VBSF_BYVAL) == 0);
            scope.slots[m_ast.NameKey(param.ulName)] = static_cast<int>(fn.slots++);
        }
    }
    CollectLocals(id, scope);
    RecordLocals(scope);
    Scope* saved = m_scope;
    m_scope = &scope;
    std::vector<std::size_t> exits;
    std::swap(exits, m_exitProc);
    VBSLineEntry entry{0, node.ulLine, node.ulCharacter};
    fn.lines.push_back(entry);
    Statements(m_ast.Children(node));
    for (std::size_t at : m_exitProc)
        Patch(at);
    Emit(VBSOpcode::Return);
    std::swap(exits, m_exitProc);
    m_scope = saved;
}

// Declares the Dim and Const names of a body (at any depth of blocks) and reserves
// implicit slots for names that the body assigns without declaring.
void CVBScriptCompiler::CollectLocals(ULONG id, Scope& scope) {
    const VBSNode& node = m_ast.Node(id);
    auto declareSlot = [&](ULONG name) {
        ULONG key = m_ast.NameKey(name);
        if (scope.isGlobal) {
            GlobalIndex(name);
        } else if (!scope.slots.count(key)) {
            scope.slots.emplace(key, static_cast<int>(scope.fn->slots++));
        }
    };
    switch (node.kind) {
        case VBSNodeKind::Dim:
            for (ULONG declId : m_ast.Children(node)) {
                const VBSNode& decl = m_ast.Node(declId);
                declareSlot(decl.ulName);
                if (scope.isGlobal) {
                    VBSGlobalVar var;
                    var.name = m_ast.Name(decl.ulName);
                    var.isArray = (decl.wFlags & VBSF_ARRAY) != 0 || decl.ulCount != 0;
                    for (ULONG bound : m_ast.Children(decl))
                        var.bounds.push_back(m_ast.Literal(m_ast.Node(bound).a).lValue);
                    m_program.globals.push_back(std::move(var));
                }
            }
            return;
        case VBSNodeKind::Const:
            for (ULONG declId : m_ast.Children(node)) {
                const VBSNode& decl = m_ast.Node(declId);
                int constant = LiteralConstant(decl.a);
                scope.constants[m_ast.NameKey(decl.ulName)] = constant;
                if (scope.isGlobal) {
                    GlobalIndex(decl.ulName);
                    VBSGlobalVar var;
                    var.name = m_ast.Name(decl.ulName);
                    var.constant = constant;
                    m_program.globals.push_back(std::move(var));
                }
            }
            return;
        case VBSNodeKind::Procedure:
            if (&scope == &m_globalScope) {
                GlobalIndex(node.ulName);
                return;
            }
            break;
        case VBSNodeKind::Class:
            return;
        case VBSNodeKind::Assign:
        case VBSNodeKind::Set: {
            const VBSNode& target = m_ast.Node(node.a);
            if (target.kind == VBSNodeKind::Name && !scope.isGlobal)
                scope.implicit.emplace(m_ast.NameKey(target.ulName), -1);
            return;
        }
        case VBSNodeKind::For:
        case VBSNodeKind::ForEach:
            if (!scope.isGlobal)
                scope.implicit.emplace(m_ast.NameKey(node.ulName), -1);
            break;
        case VBSNodeKind::ReDim:
            for (ULONG item : m_ast.Children(node))
                if (!scope.isGlobal)
                    scope.implicit.emplace(m_ast.NameKey(m_ast.Node(item).ulName), -1);
            return;
        default:
            break;
    }
    if (node.kind == VBSNodeKind::Program || node.kind == VBSNodeKind::Procedure ||
        node.kind == VBSNodeKind::Block || node.kind == VBSNodeKind::For ||
        node.kind == VBSNodeKind::ForEach || node.kind == VBSNodeKind::Do ||
        node.kind == VBSNodeKind::While || node.kind == VBSNodeKind::With ||
        node.kind == VBSNodeKind::Select || node.kind == VBSNodeKind::Case) {
        for (ULONG child : m_ast.Children(node))
            CollectLocals(child, scope);
    }
    if (node.kind == VBSNodeKind::If) {
        CollectLocals(node.b, scope);
        if (node.c != VBS_NONE)
            CollectLocals(node.c, scope);
    }
    if (node.kind == VBSNodeKind::Case && node.a != VBS_NONE)
        CollectLocals(node.a, scope);
    if (&scope != &m_globalScope && node.kind == VBSNodeKind::Procedure) {
        // Implicit names that turned out to be declared need no slot of their own.
        for (auto& [key, slot] : scope.implicit)
            if (!scope.slots.count(key) && !scope.constants.count(key))
                slot = static_cast<int>(scope.fn->slots++);
    }
}

// ---- statements ----

void CVBScriptCompiler::Statements(std::span<const ULONG> list) {
    for (ULONG id : list)
        Statement(id);
}

void CVBScriptCompiler::Statement(ULONG id) {
    const VBSNode& node = m_ast.Node(id);
    switch (node.kind) {
        case VBSNodeKind::Procedure:
        case VBSNodeKind::Class:
        case VBSNodeKind::Const:
        case VBSNodeKind::OptionExplicit:
        case VBSNodeKind::Stop:
            return;
        case VBSNodeKind::Block:
            Statements(m_ast.Children(node));
            return;
        default:
            break;
    }
    VBSLineEntry entry{static_cast<std::uint32_t>(Code().size()), node.ulLine, node.ulCharacter};
    m_scope->fn->lines.push_back(entry);
    Emit(VBSOpcode::Stmt);
    switch (node.kind) {
        case VBSNodeKind::Assign:
            Assign(node, false);
            break;
        case VBSNodeKind::Set:
            Assign(node, true);
            break;
        case VBSNodeKind::Call:
            CallStatement(node);
            break;
        case VBSNodeKind::Dim:
            if (m_scope->isGlobal)
                break;
            for (ULONG declId : m_ast.Children(node)) {
                const VBSNode& decl = m_ast.Node(declId);
                if (decl.ulCount == 0) {
                    // Dim x(): a dynamic array without elements until a ReDim.
                    if (decl.wFlags & VBSF_ARRAY) {
                        StoreName(decl.ulName, VBSOpcode::ReDim, 0);
                        Code().back().c = 1;
                    }
                    continue;
                }
                for (ULONG bound : m_ast.Children(decl))
                    Expr(bound);
                StoreName(decl.ulName, VBSOpcode::ReDim, static_cast<std::uint16_t>(decl.ulCount));
                Code().back().c = 1;  // a fixed-size array
            }
            break;
        case VBSNodeKind::ReDim:
            ReDim(node);
            break;
        case VBSNodeKind::Erase:
            StoreName(node.ulName, VBSOpcode::Erase);
            break;
        case VBSNodeKind::If:
            If(node);
            break;
        case VBSNodeKind::Select:
            Select(node);
            break;
        case VBSNodeKind::For:
            For(node);
            break;
        case VBSNodeKind::ForEach:
            ForEach(node);
            break;
        case VBSNodeKind::Do:
        case VBSNodeKind::While:
            Do(node);
            break;
        case VBSNodeKind::With: {
            int slot = Hidden();
            Expr(node.a);
            Emit(VBSOpcode::SetRef, slot, 0, 0, VBSRefKind::Local);
            m_withSlots.push_back(slot);
            Statements(m_ast.Children(node));
            m_withSlots.pop_back();
            break;
        }
        case VBSNodeKind::Exit:
            switch (static_cast<VBSExit>(node.bOp)) {
                case VBSExit::Do:
                case VBSExit::For:
                    for (auto it = m_loops.rbegin(); it != m_loops.rend(); ++it) {
                        if (it->isFor == (static_cast<VBSExit>(node.bOp) == VBSExit::For)) {
                            it->exits.push_back(Emit(VBSOpcode::Jmp));
                            break;
                        }
                    }
                    break;
                default:
                    m_exitProc.push_back(Emit(VBSOpcode::Jmp));
                    break;
            }
            break;
        case VBSNodeKind::OnErrorResumeNext:
            Emit(VBSOpcode::OnErrorResume);
            break;
        case VBSNodeKind::OnErrorGoto0:
            Emit(VBSOpcode::OnErrorGoto0);
            break;
        case VBSNodeKind::Randomize: {
            std::uint16_t argc = 0;
            if (node.a != VBS_NONE) {
                Expr(node.a);
                argc = 1;
            }
            NameRef ref;
            ref.a = static_cast<std::int32_t>(m_program.globalNames.size());
            m_program.globalNames.push_back(u"Randomize");
            EmitRef(VBSOpcode::Call, ref, argc | VBS_DISCARD);
            break;
        }
        default:
            break;
    }
}

void CVBScriptCompiler::StoreName(ULONG nameId, VBSOpcode op, std::uint16_t argc) {
    EmitRef(op, Resolve(nameId), argc);
}

void CVBScriptCompiler::Assign(const VBSNode& node, bool isSet) {
    const VBSNode& target = m_ast.Node(node.a);
    switch (target.kind) {
        case VBSNodeKind::Name:
            if (!isSet && AppendAssign(target, node.b))
                return;
            Expr(node.b);
            StoreName(target.ulName, isSet ? VBSOpcode::SetRef : VBSOpcode::Store);
            return;
        case VBSNodeKind::Member:
        case VBSNodeKind::WithMember: {
            bool marked = false;
            if (target.kind == VBSNodeKind::Member)
                marked = ObjectOperand(target.a);
            else
                WithObject(target);
            Expr(node.b);
            Emit(isSet ? VBSOpcode::MSet : VBSOpcode::MStore, GlobalIndex(target.ulName));
            MarkObjectAccess(marked);
            return;
        }
        case VBSNodeKind::Index: {
            const VBSNode& callee = m_ast.Node(target.a);
            if (callee.kind == VBSNodeKind::Name) {
                std::uint16_t argc = Args(target);
                Expr(node.b);
                StoreName(callee.ulName, isSet ? VBSOpcode::SetIdx : VBSOpcode::StoreIdx, argc);
            } else if (callee.kind == VBSNodeKind::Member ||
                       callee.kind == VBSNodeKind::WithMember) {
                bool marked = false;
                if (callee.kind == VBSNodeKind::Member)
                    marked = ObjectOperand(callee.a);
                else
                    WithObject(callee);
                std::uint16_t argc = Args(target);
                Expr(node.b);
                Emit(isSet ? VBSOpcode::MSet : VBSOpcode::MStore, GlobalIndex(callee.ulName), 0,
                     argc);
                MarkObjectAccess(marked);
            } else {
                Expr(target.a);
                std::uint16_t argc = Args(target);
                Expr(node.b);
                Emit(isSet ? VBSOpcode::ISet : VBSOpcode::IStore, 0, 0, argc);
            }
            return;
        }
        default:
            Expr(node.a);
            Expr(node.b);
            Emit(isSet ? VBSOpcode::ISet : VBSOpcode::IStore);
            return;
    }
}

// s = s & a & b …: compiled as s = s & (a & b …) with a store that can append to the
// variable's text in place. The operands are evaluated in the same order, and the
// concatenation gives the same text either way (Null operands add nothing).
bool CVBScriptCompiler::AppendAssign(const VBSNode& target, ULONG valueId) {
    std::vector<ULONG> tail;
    ULONG id = valueId;
    for (;;) {
        const VBSNode& node = m_ast.Node(id);
        if (node.kind != VBSNodeKind::Binary || static_cast<VBSOp>(node.bOp) != VBSOp::Concat)
            break;
        tail.push_back(node.b);
        id = node.a;
    }
    const VBSNode& head = m_ast.Node(id);
    if (tail.empty() || head.kind != VBSNodeKind::Name ||
        m_ast.NameKey(head.ulName) != m_ast.NameKey(target.ulName))
        return false;
    Expr(id);
    for (auto it = tail.rbegin(); it != tail.rend(); ++it) {
        Expr(*it);
        if (it != tail.rbegin())
            Emit(VBSOpcode::Concat);
    }
    StoreName(target.ulName, VBSOpcode::AppendStore);
    return true;
}

void CVBScriptCompiler::CallStatement(const VBSNode& node) {
    const VBSNode& callee = m_ast.Node(node.a);
    std::uint16_t argc;
    switch (callee.kind) {
        case VBSNodeKind::Name:
            argc = Args(node);
            EmitRef(VBSOpcode::Call, Resolve(callee.ulName, argc != 0), argc | VBS_DISCARD);
            return;
        case VBSNodeKind::Member:
        case VBSNodeKind::WithMember: {
            bool marked = false;
            if (callee.kind == VBSNodeKind::Member)
                marked = ObjectOperand(callee.a);
            else
                WithObject(callee);
            argc = Args(node);
            Emit(VBSOpcode::MCall, GlobalIndex(callee.ulName), 0, argc | VBS_DISCARD);
            MarkObjectAccess(marked);
            return;
        }
        default:
            Expr(node.a);
            argc = Args(node);
            Emit(VBSOpcode::ICall, 0, 0, argc | VBS_DISCARD);
            return;
    }
}

void CVBScriptCompiler::If(const VBSNode& node) {
    Expr(node.a);
    std::size_t toElse = Emit(VBSOpcode::JmpFalse);
    Statement(node.b);
    if (node.c == VBS_NONE) {
        Patch(toElse);
        return;
    }
    std::size_t toEnd = Emit(VBSOpcode::Jmp);
    Patch(toElse);
    Statement(node.c);
    Patch(toEnd);
}

void CVBScriptCompiler::Select(const VBSNode& node) {
    int slot = Hidden();
    Expr(node.a);
    Emit(VBSOpcode::Store, slot, 0, 0, VBSRefKind::Local);
    Code().back().c = 1;
    // A long list of literal Cases is looked up by the selector's text when it is a string
    // (a host name against a table of hosts) instead of compared Case by Case.
    constexpr std::size_t kTableFrom = 8;
    std::size_t literals = 0;
    bool allLiterals = true;
    for (ULONG caseId : m_ast.Children(node)) {
        const VBSNode& c = m_ast.Node(caseId);
        if (c.wFlags & VBSF_CASE_ELSE)
            continue;
        for (ULONG test : m_ast.Children(c)) {
            allLiterals = allLiterals && m_ast.Node(test).kind == VBSNodeKind::Literal;
            ++literals;
        }
    }
    constexpr std::size_t kNoTable = SIZE_MAX;
    std::size_t table = kNoTable;
    if (allLiterals && literals >= kTableFrom)
        table = Emit(VBSOpcode::CaseTable, slot, -1);
    VBSCaseTable lookup;
    std::vector<std::pair<ULONG, std::vector<std::size_t>>> cases;
    ULONG elseBody = VBS_NONE;
    for (ULONG caseId : m_ast.Children(node)) {
        const VBSNode& c = m_ast.Node(caseId);
        if (c.wFlags & VBSF_CASE_ELSE) {
            elseBody = c.a;
            continue;
        }
        cases.emplace_back(c.a, std::vector<std::size_t>());
        for (ULONG test : m_ast.Children(c)) {
            const std::size_t start = Code().size();
            Expr(test);
            const std::size_t at = Emit(VBSOpcode::CaseTest, slot);
            cases.back().second.push_back(at);
            // Only a string constant goes into the table; the first Case that lists a
            // text is the one that matches it.
            const VBSInstr& push = Code()[start];
            if (table == kNoTable || at != start + 1 || push.op != VBSOpcode::PushConst ||
                m_program.constants[static_cast<std::size_t>(push.a)].vt != VT_BSTR) {
                table = kNoTable;
                continue;
            }
            lookup.tests.emplace(m_program.constants[static_cast<std::size_t>(push.a)].Text(),
                                 static_cast<std::int32_t>(at));
        }
    }
    if (table != kNoTable) {
        Code()[table].b = static_cast<std::int32_t>(m_program.caseTables.size());
        Code()[table].c = static_cast<std::int32_t>(Code().size());
        m_program.caseTables.push_back(std::move(lookup));
    }
    std::vector<std::size_t> ends;
    if (elseBody != VBS_NONE)
        Statement(elseBody);
    ends.push_back(Emit(VBSOpcode::Jmp));
    for (auto& [body, tests] : cases) {
        for (std::size_t at : tests)
            Patch(at);
        if (body != VBS_NONE)
            Statement(body);
        ends.push_back(Emit(VBSOpcode::Jmp));
    }
    for (std::size_t at : ends)
        Patch(at);
}

void CVBScriptCompiler::For(const VBSNode& node) {
    int slots = Hidden(2);
    Expr(node.a);
    Expr(node.b);
    if (node.c != VBS_NONE) {
        Expr(node.c);
    } else {
        Emit(VBSOpcode::PushConst, AddConstant(CComVariant(static_cast<SHORT>(1))));
    }
    Emit(VBSOpcode::ForInit, slots);
    NameRef control = Resolve(node.ulName);
    EmitRef(VBSOpcode::Store, control);
    std::size_t test = Code().size();
    EmitRef(VBSOpcode::Load, control);
    std::size_t check = Emit(VBSOpcode::ForCheck, slots);
    m_loops.push_back({true, {}});
    Statements(m_ast.Children(node));
    EmitRef(VBSOpcode::Load, control);
    Emit(VBSOpcode::ForStep, slots);
    EmitRef(VBSOpcode::Store, control);
    Emit(VBSOpcode::Jmp, 0, static_cast<std::int32_t>(test));
    Patch(check);
    for (std::size_t at : m_loops.back().exits)
        Patch(at);
    m_loops.pop_back();
}

void CVBScriptCompiler::ForEach(const VBSNode& node) {
    int slots = Hidden(2);
    Expr(node.a);
    Emit(VBSOpcode::ForEachInit, slots);
    std::size_t next = Emit(VBSOpcode::ForEachNext, slots);
    NameRef control = Resolve(node.ulName);
    EmitRef(VBSOpcode::SetRef, control);
    Code().back().c = 1;  // any value, objects kept as they are
    m_loops.push_back({true, {}});
    Statements(m_ast.Children(node));
    Emit(VBSOpcode::Jmp, 0, static_cast<std::int32_t>(next));
    Patch(next);
    for (std::size_t at : m_loops.back().exits)
        Patch(at);
    m_loops.pop_back();
}

void CVBScriptCompiler::Do(const VBSNode& node) {
    VBSLoop kind =
        node.kind == VBSNodeKind::While ? VBSLoop::WhileTop : static_cast<VBSLoop>(node.bOp);
    m_loops.push_back({false, {}});
    std::size_t top = Code().size();
    std::size_t exitTest = 0;
    bool topTest = kind == VBSLoop::WhileTop || kind == VBSLoop::UntilTop;
    if (topTest) {
        Expr(node.a);
        exitTest = Emit(kind == VBSLoop::WhileTop ? VBSOpcode::JmpFalse : VBSOpcode::JmpTrue);
    }
    Statements(m_ast.Children(node));
    if (kind == VBSLoop::WhileBottom || kind == VBSLoop::UntilBottom) {
        Expr(node.a);
        Emit(kind == VBSLoop::WhileBottom ? VBSOpcode::JmpTrue : VBSOpcode::JmpFalse, 0,
             static_cast<std::int32_t>(top));
    } else {
        Emit(VBSOpcode::Jmp, 0, static_cast<std::int32_t>(top));
    }
    if (topTest)
        Patch(exitTest);
    for (std::size_t at : m_loops.back().exits)
        Patch(at);
    m_loops.pop_back();
}

void CVBScriptCompiler::ReDim(const VBSNode& node) {
    for (ULONG itemId : m_ast.Children(node)) {
        const VBSNode& item = m_ast.Node(itemId);
        for (ULONG bound : m_ast.Children(item))
            Expr(bound);
        std::uint16_t argc = static_cast<std::uint16_t>(item.ulCount);
        if (node.wFlags & VBSF_PRESERVE)
            argc |= VBS_PRESERVE;
        StoreName(item.ulName, VBSOpcode::ReDim, argc);
    }
}
