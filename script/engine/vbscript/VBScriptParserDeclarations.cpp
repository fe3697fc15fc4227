// The VBScript parser, part two: declarations (Dim, Const, ReDim, Erase, Public and
// Private, procedures and classes) and the compile-time rules about names and class
// members that come with them.
#include <utility>

#include "com/Strings.h"
#include "script/engine/vbscript/VBScriptParser.h"

namespace {

bool IsProcedureKeyword(VBSToken kind) {
    return kind == VBSToken::Sub || kind == VBSToken::Function || kind == VBSToken::Property;
}

}  // namespace

ULONG CVBScriptParser::ParseDim(VBSDecl decl, const VBScriptToken& start) {
    const ULONG node = m_ast.AddNode(VBSNodeKind::Dim, start.ulLine, start.ulCharacter);
    m_ast.Node(node).bOp = static_cast<std::uint8_t>(decl);
    std::vector<ULONG> variables;
    for (;;) {
        const VBScriptToken nameToken = m_tok;
        const ULONG variable = NewNode(VBSNodeKind::VarDecl);
        const ULONG name = TakeIdentifier();
        Declare(name, DECL_PLAIN, nameToken, m_scopes.size() - 1);
        m_ast.Node(variable).ulName = name;
        std::vector<ULONG> bounds;
        if (m_tok.kind == VBSToken::LParen) {
            m_ast.Node(variable).wFlags |= VBSF_ARRAY;
            Advance();
            if (m_tok.kind != VBSToken::RParen) {
                for (;;) {
                    if (m_tok.kind != VBSToken::Integer && m_tok.kind != VBSToken::Long) {
                        Fail(VBSE_EXPECTED_INTEGER_CONSTANT);
                    }
                    VBSLiteral literal;
                    literal.type = m_tok.kind == VBSToken::Integer ? VBSLiteralType::Integer
                                                                   : VBSLiteralType::Long;
                    literal.lValue = m_tok.lValue;
                    const ULONG bound = NewNode(VBSNodeKind::Literal);
                    m_ast.Node(bound).a = m_ast.AddLiteral(std::move(literal));
                    bounds.push_back(bound);
                    Advance();
                    if (m_tok.kind != VBSToken::Comma) {
                        break;
                    }
                    Advance();
                }
            }
            Expect(VBSToken::RParen, VBSE_EXPECTED_RPAREN);
        }
        m_ast.SetList(variable, bounds);
        variables.push_back(variable);
        if (m_tok.kind != VBSToken::Comma) {
            break;
        }
        Advance();
    }
    m_ast.SetList(node, variables);
    return node;
}

ULONG CVBScriptParser::ParseConst(VBSDecl decl, const VBScriptToken& start) {
    const ULONG node = m_ast.AddNode(VBSNodeKind::Const, start.ulLine, start.ulCharacter);
    m_ast.Node(node).bOp = static_cast<std::uint8_t>(decl);
    std::vector<ULONG> constants;
    for (;;) {
        const VBScriptToken nameToken = m_tok;
        const ULONG constant = NewNode(VBSNodeKind::ConstDecl);
        const ULONG name = TakeIdentifier();
        Expect(VBSToken::Equal, VBSE_EXPECTED_EQUAL);
        const ULONG value = ParseLiteralConstant();
        Declare(name, DECL_PLAIN, nameToken, m_scopes.size() - 1);
        m_ast.Node(constant).ulName = name;
        m_ast.Node(constant).a = value;
        constants.push_back(constant);
        if (m_tok.kind != VBSToken::Comma) {
            break;
        }
        Advance();
    }
    m_ast.SetList(node, constants);
    return node;
}

ULONG CVBScriptParser::ParseReDim() {
    const ULONG node = NewNode(VBSNodeKind::ReDim);
    Advance();
    if (m_tok.kind == VBSToken::Preserve) {
        m_ast.Node(node).wFlags |= VBSF_PRESERVE;
        Advance();
    }
    std::vector<ULONG> items;
    for (;;) {
        const ULONG item = NewNode(VBSNodeKind::ReDimItem);
        const ULONG name = TakeIdentifier();
        m_ast.Node(item).ulName = name;
        if (m_tok.kind != VBSToken::LParen) {
            Fail(VBSE_EXPECTED_LPAREN);
        }
        Advance();
        std::vector<ULONG> bounds;
        bounds.push_back(ParseExpr());
        while (m_tok.kind == VBSToken::Comma) {
            Advance();
            bounds.push_back(ParseExpr());
        }
        Expect(VBSToken::RParen, VBSE_EXPECTED_RPAREN);
        m_ast.SetList(item, bounds);
        items.push_back(item);
        if (m_tok.kind != VBSToken::Comma) {
            break;
        }
        Advance();
    }
    m_ast.SetList(node, items);
    return node;
}

