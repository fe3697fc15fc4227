// The VBScript parser: a pure function from script text to a syntax tree or a
// compilation error.
//
// ParseProgram reads a whole script (a script block of a page, or the text that
// Execute and ExecuteGlobal run); ParseExpression reads the single expression that Eval
// evaluates. Both take UTF-16 text and fill either the tree or the error record (number,
// line and character); they keep no state between calls and touch nothing global.
//
// Besides the grammar, the parser checks the rules the language reports at compile
// time: where declarations may stand, names declared twice in one scope, Exit
// statements outside their construct, the rules of classes (default members, property
// argument counts, arguments of Class_Initialize and Class_Terminate), and calls of a
// Sub with parentheses around more than one argument.
//
// Nesting is bounded (MAX_NESTING levels of statements and expressions together), so
// no script can exhaust the stack of the parser or of whatever walks its tree later; a
// script nested deeper fails with error 1001 ("Out of memory"), as does a text too long
// to address.
#pragma once

#include <string_view>
#include <unordered_map>
#include <vector>

#include "com/HResult.h"
#include "script/engine/vbscript/VBScriptAst.h"
#include "script/engine/vbscript/VBScriptCompileError.h"
#include "script/engine/vbscript/VBScriptLexer.h"

class CVBScriptParser {
public:
    static constexpr unsigned MAX_NESTING = 200;
    static constexpr std::size_t MAX_TEXT = 0x7FFFFFFF;

    // S_OK with the tree in `ast` (root: a Program node); on a compilation error, the
    // error's status (0x800A0000 + number) with `error` filled and `ast` unchanged;
    // E_OUTOFMEMORY when memory runs out.
    static HRESULT ParseProgram(std::u16string_view text, CVBScriptAst& ast,
                                CVBScriptCompileError& error);
    // As ParseProgram, for one expression; the root is the expression.
    static HRESULT ParseExpression(std::u16string_view text, CVBScriptAst& ast,
                                   CVBScriptCompileError& error);

private:
    // A compilation error on its way out to the entry point.
    struct Failure {
        LONG lNumber;
        ULONG ulLine;
        ULONG ulCharacter;
    };
    enum class ProcContext : std::uint8_t { None, Sub, Function, Property };
    // What a name in one scope was declared as; property kinds may share a name.
    enum DeclBits : std::uint8_t { DECL_PLAIN = 1, DECL_GET = 2, DECL_LET = 4, DECL_SET = 8 };
    struct PropertyArgs {
        int get = -1;
        int let = -1;
        int set = -1;
    };
    struct ClassState {
        bool bHasDefault = false;
        std::unordered_map<ULONG, PropertyArgs> properties;
    };

    // Restores the nesting count when the parse of a nested construct returns.
    class NestingScope {
    public:
        explicit NestingScope(unsigned& counter) : m_counter(counter), m_saved(counter) {}
        ~NestingScope() { m_counter = m_saved; }
        NestingScope(const NestingScope&) = delete;
        NestingScope& operator=(const NestingScope&) = delete;

    private:
        unsigned& m_counter;
        unsigned m_saved;
    };

    CVBScriptParser(std::u16string_view text, CVBScriptAst& ast);
    template <class Body>
    static HRESULT Run(std::u16string_view text, CVBScriptAst& ast, CVBScriptCompileError& error,
                       const char* pszOperation, Body body);

    // Tokens.
    void Advance();
    const VBScriptToken& Peek();
    [[noreturn]] void Fail(LONG lNumber);
    [[noreturn]] void FailAt(LONG lNumber, ULONG ulLine, ULONG ulCharacter);
    [[noreturn]] void FailAtNode(LONG lNumber, ULONG id);
    void Expect(VBSToken kind, LONG lNumber);
    bool IsWord(const char16_t* pszWord) const;
    bool AtEndOfStatement() const;
    void ExpectEndOfStatement();
    ULONG TakeIdentifier();
    ULONG NewNode(VBSNodeKind kind);
    void EnterNesting();

    // Statements.
    void ParseProgramText();
    void ParseStatements(std::vector<ULONG>& out);
    ULONG ParseBlock();
    ULONG ParseStatement();
    ULONG ParseInlineStatement();
    void ParseInlineList(std::vector<ULONG>& out);
    ULONG ParseIf();
    ULONG ParseSelect();
    ULONG ParseFor();
    ULONG ParseDo();
    ULONG ParseWhile();
    ULONG ParseWith();
    ULONG ParseExit();
    ULONG ParseOn();
    ULONG ParseOption();
    ULONG ParseRandomize();
    ULONG ParseCall();
    ULONG ParseSet();
    ULONG ParseCallOrAssign();
    ULONG ParseDim(VBSDecl decl, const VBScriptToken& start);
    ULONG ParseConst(VBSDecl decl, const VBScriptToken& start);
    ULONG ParseReDim();
    ULONG ParseErase();
    ULONG ParseVisibility();
    ULONG ParseProcedure(std::uint16_t wFlags, const VBScriptToken& start);
    ULONG ParseClass();
    ULONG ParseClassMember();

    // Expressions.
    ULONG ParseExpr(int minPrecedence = 1);
    ULONG ParseExprFrom(ULONG seed);
    ULONG ParseOperand();
    ULONG ParsePrimary();
    ULONG ParsePostfix(ULONG node);
    ULONG ParseTarget();
    void ParseParenArguments(std::vector<ULONG>& out);
    ULONG ParseLiteralConstant();
    ULONG ParseLiteralToken();

    // Scopes and declarations.
    void Declare(ULONG name, std::uint8_t kind, const VBScriptToken& at, std::size_t scope);
    void CheckClassProcedure(VBSProc kind, ULONG name, std::uint16_t wFlags, std::size_t params,
                             const VBScriptToken& nameToken, const VBScriptToken& start);

    CVBScriptLexer m_lexer;
    CVBScriptAst& m_ast;
    VBScriptToken m_tok;
    VBScriptToken m_peek;
    bool m_bHavePeek = false;

    unsigned m_nesting = 0;
    unsigned m_blockDepth = 0;   // statement blocks around the current statement
    unsigned m_inlineDepth = 0;  // single-line If statements around it
    unsigned m_forDepth = 0;
    unsigned m_doDepth = 0;
    bool m_bAnyStatement = false;
    ProcContext m_proc = ProcContext::None;
    ClassState* m_pClass = nullptr;
    ULONG m_seed = VBS_NONE;
    std::vector<std::unordered_map<ULONG, std::uint8_t>> m_scopes;
};
