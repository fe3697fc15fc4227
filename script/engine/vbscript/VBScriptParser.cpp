// The VBScript parser (see VBScriptParser.h): recursive descent over the lexer's
// tokens, statements first, then expressions by precedence climbing.
#include "script/engine/vbscript/VBScriptParser.h"

#include <utility>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"

namespace {

bool IsBlockEnd(VBSToken kind) {
    switch (kind) {
        case VBSToken::End:
        case VBSToken::End_:
        case VBSToken::Else:
        case VBSToken::ElseIf:
        case VBSToken::Loop:
        case VBSToken::Next:
        case VBSToken::Wend:
        case VBSToken::Case:
            return true;
        default:
            return false;
    }
}

}  // namespace

CVBScriptParser::CVBScriptParser(std::u16string_view text, CVBScriptAst& ast)
    : m_lexer(text), m_ast(ast) {
    m_scopes.emplace_back();
}

template <class Body>
HRESULT CVBScriptParser::Run(std::u16string_view text, CVBScriptAst& ast,
                             CVBScriptCompileError& error, const char* pszOperation, Body body) {
    error = CVBScriptCompileError{};
    try {
        if (CheckExpression(text.size() > MAX_TEXT)) {
            error.m_lNumber = VBSE_OUT_OF_MEMORY;
            return E_OUTOFMEMORY;
        }
        CVBScriptAst result;
        CVBScriptParser parser(text, result);
        try {
            parser.Advance();
            body(parser);
        } catch (const Failure& failure) {
            error.m_lNumber = failure.lNumber;
            error.m_ulLine = failure.ulLine;
            error.m_ulCharacter = failure.ulCharacter;
            const HRESULT hrCompile = error.Result();
            return CheckResultValue(hrCompile);
        } catch (...) {
            error.m_lNumber = VBSE_OUT_OF_MEMORY;
            error.m_ulLine = parser.m_tok.ulLine;
            error.m_ulCharacter = parser.m_tok.ulCharacter;
            throw;
        }
        ast = std::move(result);
        return S_OK;
    } catch (...) {
        if (!error.IsSet()) {
            error.m_lNumber = VBSE_OUT_OF_MEMORY;
        }
        return ReportException(pszOperation, CV_HERE);
    }
}

HRESULT CVBScriptParser::ParseProgram(std::u16string_view text, CVBScriptAst& ast,
                                      CVBScriptCompileError& error) {
    return Run(text, ast, error, "CVBScriptParser::ParseProgram",
               [](CVBScriptParser& parser) { parser.ParseProgramText(); });
}

HRESULT CVBScriptParser::ParseExpression(std::u16string_view text, CVBScriptAst& ast,
                                         CVBScriptCompileError& error) {
    return Run(text, ast, error, "CVBScriptParser::ParseExpression", [](CVBScriptParser& parser) {
        // Eval accepts an expression alone on its line(s).
        while (parser.m_tok.kind == VBSToken::Newline) {
            parser.Advance();
        }
        const ULONG root = parser.ParseExpr();
        while (parser.m_tok.kind == VBSToken::Newline) {
            parser.Advance();
        }
        if (parser.m_tok.kind != VBSToken::End) {
            parser.Fail(VBSE_EXPECTED_END_OF_STATEMENT);
        }
        parser.m_ast.SetRoot(root);
    });
}

// ---------------------------------------------------------------------------------
// Tokens

void CVBScriptParser::Advance() {
    if (m_bHavePeek) {
        std::swap(m_tok, m_peek);
        m_bHavePeek = false;
    } else {
        m_lexer.Next(m_tok);
    }
    if (m_tok.kind == VBSToken::Error) {
        Fail(m_tok.lError);
    }
}

const VBScriptToken& CVBScriptParser::Peek() {
    if (!m_bHavePeek) {
        m_lexer.Next(m_peek);
        m_bHavePeek = true;
    }
    return m_peek;
}