ULONG CVBScriptParser::ParseErase() {
    const ULONG node = NewNode(VBSNodeKind::Erase);
    Advance();
    const ULONG name = TakeIdentifier();
    m_ast.Node(node).ulName = name;
    return node;
}

// Public or Private before a variable, a constant or a procedure.
ULONG CVBScriptParser::ParseVisibility() {
    const VBScriptToken start = m_tok;
    const bool bPublic = m_tok.kind == VBSToken::Public;
    Advance();
    std::uint16_t wFlags = bPublic ? VBSF_PUBLIC : VBSF_PRIVATE;
    if (IsWord(u"Default") && IsProcedureKeyword(Peek().kind)) {
        if (!bPublic) {
            Fail(VBSE_DEFAULT_NEEDS_PUBLIC);
        }
        if (!m_pClass) {
            Fail(VBSE_MUST_BE_IN_CLASS);
        }
        wFlags |= VBSF_DEFAULT;
        Advance();
    }
    if (IsProcedureKeyword(m_tok.kind)) {
        if (m_tok.kind == VBSToken::Property && !m_pClass) {
            Fail(VBSE_MUST_BE_IN_CLASS);
        }
        return ParseProcedure(wFlags, start);
    }
    // Public and Private variables belong to the script or to a class, never to a
    // procedure or a block.
    if (m_blockDepth > 0 || m_proc != ProcContext::None) {
        FailAt(VBSE_SYNTAX_ERROR, start.ulLine, start.ulCharacter);
    }
    const VBSDecl decl = bPublic ? VBSDecl::Public : VBSDecl::Private;
    if (m_tok.kind == VBSToken::Const) {
        if (m_pClass) {
            Fail(VBSE_EXPECTED_STATEMENT);
        }
        Advance();
        return ParseConst(decl, start);
    }
    return ParseDim(decl, start);
}

// Sub, Function or Property Get/Let/Set, up to its End; `start` is its first token
// (Public or Private when there is one).
ULONG CVBScriptParser::ParseProcedure(std::uint16_t wFlags, const VBScriptToken& start) {
    if (m_blockDepth > 0 || m_proc != ProcContext::None) {
        Fail(VBSE_SYNTAX_ERROR);
    }
    const VBSToken keyword = m_tok.kind;
    VBSProc kind = keyword == VBSToken::Sub ? VBSProc::Sub : VBSProc::Function;
    ProcContext context = keyword == VBSToken::Sub ? ProcContext::Sub : ProcContext::Function;
    Advance();
    if (keyword == VBSToken::Property) {
        context = ProcContext::Property;
        if (IsWord(u"Get")) {
            kind = VBSProc::PropertyGet;
        } else if (IsWord(u"Let")) {
            kind = VBSProc::PropertyLet;
        } else if (m_tok.kind == VBSToken::Set) {
            kind = VBSProc::PropertySet;
        } else {
            Fail(VBSE_EXPECTED_LET_SET_GET);
        }
        Advance();
        if ((wFlags & VBSF_DEFAULT) && kind != VBSProc::PropertyGet) {
            FailAt(VBSE_DEFAULT_ONLY_ON_GET, start.ulLine, start.ulCharacter);
        }
    }
    const ULONG node = m_ast.AddNode(VBSNodeKind::Procedure, start.ulLine, start.ulCharacter);
    const VBScriptToken nameToken = m_tok;
    const ULONG name = TakeIdentifier();
    m_scopes.emplace_back();
    const ULONG paramBlock = NewNode(VBSNodeKind::Block);
    std::vector<ULONG> params;
    if (m_tok.kind == VBSToken::LParen) {
        Advance();
        if (m_tok.kind != VBSToken::RParen) {
            for (;;) {
                const ULONG param = NewNode(VBSNodeKind::Param);
                if (m_tok.kind == VBSToken::ByVal || m_tok.kind == VBSToken::ByRef) {
                    m_ast.Node(param).wFlags |=
                        m_tok.kind == VBSToken::ByVal ? VBSF_BYVAL : VBSF_BYREF;
                    Advance();
                }
                const VBScriptToken paramToken = m_tok;
                const ULONG paramName = TakeIdentifier();
                Declare(paramName, DECL_PLAIN, paramToken, m_scopes.size() - 1);
                m_ast.Node(param).ulName = paramName;
                if (m_tok.kind == VBSToken::LParen) {
                    Advance();
                    Expect(VBSToken::RParen, VBSE_EXPECTED_RPAREN);
                    m_ast.Node(param).wFlags |= VBSF_ARRAY;
                }
                params.push_back(param);
                if (m_tok.kind != VBSToken::Comma) {
                    break;
                }
                Advance();
            }
        }
        Expect(VBSToken::RParen, VBSE_EXPECTED_RPAREN);
    }
    m_ast.SetList(paramBlock, params);
    ExpectEndOfStatement();
    CheckClassProcedure(kind, name, wFlags, params.size(), nameToken, start);

    const ProcContext savedProc = std::exchange(m_proc, context);
    const unsigned savedFor = std::exchange(m_forDepth, 0);
    const unsigned savedDo = std::exchange(m_doDepth, 0);
    const ULONG body = ParseBlock();
    m_proc = savedProc;
    m_forDepth = savedFor;
    m_doDepth = savedDo;
    m_scopes.pop_back();

    Expect(VBSToken::End_, VBSE_EXPECTED_END);
    switch (keyword) {
        case VBSToken::Sub:
            Expect(VBSToken::Sub, VBSE_EXPECTED_SUB);
            break;
        case VBSToken::Function:
            Expect(VBSToken::Function, VBSE_EXPECTED_FUNCTION);
            break;
        default:
            Expect(VBSToken::Property, VBSE_EXPECTED_PROPERTY);
            break;
    }
    VBSNode& procedure = m_ast.Node(node);
    procedure.bOp = static_cast<std::uint8_t>(kind);
    procedure.wFlags = wFlags;
    procedure.ulName = name;
    procedure.a = paramBlock;
    procedure.ulFirst = m_ast.Node(body).ulFirst;
    procedure.ulCount = m_ast.Node(body).ulCount;
    return node;
}

