// The S-expression form of a syntax tree (see VBScriptAstDump.h).
#include "script/engine/vbscript/VBScriptAstDump.h"

#include <charconv>
#include <string_view>

#include "com/Strings.h"

namespace {

const char* OperatorText(VBSOp op) {
    switch (op) {
        case VBSOp::Pow:
            return "^";
        case VBSOp::Neg:
            return "neg";
        case VBSOp::Plus:
            return "plus";
        case VBSOp::Mul:
            return "*";
        case VBSOp::Div:
            return "/";
        case VBSOp::IntDiv:
            return "\\";
        case VBSOp::Mod:
            return "mod";
        case VBSOp::Add:
            return "+";
        case VBSOp::Sub:
            return "-";
        case VBSOp::Concat:
            return "&";
        case VBSOp::Eq:
            return "=";
        case VBSOp::Ne:
            return "<>";
        case VBSOp::Lt:
            return "<";
        case VBSOp::Gt:
            return ">";
        case VBSOp::Le:
            return "<=";
        case VBSOp::Ge:
            return ">=";
        case VBSOp::Is:
            return "is";
        case VBSOp::Not:
            return "not";
        case VBSOp::And:
            return "and";
        case VBSOp::Or:
            return "or";
        case VBSOp::Xor:
            return "xor";
        case VBSOp::Eqv:
            return "eqv";
        case VBSOp::Imp:
            return "imp";
    }
    return "?";
}

const char* ProcedureText(VBSProc kind) {
    switch (kind) {
        case VBSProc::Sub:
            return "sub";
        case VBSProc::Function:
            return "function";
        case VBSProc::PropertyGet:
            return "property-get";
        case VBSProc::PropertyLet:
            return "property-let";
        case VBSProc::PropertySet:
            return "property-set";
    }
    return "?";
}

const char* ExitText(VBSExit what) {
    switch (what) {
        case VBSExit::Do:
            return "exit-do";
        case VBSExit::For:
            return "exit-for";
        case VBSExit::Function:
            return "exit-function";
        case VBSExit::Property:
            return "exit-property";
        case VBSExit::Sub:
            return "exit-sub";
    }
    return "?";
}

const char* LoopText(VBSLoop loop) {
    switch (loop) {
        case VBSLoop::None:
            return "do";
        case VBSLoop::WhileTop:
            return "do-while";
        case VBSLoop::UntilTop:
            return "do-until";
        case VBSLoop::WhileBottom:
            return "do-loop-while";
        case VBSLoop::UntilBottom:
            return "do-loop-until";
    }
    return "?";
}

}  // namespace

std::string CVBScriptAstDump::Dump(const CVBScriptAst& ast, ULONG id, bool bPositions) {
    CVBScriptAstDump dump(ast, bPositions);
    dump.Node(id);
    return std::move(dump.m_out);
}

std::string CVBScriptAstDump::DumpRoot(const CVBScriptAst& ast, bool bPositions) {
    if (ast.Root() == VBS_NONE) {
        return {};
    }
    const VBSNode& root = ast.Node(ast.Root());
    if (root.kind != VBSNodeKind::Program) {
        return Dump(ast, ast.Root(), bPositions);
    }
    CVBScriptAstDump dump(ast, bPositions);
    for (ULONG child : ast.Children(root)) {
        if (!dump.m_out.empty()) {
            dump.m_out.push_back(' ');
        }
        dump.Node(child);
    }
    return std::move(dump.m_out);
}

void CVBScriptAstDump::Position(const VBSNode& node) {
    if (m_bPositions) {
        m_out += '@' + std::to_string(node.ulLine) + ':' + std::to_string(node.ulCharacter);
    }
}

// A head written with a trailing space ("let ") gets its position before that space.
void CVBScriptAstDump::Open(const char* pszHead, const VBSNode& node) {
    m_out.push_back('(');
    std::string_view head(pszHead);
    const bool bSpace = !head.empty() && head.back() == ' ';
    if (bSpace) {
        head.remove_suffix(1);
    }
    m_out += head;
    Position(node);
    if (bSpace) {
        m_out.push_back(' ');
    }
}

void CVBScriptAstDump::Atom(const std::string& text, const VBSNode& node) {
    m_out += text;
    Position(node);
}

void CVBScriptAstDump::Name(ULONG name) {
    m_out += Utf16ToUtf8(m_ast.Name(name));
}

void CVBScriptAstDump::List(const VBSNode& node) {
    for (ULONG child : m_ast.Children(node)) {
        m_out.push_back(' ');
        Node(child);
    }
}