void CVBScriptParser::Fail(LONG lNumber) {
    FailAt(lNumber, m_tok.ulLine, m_tok.ulCharacter);
}

void CVBScriptParser::FailAt(LONG lNumber, ULONG ulLine, ULONG ulCharacter) {
    throw Failure{lNumber, ulLine, ulCharacter};
}

void CVBScriptParser::FailAtNode(LONG lNumber, ULONG id) {
    const VBSNode& node = m_ast.Node(id);
    FailAt(lNumber, node.ulLine, node.ulCharacter);
}

void CVBScriptParser::Expect(VBSToken kind, LONG lNumber) {
    if (m_tok.kind != kind) {
        Fail(lNumber);
    }
    Advance();
}

// A word that is a keyword only where it stands ("Step", "Explicit", "Error", …).
bool CVBScriptParser::IsWord(const char16_t* pszWord) const {
    return m_tok.kind == VBSToken::Identifier && !m_tok.bBracketed &&
           EqualsNoCase(m_tok.str, pszWord);
}

bool CVBScriptParser::AtEndOfStatement() const {
    switch (m_tok.kind) {
        case VBSToken::Newline:
        case VBSToken::Colon:
        case VBSToken::End:
            return true;
        case VBSToken::Else:
            return m_inlineDepth > 0;
        default:
            return false;
    }
}

void CVBScriptParser::ExpectEndOfStatement() {
    if (!AtEndOfStatement()) {
        Fail(VBSE_EXPECTED_END_OF_STATEMENT);
    }
}

ULONG CVBScriptParser::TakeIdentifier() {
    if (m_tok.kind != VBSToken::Identifier) {
        Fail(VBSE_EXPECTED_IDENTIFIER);
    }
    const ULONG name = m_ast.InternName(m_tok.str);
    Advance();
    return name;
}

ULONG CVBScriptParser::NewNode(VBSNodeKind kind) {
    return m_ast.AddNode(kind, m_tok.ulLine, m_tok.ulCharacter);
}

// Counts one level of nesting for the rest of the enclosing call (see NestingScope).
void CVBScriptParser::EnterNesting() {
    if (++m_nesting > MAX_NESTING) {
        Fail(VBSE_OUT_OF_MEMORY);
    }
}

// ---------------------------------------------------------------------------------
// Statements

void CVBScriptParser::ParseProgramText() {
    const ULONG program = m_ast.AddNode(VBSNodeKind::Program, 0, 0);
    std::vector<ULONG> statements;
    ParseStatements(statements);
    switch (m_tok.kind) {
        case VBSToken::End:
            break;
        case VBSToken::Next:
            Fail(VBSE_UNEXPECTED_NEXT);
        case VBSToken::Loop:
            Fail(VBSE_LOOP_WITHOUT_DO);
        default:
            Fail(VBSE_EXPECTED_STATEMENT);
    }
    m_ast.SetList(program, statements);
    m_ast.SetRoot(program);
}

// Statements up to the token that ends the enclosing block (left for the caller).
void CVBScriptParser::ParseStatements(std::vector<ULONG>& out) {
    for (;;) {
        if (m_tok.kind == VBSToken::Newline || m_tok.kind == VBSToken::Colon) {
            Advance();
            continue;
        }
        if (IsBlockEnd(m_tok.kind)) {
            return;
        }
        out.push_back(ParseStatement());
        if (m_blockDepth == 0 && m_proc == ProcContext::None) {
            m_bAnyStatement = true;
        }
        ExpectEndOfStatement();
    }
}

ULONG CVBScriptParser::ParseBlock() {
    const ULONG block = NewNode(VBSNodeKind::Block);
    std::vector<ULONG> statements;
    ++m_blockDepth;
    ParseStatements(statements);
    --m_blockDepth;
    m_ast.SetList(block, statements);
    return block;
}