// Declares a procedure in the enclosing scope and applies the rules of class members.
void CVBScriptParser::CheckClassProcedure(VBSProc kind, ULONG name, std::uint16_t wFlags,
                                          std::size_t params, const VBScriptToken& nameToken,
                                          const VBScriptToken& start) {
    std::uint8_t declKind = DECL_PLAIN;
    if (kind == VBSProc::PropertyGet) {
        declKind = DECL_GET;
    } else if (kind == VBSProc::PropertyLet) {
        declKind = DECL_LET;
    } else if (kind == VBSProc::PropertySet) {
        declKind = DECL_SET;
    }
    Declare(name, declKind, nameToken, m_scopes.size() - 2);
    if (!m_pClass) {
        return;
    }
    const std::u16string& spelling = m_ast.Name(name);
    if (kind == VBSProc::Sub && params > 0 &&
        (EqualsNoCase(spelling, u"Class_Initialize") ||
         EqualsNoCase(spelling, u"Class_Terminate"))) {
        FailAt(VBSE_CLASS_INIT_TERM_ARGS, nameToken.ulLine, nameToken.ulCharacter);
    }
    if ((kind == VBSProc::PropertyLet || kind == VBSProc::PropertySet) && params == 0) {
        FailAt(VBSE_PROPERTY_NEEDS_ARGUMENT, nameToken.ulLine, nameToken.ulCharacter);
    }
    if (wFlags & VBSF_DEFAULT) {
        if (m_pClass->bHasDefault) {
            FailAt(VBSE_MULTIPLE_DEFAULTS, start.ulLine, start.ulCharacter);
        }
        m_pClass->bHasDefault = true;
    }
    if (declKind == DECL_PLAIN) {
        return;
    }
    // Let and Set take the value as one argument more than Get takes.
    PropertyArgs& args = m_pClass->properties[m_ast.NameKey(name)];
    const int count = static_cast<int>(params);
    (kind == VBSProc::PropertyGet   ? args.get
     : kind == VBSProc::PropertyLet ? args.let
                                    : args.set) = count;
    const bool bConsistent = (args.get < 0 || args.let < 0 || args.let == args.get + 1) &&
                             (args.get < 0 || args.set < 0 || args.set == args.get + 1) &&
                             (args.let < 0 || args.set < 0 || args.let == args.set);
    if (!bConsistent) {
        FailAt(VBSE_INCONSISTENT_PROPERTY_ARGS, nameToken.ulLine, nameToken.ulCharacter);
    }
}

