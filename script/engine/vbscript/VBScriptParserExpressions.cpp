// The VBScript parser, part three: expressions, by precedence climbing.
//
// From the loosest binding: Imp, Eqv, Xor, Or, And, Not, the comparisons (= <> < > <=
// >= Is, all alike), &, + and -, Mod, \, * and /, unary - and +, ^. Binary operators
// associate to the left. Not and negation are prefixes whose operand reaches as far
// as the operators that bind tighter than they do, so "Not a = b" is Not (a = b) and
// "-2 ^ 2" is -(2 ^ 2).
#include <utility>

#include "script/engine/vbscript/VBScriptParser.h"

namespace {

struct BinaryOperator {
    VBSOp op;
    int precedence;  // 0: not a binary operator
};

constexpr int PRECEDENCE_NOT = 6;
constexpr int PRECEDENCE_POW = 14;

BinaryOperator BinaryOperatorOf(VBSToken kind) {
    switch (kind) {
        case VBSToken::Caret:
            return {VBSOp::Pow, PRECEDENCE_POW};
        case VBSToken::Star:
            return {VBSOp::Mul, 12};
        case VBSToken::Slash:
            return {VBSOp::Div, 12};
        case VBSToken::Backslash:
            return {VBSOp::IntDiv, 11};
        case VBSToken::Mod:
            return {VBSOp::Mod, 10};
        case VBSToken::Plus:
            return {VBSOp::Add, 9};
        case VBSToken::Minus:
            return {VBSOp::Sub, 9};
        case VBSToken::Ampersand:
            return {VBSOp::Concat, 8};
        case VBSToken::Equal:
            return {VBSOp::Eq, 7};
        case VBSToken::NotEqual:
            return {VBSOp::Ne, 7};
        case VBSToken::Less:
            return {VBSOp::Lt, 7};
        case VBSToken::Greater:
            return {VBSOp::Gt, 7};
        case VBSToken::LessEqual:
            return {VBSOp::Le, 7};
        case VBSToken::GreaterEqual:
            return {VBSOp::Ge, 7};
        case VBSToken::Is:
            return {VBSOp::Is, 7};
        case VBSToken::And:
            return {VBSOp::And, 5};
        case VBSToken::Or:
            return {VBSOp::Or, 4};
        case VBSToken::Xor:
            return {VBSOp::Xor, 3};
        case VBSToken::Eqv:
            return {VBSOp::Eqv, 2};
        case VBSToken::Imp:
            return {VBSOp::Imp, 1};
        default:
            return {VBSOp::Add, 0};
    }
}

}  // namespace

ULONG CVBScriptParser::ParseExpr(int minPrecedence) {
    NestingScope nesting(m_nesting);
    EnterNesting();
    ULONG left = ParseOperand();
    for (;;) {
        const BinaryOperator op = BinaryOperatorOf(m_tok.kind);
        if (op.precedence == 0 || op.precedence < minPrecedence) {
            return left;
        }
        const ULONG node = NewNode(VBSNodeKind::Binary);
        Advance();
        const ULONG right = ParseExpr(op.precedence + 1);
        VBSNode& binary = m_ast.Node(node);
        binary.bOp = static_cast<std::uint8_t>(op.op);
        binary.a = left;
        binary.b = right;
        left = node;
    }
}

// An expression whose first operand has already been read (a call statement's
// parenthesised first argument).
ULONG CVBScriptParser::ParseExprFrom(ULONG seed) {
    m_seed = seed;
    return ParseExpr();
}

ULONG CVBScriptParser::ParseOperand() {
    if (m_seed != VBS_NONE) {
        return std::exchange(m_seed, VBS_NONE);
    }
    if (m_tok.kind == VBSToken::Not || m_tok.kind == VBSToken::Minus ||
        m_tok.kind == VBSToken::Plus) {
        const VBSToken kind = m_tok.kind;
        const ULONG node = NewNode(VBSNodeKind::Unary);
        Advance();
        const ULONG operand = ParseExpr(kind == VBSToken::Not ? PRECEDENCE_NOT : PRECEDENCE_POW);
        VBSNode& unary = m_ast.Node(node);
        unary.bOp = static_cast<std::uint8_t>(kind == VBSToken::Not     ? VBSOp::Not
                                              : kind == VBSToken::Minus ? VBSOp::Neg
                                                                        : VBSOp::Plus);
        unary.a = operand;
        return node;
    }
    return ParsePrimary();
}