ULONG CVBScriptParser::ParseStatement() {
    NestingScope nesting(m_nesting);
    EnterNesting();
    const VBScriptToken start = m_tok;
    switch (m_tok.kind) {
        case VBSToken::Dim:
            Advance();
            return ParseDim(VBSDecl::Dim, start);
        case VBSToken::Const:
            Advance();
            return ParseConst(VBSDecl::None, start);
        case VBSToken::Public:
        case VBSToken::Private:
            return ParseVisibility();
        case VBSToken::Sub:
        case VBSToken::Function:
        case VBSToken::Property:
            if (m_tok.kind == VBSToken::Property) {
                Fail(VBSE_MUST_BE_IN_CLASS);
            }
            return ParseProcedure(0, start);
        case VBSToken::Class:
            return ParseClass();
        case VBSToken::If:
            return ParseIf();
        case VBSToken::Select:
            return ParseSelect();
        case VBSToken::For:
            return ParseFor();
        case VBSToken::Do:
            return ParseDo();
        case VBSToken::While:
            return ParseWhile();
        case VBSToken::With:
            return ParseWith();
        case VBSToken::Option:
            return ParseOption();
        default:
            return ParseInlineStatement();
    }
}

// The statements that may also stand in a single-line If.
ULONG CVBScriptParser::ParseInlineStatement() {
    NestingScope nesting(m_nesting);
    EnterNesting();
    const VBScriptToken start = m_tok;
    switch (m_tok.kind) {
        case VBSToken::Dim:
            Advance();
            return ParseDim(VBSDecl::Dim, start);
        case VBSToken::Const:
            Advance();
            return ParseConst(VBSDecl::None, start);
        case VBSToken::ReDim:
            return ParseReDim();
        case VBSToken::Erase:
            return ParseErase();
        case VBSToken::Exit:
            return ParseExit();
        case VBSToken::Call:
            return ParseCall();
        case VBSToken::Set:
            return ParseSet();
        case VBSToken::On:
            return ParseOn();
        case VBSToken::If:
            if (m_inlineDepth == 0) {
                break;
            }
            return ParseIf();
        case VBSToken::Stop: {
            const ULONG node = NewNode(VBSNodeKind::Stop);
            Advance();
            return node;
        }
        case VBSToken::Identifier:
            if (IsWord(u"Randomize")) {
                return ParseRandomize();
            }
            return ParseCallOrAssign();
        case VBSToken::Dot:
        case VBSToken::Me:
            return ParseCallOrAssign();
        case VBSToken::Loop:
            Fail(VBSE_LOOP_WITHOUT_DO);
        case VBSToken::Next:
            Fail(VBSE_UNEXPECTED_NEXT);
        default:
            break;
    }
    Fail(VBSE_EXPECTED_STATEMENT);
}

// The statements of one part of a single-line If, up to the Else or the line's end.
void CVBScriptParser::ParseInlineList(std::vector<ULONG>& out) {
    ++m_inlineDepth;
    for (;;) {
        if (m_tok.kind == VBSToken::Colon) {
            Advance();
            continue;
        }
        if (m_tok.kind == VBSToken::Newline || m_tok.kind == VBSToken::End ||
            m_tok.kind == VBSToken::Else) {
            break;
        }
        out.push_back(ParseInlineStatement());
        ExpectEndOfStatement();
    }
    --m_inlineDepth;
}

