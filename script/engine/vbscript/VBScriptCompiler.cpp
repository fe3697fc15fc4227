// The VBScript code generator. See VBScriptCompiler.h.
#include "script/engine/vbscript/VBScriptCompiler.h"

#include <new>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "com/TextForms.h"
#include "com/VarMath.h"

HRESULT CVBScriptCompiler::Compile(const CVBScriptAst& ast, bool isExpression,
                                   CVBScriptProgram& program) {
    try {
        CVBScriptCompiler compiler(ast, program);
        compiler.CompileProgram(isExpression);
        compiler.Finish();
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
                if (decl.ulCount == 0)
                    continue;
                for (ULONG bound : m_ast.Children(decl))
                    Expr(bound);
                StoreName(decl.ulName, VBSOpcode::ReDim, static_cast<std::uint16_t>(decl.ulCount));
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
            Expr(node.b);
            StoreName(target.ulName, isSet ? VBSOpcode::SetRef : VBSOpcode::Store);
            return;
        case VBSNodeKind::Member:
        case VBSNodeKind::WithMember:
            if (target.kind == VBSNodeKind::Member)
                Expr(target.a);
            else
                WithObject(target);
            Expr(node.b);
            Emit(isSet ? VBSOpcode::MSet : VBSOpcode::MStore, GlobalIndex(target.ulName));
            return;
        case VBSNodeKind::Index: {
            const VBSNode& callee = m_ast.Node(target.a);
            if (callee.kind == VBSNodeKind::Name) {
                std::uint16_t argc = Args(target);
                Expr(node.b);
                StoreName(callee.ulName, isSet ? VBSOpcode::SetIdx : VBSOpcode::StoreIdx, argc);
            } else if (callee.kind == VBSNodeKind::Member ||
                       callee.kind == VBSNodeKind::WithMember) {
                if (callee.kind == VBSNodeKind::Member)
                    Expr(callee.a);
                else
                    WithObject(callee);
                std::uint16_t argc = Args(target);
                Expr(node.b);
                Emit(isSet ? VBSOpcode::MSet : VBSOpcode::MStore, GlobalIndex(callee.ulName), 0,
                     argc);
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

void CVBScriptCompiler::CallStatement(const VBSNode& node) {
    const VBSNode& callee = m_ast.Node(node.a);
    std::uint16_t argc;
    switch (callee.kind) {
        case VBSNodeKind::Name:
            argc = Args(node);
            EmitRef(VBSOpcode::Call, Resolve(callee.ulName, argc != 0), argc | VBS_DISCARD);
            return;
        case VBSNodeKind::Member:
        case VBSNodeKind::WithMember:
            if (callee.kind == VBSNodeKind::Member)
                Expr(callee.a);
            else
                WithObject(callee);
            argc = Args(node);
            Emit(VBSOpcode::MCall, GlobalIndex(callee.ulName), 0, argc | VBS_DISCARD);
            return;
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
            Expr(test);
            cases.back().second.push_back(Emit(VBSOpcode::CaseTest, slot));
        }
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

// ---- expressions ----

void CVBScriptCompiler::Expr(ULONG id) {
    const VBSNode& node = m_ast.Node(id);
    switch (node.kind) {
        case VBSNodeKind::Literal:
            Emit(VBSOpcode::PushConst, LiteralConstant(id));
            return;
        case VBSNodeKind::Empty:
            Emit(VBSOpcode::PushEmpty);
            return;
        case VBSNodeKind::Null:
            Emit(VBSOpcode::PushNull);
            return;
        case VBSNodeKind::Nothing:
            Emit(VBSOpcode::PushNothing);
            return;
        case VBSNodeKind::Me:
            Emit(VBSOpcode::PushMe);
            return;
        case VBSNodeKind::Missing:
            Emit(VBSOpcode::PushMissing);
            return;
        case VBSNodeKind::Name:
            EmitRef(VBSOpcode::Load, Resolve(node.ulName));
            return;
        case VBSNodeKind::Member:
            Expr(node.a);
            Emit(VBSOpcode::MGet, GlobalIndex(node.ulName));
            return;
        case VBSNodeKind::WithMember:
            WithObject(node);
            Emit(VBSOpcode::MGet, GlobalIndex(node.ulName));
            return;
        case VBSNodeKind::Index: {
            const VBSNode& callee = m_ast.Node(node.a);
            if (callee.kind == VBSNodeKind::Name) {
                std::uint16_t argc = Args(node);
                EmitRef(VBSOpcode::Call, Resolve(callee.ulName, argc != 0), argc);
            } else if (callee.kind == VBSNodeKind::Member ||
                       callee.kind == VBSNodeKind::WithMember) {
                if (callee.kind == VBSNodeKind::Member)
                    Expr(callee.a);
                else
                    WithObject(callee);
                std::uint16_t argc = Args(node);
                Emit(VBSOpcode::MCall, GlobalIndex(callee.ulName), 0, argc);
            } else {
                Expr(node.a);
                std::uint16_t argc = Args(node);
                Emit(VBSOpcode::ICall, 0, 0, argc);
            }
            return;
        }
        case VBSNodeKind::Paren:
            Expr(node.a);
            return;
        case VBSNodeKind::Unary: {
            VBSOp op = static_cast<VBSOp>(node.bOp);
            const VBSNode& operand = m_ast.Node(node.a);
            if (op == VBSOp::Neg && operand.kind == VBSNodeKind::Literal) {
                Emit(VBSOpcode::PushConst, LiteralConstant(id));
                return;
            }
            Expr(node.a);
            Emit(op == VBSOp::Neg   ? VBSOpcode::Neg
                 : op == VBSOp::Not ? VBSOpcode::Not
                                    : VBSOpcode::Plus);
            return;
        }
        case VBSNodeKind::Binary: {
            Expr(node.a);
            Expr(node.b);
            static constexpr VBSOpcode ops[] = {
                VBSOpcode::Pow, VBSOpcode::Neg,    VBSOpcode::Plus, VBSOpcode::Mul,
                VBSOpcode::Div, VBSOpcode::IntDiv, VBSOpcode::Mod,  VBSOpcode::Add,
                VBSOpcode::Sub, VBSOpcode::Concat, VBSOpcode::Eq,   VBSOpcode::Ne,
                VBSOpcode::Lt,  VBSOpcode::Gt,     VBSOpcode::Le,   VBSOpcode::Ge,
                VBSOpcode::Is,  VBSOpcode::Not,    VBSOpcode::And,  VBSOpcode::Or,
                VBSOpcode::Xor, VBSOpcode::Eqv,    VBSOpcode::Imp,
            };
            Emit(ops[node.bOp]);
            return;
        }
        case VBSNodeKind::New:
            Emit(VBSOpcode::New, GlobalIndex(node.ulName));
            return;
        default:
            Emit(VBSOpcode::PushEmpty);
            return;
    }
}

// An argument: a variable or an array element travels by reference, anything else by
// value.
void CVBScriptCompiler::Arg(ULONG id) {
    const VBSNode& node = m_ast.Node(id);
    if (node.kind == VBSNodeKind::Name) {
        NameRef ref = Resolve(node.ulName);
        if (ref.constant < 0 && ref.kind != VBSRefKind::MemberProc) {
            EmitRef(VBSOpcode::Ref, ref);
            return;
        }
    } else if (node.kind == VBSNodeKind::Index && m_ast.Node(node.a).kind == VBSNodeKind::Name) {
        NameRef ref = Resolve(m_ast.Node(node.a).ulName, node.ulCount != 0);
        if (ref.constant < 0 && ref.kind != VBSRefKind::MemberProc &&
            !(ref.kind == VBSRefKind::Global && node.ulCount != 0 && ref.b < 0 &&
              m_scope->slots.count(m_ast.NameKey(m_ast.Node(node.a).ulName)))) {
            std::uint16_t argc = Args(node);
            EmitRef(VBSOpcode::RefIdx, ref, argc);
            return;
        }
    }
    Expr(id);
}

std::uint16_t CVBScriptCompiler::Args(const VBSNode& node) {
    auto list = m_ast.Children(node);
    for (ULONG id : list)
        Arg(id);
    return static_cast<std::uint16_t>(list.size() & VBS_ARGC);
}

void CVBScriptCompiler::WithObject(const VBSNode&) {
    if (m_withSlots.empty()) {
        Emit(VBSOpcode::PushNothing);
        return;
    }
    Emit(VBSOpcode::Load, m_withSlots.back(), 0, 0, VBSRefKind::Local);
}

CVBScriptCompiler::NameRef CVBScriptCompiler::Resolve(ULONG nameId, bool forCall) {
    ULONG key = m_ast.NameKey(nameId);
    NameRef ref;
    Scope& scope = *m_scope;
    if (!scope.isGlobal) {
        // Inside a Function its name is the result variable, except where it is called
        // with arguments: that is a recursive call.
        auto it = scope.slots.find(key);
        if (it != scope.slots.end() && !(forCall && it->second == 0)) {
            ref.kind = VBSRefKind::Local;
            ref.a = it->second;
            return ref;
        }
        if (auto it = scope.constants.find(key); it != scope.constants.end()) {
            ref.constant = it->second;
            return ref;
        }
        if (scope.classIndex >= 0) {
            const VBSClass& cls = m_program.classes[scope.classIndex];
            std::u16string upper = ToUpperSimple(m_ast.Name(nameId));
            for (std::size_t i = 0; i < cls.vars.size(); ++i) {
                if (ToUpperSimple(cls.vars[i].name) == upper) {
                    ref.kind = VBSRefKind::MemberVar;
                    ref.a = static_cast<std::int32_t>(i);
                    return ref;
                }
            }
            for (std::size_t i = 0; i < cls.procs.size(); ++i) {
                if (ToUpperSimple(cls.procs[i].name) == upper) {
                    ref.kind = VBSRefKind::MemberProc;
                    ref.a = static_cast<std::int32_t>(i);
                    return ref;
                }
            }
        }
    }
    if (auto it = m_globalScope.constants.find(key); it != m_globalScope.constants.end()) {
        ref.constant = it->second;
        return ref;
    }
    ref.kind = VBSRefKind::Global;
    ref.a = GlobalIndex(nameId);
    if (!scope.isGlobal) {
        if (auto it = scope.implicit.find(key); it != scope.implicit.end())
            ref.b = it->second;
    }
    return ref;
}

int CVBScriptCompiler::GlobalIndex(ULONG nameId) {
    ULONG key = m_ast.NameKey(nameId);
    auto [it, inserted] =
        m_globalIndex.emplace(key, static_cast<int>(m_program.globalNames.size()));
    if (inserted)
        m_program.globalNames.push_back(m_ast.Name(nameId));
    return it->second;
}

int CVBScriptCompiler::AddConstant(CComVariant value) {
    m_program.constants.push_back(std::move(value));
    return static_cast<int>(m_program.constants.size() - 1);
}

// The constant of a Literal node, or of a negated or plus-signed Literal.
int CVBScriptCompiler::LiteralConstant(ULONG id) {
    const VBSNode& node = m_ast.Node(id);
    if (node.kind == VBSNodeKind::Unary) {
        int inner = LiteralConstant(node.a);
        if (static_cast<VBSOp>(node.bOp) != VBSOp::Neg)
            return inner;
        CComVariant negated;
        if (FAILED(VarNeg(&m_program.constants[inner], &negated)))
            return inner;
        return AddConstant(std::move(negated));
    }
    if (node.kind != VBSNodeKind::Literal)
        return AddConstant(CComVariant());
    const VBSLiteral& lit = m_ast.Literal(node.a);
    switch (lit.type) {
        case VBSLiteralType::Integer:
            return AddConstant(CComVariant(static_cast<SHORT>(lit.lValue)));
        case VBSLiteralType::Long:
            return AddConstant(CComVariant(static_cast<LONG>(lit.lValue)));
        case VBSLiteralType::Double:
            return AddConstant(CComVariant(lit.dblValue));
        case VBSLiteralType::String:
            return AddConstant(CComVariant(BSTR(lit.str)));
        case VBSLiteralType::Boolean:
            return AddConstant(CComVariant(lit.lValue != 0));
        case VBSLiteralType::Date: {
            auto date = ParseDateText(lit.str, LCID_EN_US);
            return AddConstant(CComVariant::Date(date ? *date : 0.0));
        }
    }
    return AddConstant(CComVariant());
}

std::size_t CVBScriptCompiler::Emit(VBSOpcode op, std::int32_t a, std::int32_t b,
                                    std::uint16_t argc, VBSRefKind kind) {
    VBSInstr instr{op, kind, argc, a, b, 0};
    Code().push_back(instr);
    return Code().size() - 1;
}

void CVBScriptCompiler::EmitRef(VBSOpcode op, const NameRef& ref, std::uint16_t argc) {
    if (ref.constant >= 0) {
        if (op == VBSOpcode::Load) {
            Emit(VBSOpcode::PushConst, ref.constant);
            return;
        }
        if (op == VBSOpcode::Call && (argc & VBS_ARGC) == 0) {
            Emit(VBSOpcode::PushConst, ref.constant);
            if (argc & VBS_DISCARD)
                Emit(VBSOpcode::Pop);
            return;
        }
        // Assigning to or indexing a constant: let the machine report it by name.
        Emit(op, -1, -1, argc, VBSRefKind::Global);
        Code().back().c = ref.constant;
        return;
    }
    Emit(op, ref.a, ref.b, argc, ref.kind);
}

int CVBScriptCompiler::Hidden(int count) {
    int slot = static_cast<int>(m_scope->fn->slots);
    m_scope->fn->slots += count;
    return slot;
}