ULONG CVBScriptParser::ParsePrimary() {
    switch (m_tok.kind) {
        case VBSToken::Integer:
        case VBSToken::Long:
        case VBSToken::Double:
        case VBSToken::String:
        case VBSToken::Date:
        case VBSToken::True:
        case VBSToken::False:
            return ParseLiteralToken();
        case VBSToken::Empty:
        case VBSToken::Null:
        case VBSToken::Nothing: {
            const ULONG node = NewNode(m_tok.kind == VBSToken::Empty  ? VBSNodeKind::Empty
                                       : m_tok.kind == VBSToken::Null ? VBSNodeKind::Null
                                                                      : VBSNodeKind::Nothing);
            Advance();
            return node;
        }
        case VBSToken::Identifier:
        case VBSToken::Dot:
        case VBSToken::Me:
            return ParseTarget();
        case VBSToken::LParen: {
            const ULONG node = NewNode(VBSNodeKind::Paren);
            Advance();
            const ULONG inner = ParseExpr();
            Expect(VBSToken::RParen, VBSE_EXPECTED_RPAREN);
            m_ast.Node(node).a = inner;
            return node;
        }
        case VBSToken::New: {
            const ULONG node = NewNode(VBSNodeKind::New);
            Advance();
            const ULONG name = TakeIdentifier();
            m_ast.Node(node).ulName = name;
            return node;
        }
        default:
            Fail(VBSE_EXPECTED_EXPRESSION);
    }
}

// A name, ".name" (inside With) or Me, with its chain of members and argument lists.
ULONG CVBScriptParser::ParseTarget() {
    ULONG node = NewNode(VBSNodeKind::Name);
    switch (m_tok.kind) {
        case VBSToken::Identifier:
            m_ast.Node(node).ulName = m_ast.InternName(m_tok.str);
            Advance();
            break;
        case VBSToken::Me:
            m_ast.Node(node).kind = VBSNodeKind::Me;
            Advance();
            break;
        case VBSToken::Dot:
            // ".name" is a member of the object of the enclosing With.
            m_ast.Node(node).kind = VBSNodeKind::WithMember;
            Advance();
            if (m_tok.kind != VBSToken::Identifier && !CVBScriptLexer::KeywordText(m_tok.kind)) {
                Fail(VBSE_EXPECTED_IDENTIFIER);
            }
            m_ast.Node(node).ulName = m_ast.InternName(m_tok.str);
            Advance();
            break;
        default:
            Fail(VBSE_EXPECTED_EXPRESSION);
    }
    return ParsePostfix(node);
}

ULONG CVBScriptParser::ParsePostfix(ULONG node) {
    for (;;) {
        if (m_tok.kind == VBSToken::Dot) {
            const ULONG member = NewNode(VBSNodeKind::Member);
            Advance();
            // Members may be named like keywords: Response.End, rs.Open, x.Set.
            if (m_tok.kind != VBSToken::Identifier && !CVBScriptLexer::KeywordText(m_tok.kind)) {
                Fail(VBSE_EXPECTED_IDENTIFIER);
            }
            const ULONG name = m_ast.InternName(m_tok.str);
            Advance();
            m_ast.Node(member).a = node;
            m_ast.Node(member).ulName = name;
            node = member;
        } else if (m_tok.kind == VBSToken::LParen) {
            const ULONG index = NewNode(VBSNodeKind::Index);
            Advance();
            std::vector<ULONG> arguments;
            ParseParenArguments(arguments);
            m_ast.Node(index).a = node;
            m_ast.SetList(index, arguments);
            node = index;
        } else {
            return node;
        }
    }
}

// The arguments after "(" up to and including ")"; an omitted argument is Missing.
void CVBScriptParser::ParseParenArguments(std::vector<ULONG>& out) {
    if (m_tok.kind == VBSToken::RParen) {
        Advance();
        return;
    }
    for (;;) {
        if (m_tok.kind == VBSToken::Comma || m_tok.kind == VBSToken::RParen) {
            out.push_back(NewNode(VBSNodeKind::Missing));
        } else {
            out.push_back(ParseExpr());
        }
        if (m_tok.kind != VBSToken::Comma) {
            break;
        }
        Advance();
    }
    Expect(VBSToken::RParen, VBSE_EXPECTED_RPAREN);
}

ULONG CVBScriptParser::ParseLiteralToken() {
    VBSLiteral literal;
    switch (m_tok.kind) {
        case VBSToken::Integer:
            literal.type = VBSLiteralType::Integer;
            literal.lValue = m_tok.lValue;
            break;
        case VBSToken::Long:
            literal.type = VBSLiteralType::Long;
            literal.lValue = m_tok.lValue;
            break;
        case VBSToken::Double:
            literal.type = VBSLiteralType::Double;
            literal.dblValue = m_tok.dblValue;
            break;
        case VBSToken::String:
            literal.type = VBSLiteralType::String;
            literal.str = std::move(m_tok.str);
            break;
        case VBSToken::Date:
            literal.type = VBSLiteralType::Date;
            literal.str = std::move(m_tok.str);
            break;
        default:
            literal.type = VBSLiteralType::Boolean;
            literal.lValue = m_tok.kind == VBSToken::True ? -1 : 0;
            break;
    }
    const ULONG node = NewNode(VBSNodeKind::Literal);
    m_ast.Node(node).a = m_ast.AddLiteral(std::move(literal));
    Advance();
    return node;
}