ULONG CVBScriptParser::ParseIf() {
    const ULONG node = NewNode(VBSNodeKind::If);
    Advance();
    const ULONG condition = ParseExpr();
    Expect(VBSToken::Then, VBSE_EXPECTED_THEN);
    m_ast.Node(node).a = condition;

    if (m_tok.kind != VBSToken::Newline && m_tok.kind != VBSToken::End) {
        // Single-line form: everything up to the end of the line.
        m_ast.Node(node).wFlags |= VBSF_SINGLE_LINE;
        std::vector<ULONG> statements;
        const ULONG thenBlock = NewNode(VBSNodeKind::Block);
        ParseInlineList(statements);
        m_ast.SetList(thenBlock, statements);
        m_ast.Node(node).b = thenBlock;
        if (m_tok.kind == VBSToken::Else) {
            const ULONG elseBlock = NewNode(VBSNodeKind::Block);
            Advance();
            statements.clear();
            ParseInlineList(statements);
            m_ast.SetList(elseBlock, statements);
            m_ast.Node(node).c = elseBlock;
        }
        return node;
    }

    if (m_inlineDepth > 0) {
        // A block If cannot stand inside a single-line If.
        Fail(VBSE_EXPECTED_STATEMENT);
    }
    const ULONG thenBlock = ParseBlock();
    m_ast.Node(node).b = thenBlock;
    ULONG last = node;
    for (;;) {
        if (m_tok.kind == VBSToken::ElseIf) {
            const ULONG elseIf = NewNode(VBSNodeKind::If);
            m_ast.Node(elseIf).wFlags |= VBSF_ELSEIF;
            Advance();
            const ULONG elseIfCondition = ParseExpr();
            Expect(VBSToken::Then, VBSE_EXPECTED_THEN);
            const ULONG body = ParseBlock();
            m_ast.Node(elseIf).a = elseIfCondition;
            m_ast.Node(elseIf).b = body;
            m_ast.Node(last).c = elseIf;
            last = elseIf;
            continue;
        }
        if (m_tok.kind == VBSToken::Else) {
            Advance();
            const ULONG elseBlock = ParseBlock();
            m_ast.Node(last).c = elseBlock;
        }
        break;
    }
    Expect(VBSToken::End_, VBSE_EXPECTED_END);
    Expect(VBSToken::If, VBSE_EXPECTED_IF);
    return node;
}

ULONG CVBScriptParser::ParseSelect() {
    const ULONG node = NewNode(VBSNodeKind::Select);
    Advance();
    Expect(VBSToken::Case, VBSE_EXPECTED_CASE);
    const ULONG test = ParseExpr();
    m_ast.Node(node).a = test;
    ExpectEndOfStatement();
    std::vector<ULONG> cases;
    bool bElseSeen = false;
    for (;;) {
        while (m_tok.kind == VBSToken::Newline || m_tok.kind == VBSToken::Colon) {
            Advance();
        }
        if (m_tok.kind == VBSToken::End_) {
            Advance();
            Expect(VBSToken::Select, VBSE_EXPECTED_SELECT);
            break;
        }
        if (m_tok.kind != VBSToken::Case || bElseSeen) {
            Fail(cases.empty() ? VBSE_EXPECTED_CASE : VBSE_EXPECTED_END);
        }
        const ULONG clause = NewNode(VBSNodeKind::Case);
        Advance();
        std::vector<ULONG> values;
        if (m_tok.kind == VBSToken::Else) {
            Advance();
            m_ast.Node(clause).wFlags |= VBSF_CASE_ELSE;
            bElseSeen = true;
        } else {
            values.push_back(ParseExpr());
            while (m_tok.kind == VBSToken::Comma) {
                Advance();
                values.push_back(ParseExpr());
            }
        }
        ExpectEndOfStatement();
        m_ast.SetList(clause, values);
        const ULONG body = ParseBlock();
        m_ast.Node(clause).a = body;
        cases.push_back(clause);
    }
    m_ast.SetList(node, cases);
    return node;
}

