// The VBScript code generator: expressions, arguments, names and emitting. See
// VBScriptCompiler.h.
#include <vector>

#include "com/Strings.h"
#include "com/TextForms.h"
#include "com/VarMath.h"
#include "script/engine/vbscript/VBScriptCompiler.h"

// ---- expressions ----

// The operand a chain node evaluates first: the left side of a binary operator, the
// object of a member access or call, the value a call indexes. VBS_NONE for the rest.
ULONG CVBScriptCompiler::ChainOperand(const VBSNode& node) const {
    switch (node.kind) {
        case VBSNodeKind::Binary:
        case VBSNodeKind::Member:
            return node.a;
        case VBSNodeKind::Index: {
            const VBSNode& callee = m_ast.Node(node.a);
            if (callee.kind == VBSNodeKind::Member)
                return callee.a;
            if (callee.kind == VBSNodeKind::Name || callee.kind == VBSNodeKind::WithMember)
                return VBS_NONE;
            return node.a;
        }
        default:
            return VBS_NONE;
    }
}

// What a chain node adds once its first operand is on the stack.
void CVBScriptCompiler::FinishChain(const VBSNode& node) {
    switch (node.kind) {
        case VBSNodeKind::Binary: {
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
        case VBSNodeKind::Member:
            Emit(VBSOpcode::MGet, GlobalIndex(node.ulName));
            return;
        default: {  // Index
            const VBSNode& callee = m_ast.Node(node.a);
            std::uint16_t argc = Args(node);
            if (callee.kind == VBSNodeKind::Member)
                Emit(VBSOpcode::MCall, GlobalIndex(callee.ulName), 0, argc);
            else
                Emit(VBSOpcode::ICall, 0, 0, argc);
            return;
        }
    }
}

// Left-deep chains (a & b & c …, o.p.q …, f(1)(2) …) can be as long as the text: they
// are walked with a loop, so only the bounded nesting of the parser recurses.
void CVBScriptCompiler::Expr(ULONG id) {
    ULONG first = ChainOperand(m_ast.Node(id));
    if (first == VBS_NONE) {
        ExprLeaf(id);
        return;
    }
    std::vector<ULONG> chain{id};
    while ((first = ChainOperand(m_ast.Node(chain.back()))) != VBS_NONE &&
           ChainOperand(m_ast.Node(first)) != VBS_NONE)
        chain.push_back(first);
    const VBSNode& inner = m_ast.Node(chain.back());
    bool marked = false;
    if (inner.kind == VBSNodeKind::Member ||
        (inner.kind == VBSNodeKind::Index && m_ast.Node(inner.a).kind == VBSNodeKind::Member))
        marked = ObjectOperand(first);
    else
        ExprLeaf(first);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        FinishChain(m_ast.Node(*it));
        if (it == chain.rbegin())
            MarkObjectAccess(marked);
    }
}

bool CVBScriptCompiler::ObjectOperand(ULONG id) {
    const VBSNode& node = m_ast.Node(id);
    if (node.kind == VBSNodeKind::Name) {
        NameRef ref = Resolve(node.ulName);
        if (ref.constant < 0 && ref.kind == VBSRefKind::Global && ref.a >= 0) {
            EmitRef(VBSOpcode::LoadObject, ref);
            return true;
        }
    }
    Expr(id);
    return false;
}

void CVBScriptCompiler::ExprLeaf(ULONG id) {
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
        case VBSNodeKind::Member: {
            bool marked = ObjectOperand(node.a);
            Emit(VBSOpcode::MGet, GlobalIndex(node.ulName));
            MarkObjectAccess(marked);
            return;
        }
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
                bool marked = false;
                if (callee.kind == VBSNodeKind::Member)
                    marked = ObjectOperand(callee.a);
                else
                    WithObject(callee);
                std::uint16_t argc = Args(node);
                Emit(VBSOpcode::MCall, GlobalIndex(callee.ulName), 0, argc);
                MarkObjectAccess(marked);
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
    if (scope.isGlobal && !m_outer.empty()) {
        auto it = m_outer.find(ToUpperSimple(m_ast.Name(nameId)));
        if (it != m_outer.end())
            return it->second;
    }
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