void CVBScriptAstDump::Literal(const VBSNode& node) {
    const VBSLiteral& literal = m_ast.Literal(node.a);
    switch (literal.type) {
        case VBSLiteralType::Integer:
            Atom(std::to_string(literal.lValue), node);
            break;
        case VBSLiteralType::Long:
            Atom(std::to_string(literal.lValue) + '&', node);
            break;
        case VBSLiteralType::Double: {
            char buffer[64];
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, literal.dblValue);
            Atom(std::string(buffer, result.ptr) + '#', node);
            break;
        }
        case VBSLiteralType::String: {
            std::string text = "\"";
            for (char c : Utf16ToUtf8(literal.str)) {
                text.push_back(c);
                if (c == '"') {
                    text.push_back('"');
                }
            }
            Atom(text + '"', node);
            break;
        }
        case VBSLiteralType::Boolean:
            Atom(literal.lValue ? "True" : "False", node);
            break;
        case VBSLiteralType::Date:
            Atom('#' + Utf16ToUtf8(literal.str) + '#', node);
            break;
    }
}

void CVBScriptAstDump::Node(ULONG id) {
    const VBSNode& node = m_ast.Node(id);
    switch (node.kind) {
        case VBSNodeKind::Literal:
            Literal(node);
            return;
        case VBSNodeKind::Empty:
            Atom("Empty", node);
            return;
        case VBSNodeKind::Null:
            Atom("Null", node);
            return;
        case VBSNodeKind::Nothing:
            Atom("Nothing", node);
            return;
        case VBSNodeKind::Me:
            Atom("Me", node);
            return;
        case VBSNodeKind::Missing:
            Atom("_", node);
            return;
        case VBSNodeKind::Name:
        case VBSNodeKind::VarDecl:
        case VBSNodeKind::Param:
            if (node.kind == VBSNodeKind::Name ||
                (!(node.wFlags & (VBSF_ARRAY | VBSF_BYVAL | VBSF_BYREF)))) {
                Atom(Utf16ToUtf8(m_ast.Name(node.ulName)), node);
                return;
            }
            if (node.kind == VBSNodeKind::Param) {
                const bool bWrapped = node.wFlags & (VBSF_BYVAL | VBSF_BYREF);
                if (bWrapped) {
                    Open(node.wFlags & VBSF_BYVAL ? "byval " : "byref ", node);
                }
                Name(node.ulName);
                if (node.wFlags & VBSF_ARRAY) {
                    m_out += "()";
                }
                if (bWrapped) {
                    Close();
                }
                return;
            }
            m_out.push_back('(');
            Name(node.ulName);
            Position(node);
            List(node);
            Close();
            return;
        case VBSNodeKind::Member:
            Open(".", node);
            m_out.push_back(' ');
            Node(node.a);
            m_out.push_back(' ');
            Name(node.ulName);
            Close();
            return;
        case VBSNodeKind::WithMember:
            Open(".", node);
            m_out.push_back(' ');
            Name(node.ulName);
            Close();
            return;
        case VBSNodeKind::Index:
            Open("idx ", node);
            Node(node.a);
            List(node);
            Close();
            return;
        case VBSNodeKind::Paren:
            Open("paren ", node);
            Node(node.a);
            Close();
            return;
        case VBSNodeKind::Unary:
            Open(OperatorText(static_cast<VBSOp>(node.bOp)), node);
            m_out.push_back(' ');
            Node(node.a);
            Close();
            return;
        case VBSNodeKind::Binary:
            Open(OperatorText(static_cast<VBSOp>(node.bOp)), node);
            m_out.push_back(' ');
            Node(node.a);
            m_out.push_back(' ');
            Node(node.b);
            Close();
            return;
        case VBSNodeKind::New:
            Open("new ", node);
            Name(node.ulName);
            Close();
            return;
        case VBSNodeKind::Program:
            Open("program", node);
            List(node);
            Close();
            return;
        case VBSNodeKind::Block:
            Open("block", node);
            List(node);
            Close();
            return;
        case VBSNodeKind::Assign:
        case VBSNodeKind::Set:
            Open(node.kind == VBSNodeKind::Assign ? "let " : "set ", node);
            Node(node.a);
            m_out.push_back(' ');
            Node(node.b);
            Close();
            return;
        case VBSNodeKind::Call:
            Open(node.wFlags & VBSF_CALL_KEYWORD ? "call-kw " : "call ", node);
            Node(node.a);
            List(node);
            Close();
            return;
        case VBSNodeKind::Dim: {
            static const char* const heads[] = {"dim", "public", "private", "dim"};
            Open(heads[node.bOp], node);
            List(node);
            Close();
            return;
        }
        case VBSNodeKind::ReDim:
            Open(node.wFlags & VBSF_PRESERVE ? "redim-preserve" : "redim", node);
            List(node);
            Close();
            return;
        case VBSNodeKind::ReDimItem:
        case VBSNodeKind::ConstDecl:
            m_out.push_back('(');
            Name(node.ulName);
            Position(node);
            if (node.kind == VBSNodeKind::ConstDecl) {
                m_out.push_back(' ');
                Node(node.a);
            }
            List(node);
            Close();
            return;
        case VBSNodeKind::Erase:
            Open("erase ", node);
            Name(node.ulName);
            Close();
            return;
        case VBSNodeKind::Const: {
            static const char* const heads[] = {"const", "public-const", "private-const", "const"};
            Open(heads[node.bOp], node);
            List(node);
            Close();
            return;
        }
        case VBSNodeKind::Procedure:
            Open(ProcedureText(static_cast<VBSProc>(node.bOp)), node);
            if (node.wFlags & VBSF_PUBLIC) {
                m_out += " public";
            }
            if (node.wFlags & VBSF_PRIVATE) {
                m_out += " private";
            }
            if (node.wFlags & VBSF_DEFAULT) {
                m_out += " default";
            }
            m_out.push_back(' ');
            Name(node.ulName);
            m_out += " (";
            for (ULONG param : m_ast.Children(m_ast.Node(node.a))) {
                if (m_out.back() != '(') {
                    m_out.push_back(' ');
                }
                Node(param);
            }
            m_out.push_back(')');
            List(node);
            Close();
            return;
        case VBSNodeKind::Class:
            Open("class ", node);
            Name(node.ulName);
            List(node);
            Close();
            return;
        case VBSNodeKind::If:
            Open(node.wFlags & VBSF_ELSEIF        ? "elseif "
                 : node.wFlags & VBSF_SINGLE_LINE ? "if1 "
                                                  : "if ",
                 node);
            Node(node.a);
            m_out += " (then";
            List(m_ast.Node(node.b));
            m_out.push_back(')');
            if (node.c != VBS_NONE) {
                m_out.push_back(' ');
                const VBSNode& otherwise = m_ast.Node(node.c);
                if (otherwise.kind == VBSNodeKind::Block) {
                    m_out += "(else";
                    List(otherwise);
                    Close();
                } else {
                    Node(node.c);
                }
            }
            Close();
            return;
        case VBSNodeKind::Select:
            Open("select ", node);
            Node(node.a);
            List(node);
            Close();
            return;
        case VBSNodeKind::Case:
            if (node.wFlags & VBSF_CASE_ELSE) {
                Open("case-else", node);
            } else {
                Open("case (", node);
                bool bFirst = true;
                for (ULONG value : m_ast.Children(node)) {
                    if (!bFirst) {
                        m_out.push_back(' ');
                    }
                    bFirst = false;
                    Node(value);
                }
                m_out.push_back(')');
            }
            List(m_ast.Node(node.a));
            Close();
            return;
        case VBSNodeKind::For:
            Open("for ", node);
            Name(node.ulName);
            m_out.push_back(' ');
            Node(node.a);
            m_out.push_back(' ');
            Node(node.b);
            if (node.c != VBS_NONE) {
                m_out += " (step ";
                Node(node.c);
                m_out.push_back(')');
            }
            List(node);
            Close();
            return;
        case VBSNodeKind::ForEach:
            Open("for-each ", node);
            Name(node.ulName);
            m_out.push_back(' ');
            Node(node.a);
            List(node);
            Close();
            return;
        case VBSNodeKind::Do:
            Open(LoopText(static_cast<VBSLoop>(node.bOp)), node);
            if (node.a != VBS_NONE) {
                m_out.push_back(' ');
                Node(node.a);
            }
            List(node);
            Close();
            return;
        case VBSNodeKind::While:
        case VBSNodeKind::With:
            Open(node.kind == VBSNodeKind::While ? "while " : "with ", node);
            Node(node.a);
            List(node);
            Close();
            return;
        case VBSNodeKind::Exit:
            Open(ExitText(static_cast<VBSExit>(node.bOp)), node);
            Close();
            return;
        case VBSNodeKind::OptionExplicit:
            Open("option-explicit", node);
            Close();
            return;
        case VBSNodeKind::OnErrorResumeNext:
            Open("on-error-resume-next", node);
            Close();
            return;
        case VBSNodeKind::OnErrorGoto0:
            Open("on-error-goto-0", node);
            Close();
            return;
        case VBSNodeKind::Stop:
            Open("stop", node);
            Close();
            return;
        case VBSNodeKind::Randomize:
            Open("randomize", node);
            if (node.a != VBS_NONE) {
                m_out.push_back(' ');
                Node(node.a);
            }
            Close();
            return;
    }
}