ULONG CVBScriptParser::ParseFor() {
    const VBScriptToken start = m_tok;
    Advance();
    const bool bEach = m_tok.kind == VBSToken::Each;
    if (bEach) {
        Advance();
    }
    const ULONG node = m_ast.AddNode(bEach ? VBSNodeKind::ForEach : VBSNodeKind::For, start.ulLine,
                                     start.ulCharacter);
    const ULONG variable = TakeIdentifier();
    if (m_tok.kind == VBSToken::LParen || m_tok.kind == VBSToken::Dot) {
        Fail(VBSE_INVALID_FOR_CONTROL);
    }
    m_ast.Node(node).ulName = variable;
    if (bEach) {
        Expect(VBSToken::In, VBSE_EXPECTED_IN);
        const ULONG collection = ParseExpr();
        m_ast.Node(node).a = collection;
    } else {
        Expect(VBSToken::Equal, VBSE_EXPECTED_EQUAL);
        const ULONG from = ParseExpr();
        Expect(VBSToken::To, VBSE_EXPECTED_TO);
        const ULONG to = ParseExpr();
        ULONG step = VBS_NONE;
        if (IsWord(u"Step")) {
            Advance();
            step = ParseExpr();
        }
        VBSNode& forNode = m_ast.Node(node);
        forNode.a = from;
        forNode.b = to;
        forNode.c = step;
    }
    ExpectEndOfStatement();
    ++m_forDepth;
    const ULONG body = ParseBlock();
    --m_forDepth;
    Expect(VBSToken::Next, VBSE_EXPECTED_NEXT);
    const VBSNode& block = m_ast.Node(body);
    m_ast.Node(node).ulFirst = block.ulFirst;
    m_ast.Node(node).ulCount = block.ulCount;
    return node;
}

ULONG CVBScriptParser::ParseDo() {
    const ULONG node = NewNode(VBSNodeKind::Do);
    Advance();
    VBSLoop loop = VBSLoop::None;
    ULONG condition = VBS_NONE;
    if (m_tok.kind == VBSToken::While || m_tok.kind == VBSToken::Until) {
        loop = m_tok.kind == VBSToken::While ? VBSLoop::WhileTop : VBSLoop::UntilTop;
        Advance();
        condition = ParseExpr();
    }
    if (!AtEndOfStatement()) {
        Fail(VBSE_EXPECTED_WHILE_UNTIL_EOS);
    }
    ++m_doDepth;
    const ULONG body = ParseBlock();
    --m_doDepth;
    Expect(VBSToken::Loop, VBSE_EXPECTED_LOOP);
    if (m_tok.kind == VBSToken::While || m_tok.kind == VBSToken::Until) {
        if (loop != VBSLoop::None) {
            Fail(VBSE_EXPECTED_END_OF_STATEMENT);
        }
        loop = m_tok.kind == VBSToken::While ? VBSLoop::WhileBottom : VBSLoop::UntilBottom;
        Advance();
        condition = ParseExpr();
    } else if (!AtEndOfStatement()) {
        Fail(loop == VBSLoop::None ? VBSE_EXPECTED_WHILE_UNTIL_EOS
                                   : VBSE_EXPECTED_END_OF_STATEMENT);
    }
    VBSNode& doNode = m_ast.Node(node);
    doNode.bOp = static_cast<std::uint8_t>(loop);
    doNode.a = condition;
    const VBSNode& block = m_ast.Node(body);
    doNode.ulFirst = block.ulFirst;
    doNode.ulCount = block.ulCount;
    return node;
}

ULONG CVBScriptParser::ParseWhile() {
    const ULONG node = NewNode(VBSNodeKind::While);
    Advance();
    const ULONG condition = ParseExpr();
    ExpectEndOfStatement();
    const ULONG body = ParseBlock();
    Expect(VBSToken::Wend, VBSE_EXPECTED_WEND);
    VBSNode& whileNode = m_ast.Node(node);
    whileNode.a = condition;
    whileNode.ulFirst = m_ast.Node(body).ulFirst;
    whileNode.ulCount = m_ast.Node(body).ulCount;
    return node;
}

ULONG CVBScriptParser::ParseWith() {
    const ULONG node = NewNode(VBSNodeKind::With);
    Advance();
    const ULONG object = ParseExpr();
    ExpectEndOfStatement();
    const ULONG body = ParseBlock();
    Expect(VBSToken::End_, VBSE_EXPECTED_END);
    Expect(VBSToken::With, VBSE_EXPECTED_WITH);
    VBSNode& withNode = m_ast.Node(node);
    withNode.a = object;
    withNode.ulFirst = m_ast.Node(body).ulFirst;
    withNode.ulCount = m_ast.Node(body).ulCount;
    return node;
}