ULONG CVBScriptParser::ParseClass() {
    if (m_blockDepth > 0 || m_proc != ProcContext::None || m_pClass) {
        Fail(VBSE_SYNTAX_ERROR);
    }
    const ULONG node = NewNode(VBSNodeKind::Class);
    Advance();
    const VBScriptToken nameToken = m_tok;
    const ULONG name = TakeIdentifier();
    Declare(name, DECL_PLAIN, nameToken, m_scopes.size() - 1);
    ExpectEndOfStatement();
    ClassState state;
    m_pClass = &state;
    m_scopes.emplace_back();
    std::vector<ULONG> members;
    for (;;) {
        if (m_tok.kind == VBSToken::Newline || m_tok.kind == VBSToken::Colon) {
            Advance();
            continue;
        }
        if (m_tok.kind == VBSToken::End_) {
            Advance();
            Expect(VBSToken::Class, VBSE_EXPECTED_CLASS);
            break;
        }
        if (m_tok.kind == VBSToken::End) {
            Fail(VBSE_EXPECTED_END);
        }
        members.push_back(ParseClassMember());
        ExpectEndOfStatement();
    }
    m_scopes.pop_back();
    m_pClass = nullptr;
    m_ast.Node(node).ulName = name;
    m_ast.SetList(node, members);
    return node;
}

ULONG CVBScriptParser::ParseClassMember() {
    const VBScriptToken start = m_tok;
    switch (m_tok.kind) {
        case VBSToken::Dim:
            Advance();
            return ParseDim(VBSDecl::Dim, start);
        case VBSToken::Public:
        case VBSToken::Private:
            return ParseVisibility();
        case VBSToken::Sub:
        case VBSToken::Function:
        case VBSToken::Property:
            return ParseProcedure(0, start);
        default:
            if (IsWord(u"Default") && IsProcedureKeyword(Peek().kind)) {
                Fail(VBSE_DEFAULT_NEEDS_PUBLIC);
            }
            Fail(VBSE_EXPECTED_STATEMENT);
    }
}

// A name declared twice in one scope is an error; a property may have a Get, a Let
// and a Set under one name, but shares it with nothing else.
void CVBScriptParser::Declare(ULONG name, std::uint8_t kind, const VBScriptToken& at,
                              std::size_t scope) {
    std::uint8_t& declared = m_scopes[scope][m_ast.NameKey(name)];
    const bool bClash = (declared & kind) != 0 || (declared != 0 && kind == DECL_PLAIN) ||
                        (declared & DECL_PLAIN) != 0;
    if (bClash) {
        FailAt(VBSE_NAME_REDEFINED, at.ulLine, at.ulCharacter);
    }
    declared |= kind;
}

// The value of a Const: a literal, a number with a sign, or Empty, Null or Nothing.
ULONG CVBScriptParser::ParseLiteralConstant() {
    ULONG sign = VBS_NONE;
    if (m_tok.kind == VBSToken::Minus || m_tok.kind == VBSToken::Plus) {
        sign = NewNode(VBSNodeKind::Unary);
        m_ast.Node(sign).bOp =
            static_cast<std::uint8_t>(m_tok.kind == VBSToken::Minus ? VBSOp::Neg : VBSOp::Plus);
        Advance();
    }
    ULONG value = VBS_NONE;
    switch (m_tok.kind) {
        case VBSToken::Integer:
        case VBSToken::Long:
        case VBSToken::Double:
            value = ParseLiteralToken();
            break;
        case VBSToken::String:
        case VBSToken::Date:
        case VBSToken::True:
        case VBSToken::False:
            if (sign == VBS_NONE) {
                value = ParseLiteralToken();
            }
            break;
        case VBSToken::Empty:
        case VBSToken::Null:
        case VBSToken::Nothing:
            if (sign == VBS_NONE) {
                value = NewNode(m_tok.kind == VBSToken::Empty  ? VBSNodeKind::Empty
                                : m_tok.kind == VBSToken::Null ? VBSNodeKind::Null
                                                               : VBSNodeKind::Nothing);
                Advance();
            }
            break;
        default:
            break;
    }
    if (value == VBS_NONE) {
        Fail(VBSE_EXPECTED_LITERAL_CONSTANT);
    }
    if (sign == VBS_NONE) {
        return value;
    }
    m_ast.Node(sign).a = value;
    return sign;
}