ULONG CVBScriptParser::ParseExit() {
    const ULONG node = NewNode(VBSNodeKind::Exit);
    Advance();
    VBSExit what;
    bool bValid = false;
    switch (m_tok.kind) {
        case VBSToken::Do:
            what = VBSExit::Do;
            bValid = m_doDepth > 0;
            break;
        case VBSToken::For:
            what = VBSExit::For;
            bValid = m_forDepth > 0;
            break;
        case VBSToken::Function:
            what = VBSExit::Function;
            bValid = m_proc == ProcContext::Function;
            break;
        case VBSToken::Sub:
            what = VBSExit::Sub;
            bValid = m_proc == ProcContext::Sub;
            break;
        case VBSToken::Property:
            what = VBSExit::Property;
            bValid = m_proc == ProcContext::Property;
            break;
        default:
            Fail(VBSE_INVALID_EXIT);
    }
    if (!bValid) {
        FailAtNode(VBSE_INVALID_EXIT, node);
    }
    Advance();
    m_ast.Node(node).bOp = static_cast<std::uint8_t>(what);
    return node;
}

ULONG CVBScriptParser::ParseOn() {
    const VBScriptToken start = m_tok;
    Advance();
    if (!IsWord(u"Error")) {
        Fail(VBSE_SYNTAX_ERROR);
    }
    Advance();
    VBSNodeKind kind;
    if (IsWord(u"Resume")) {
        Advance();
        Expect(VBSToken::Next, VBSE_EXPECTED_NEXT);
        kind = VBSNodeKind::OnErrorResumeNext;
    } else if (IsWord(u"GoTo")) {
        Advance();
        // Only "GoTo 0" exists: the language has no labels.
        if (m_tok.kind != VBSToken::Integer || m_tok.lValue != 0 || m_tok.ulLength != 1) {
            Fail(VBSE_SYNTAX_ERROR);
        }
        Advance();
        kind = VBSNodeKind::OnErrorGoto0;
    } else {
        Fail(VBSE_SYNTAX_ERROR);
    }
    return m_ast.AddNode(kind, start.ulLine, start.ulCharacter);
}

ULONG CVBScriptParser::ParseOption() {
    // Option Explicit must come before every other statement of the script.
    if (m_bAnyStatement || m_blockDepth > 0 || m_proc != ProcContext::None || m_pClass) {
        Fail(VBSE_EXPECTED_STATEMENT);
    }
    const ULONG node = NewNode(VBSNodeKind::OptionExplicit);
    Advance();
    if (!IsWord(u"Explicit")) {
        Fail(VBSE_SYNTAX_ERROR);
    }
    Advance();
    return node;
}

ULONG CVBScriptParser::ParseRandomize() {
    const ULONG node = NewNode(VBSNodeKind::Randomize);
    Advance();
    if (!AtEndOfStatement()) {
        const ULONG seed = ParseExpr();
        m_ast.Node(node).a = seed;
    }
    return node;
}

// Call name[(arguments)]
ULONG CVBScriptParser::ParseCall() {
    const ULONG node = NewNode(VBSNodeKind::Call);
    Advance();
    if (m_tok.kind != VBSToken::Identifier && m_tok.kind != VBSToken::Dot &&
        m_tok.kind != VBSToken::Me) {
        Fail(VBSE_EXPECTED_IDENTIFIER);
    }
    ULONG callee = ParseTarget();
    const VBSNode& target = m_ast.Node(callee);
    VBSNode& call = m_ast.Node(node);
    call.wFlags |= VBSF_CALL_KEYWORD;
    if (target.kind == VBSNodeKind::Index) {
        call.ulFirst = target.ulFirst;
        call.ulCount = target.ulCount;
        callee = target.a;
    } else if (target.kind == VBSNodeKind::Me) {
        FailAtNode(VBSE_INVALID_USE_OF_ME, callee);
    }
    m_ast.Node(node).a = callee;
    return node;
}

ULONG CVBScriptParser::ParseSet() {
    const ULONG node = NewNode(VBSNodeKind::Set);
    Advance();
    if (m_tok.kind != VBSToken::Identifier && m_tok.kind != VBSToken::Dot &&
        m_tok.kind != VBSToken::Me) {
        Fail(VBSE_EXPECTED_IDENTIFIER);
    }
    const ULONG target = ParseTarget();
    if (m_ast.Node(target).kind == VBSNodeKind::Me) {
        FailAtNode(VBSE_INVALID_USE_OF_ME, target);
    }
    Expect(VBSToken::Equal, VBSE_EXPECTED_EQUAL);
    const ULONG value = ParseExpr();
    m_ast.Node(node).a = target;
    m_ast.Node(node).b = value;
    return node;
}

// An assignment ("x = 1", "a.b(2) = 3") or a call without "Call": "foo", "foo a, b",
// "foo (a)" (the argument in parentheses is passed by value), "obj.Method a".
ULONG CVBScriptParser::ParseCallOrAssign() {
    const VBScriptToken start = m_tok;
    const ULONG target = ParseTarget();
    const VBSNode targetNode = m_ast.Node(target);
    if (m_tok.kind == VBSToken::Equal) {
        if (targetNode.kind == VBSNodeKind::Me) {
            FailAtNode(VBSE_INVALID_USE_OF_ME, target);
        }
        const ULONG node = m_ast.AddNode(VBSNodeKind::Assign, start.ulLine, start.ulCharacter);
        Advance();
        const ULONG value = ParseExpr();
        m_ast.Node(node).a = target;
        m_ast.Node(node).b = value;
        return node;
    }
    if (targetNode.kind == VBSNodeKind::Me) {
        FailAtNode(VBSE_INVALID_USE_OF_ME, target);
    }
    const ULONG node = m_ast.AddNode(VBSNodeKind::Call, start.ulLine, start.ulCharacter);
    std::vector<ULONG> arguments;
    ULONG callee = target;
    const bool bParens = targetNode.kind == VBSNodeKind::Index;
    if (bParens) {
        callee = targetNode.a;
        const std::span<const ULONG> inner = m_ast.Children(targetNode);
        if (inner.size() >= 2) {
            // "foo(a, b)" is a Sub call with parentheses; "foo(a, b) c" is no statement.
            if (AtEndOfStatement()) {
                FailAtNode(VBSE_NO_PARENS_CALLING_SUB, target);
            }
            Fail(VBSE_EXPECTED_END_OF_STATEMENT);
        }
        if (inner.size() == 1) {
            if (m_ast.Node(inner[0]).kind == VBSNodeKind::Missing) {
                FailAtNode(VBSE_EXPECTED_EXPRESSION, inner[0]);
            }
            const ULONG paren =
                m_ast.AddNode(VBSNodeKind::Paren, targetNode.ulLine, targetNode.ulCharacter);
            m_ast.Node(paren).a = inner[0];
            // The parenthesised argument may go on as an expression: "foo (a) + 1, b".
            arguments.push_back(AtEndOfStatement() ? paren : ParseExprFrom(paren));
        } else if (!AtEndOfStatement()) {
            Fail(VBSE_EXPECTED_END_OF_STATEMENT);
        }
    }
    if (!bParens && !AtEndOfStatement()) {
        if (m_tok.kind == VBSToken::Comma) {
            arguments.push_back(NewNode(VBSNodeKind::Missing));
        } else {
            arguments.push_back(ParseExpr());
        }
    }
    while (m_tok.kind == VBSToken::Comma) {
        Advance();
        if (m_tok.kind == VBSToken::Comma || AtEndOfStatement()) {
            arguments.push_back(NewNode(VBSNodeKind::Missing));
        } else {
            arguments.push_back(ParseExpr());
        }
    }
    m_ast.Node(node).a = callee;
    m_ast.SetList(node, arguments);
    return node;
}
