// A compact S-expression form of a VBScript syntax tree, for tests and diagnostics.
//
// Atoms: names as written, Integer literals as digits, Long literals with "&" and
// Double literals with "#" after them (the language's own type suffixes), strings in
// double quotes with inner quotes doubled, dates between number signs, True, False,
// Empty, Null, Nothing, Me, and "_" for an omitted argument. Everything else is a list
// headed by a short word: (let target value), (set target value), (call f args...),
// (idx f args...), (. object member), (+ a b), (neg a), (if c (then ...) (else ...)),
// (for i from to (step s) ...), (sub public Name (params) ...), and so on; see the
// source for the full list. With positions on, each head and atom carries
// "@line:character" of its node.
#pragma once

#include <string>

#include "script/engine/vbscript/VBScriptAst.h"

class CVBScriptAstDump {
public:
    // The node and everything under it, on one line, UTF-8.
    static std::string Dump(const CVBScriptAst& ast, ULONG id, bool bPositions = false);
    // The statements of a Program root separated by single spaces (without the
    // surrounding "(program ...)"), or the expression of an expression parse.
    static std::string DumpRoot(const CVBScriptAst& ast, bool bPositions = false);

private:
    CVBScriptAstDump(const CVBScriptAst& ast, bool bPositions)
        : m_ast(ast), m_bPositions(bPositions) {}
    void Node(ULONG id);
    void Open(const char* pszHead, const VBSNode& node);
    void Atom(const std::string& text, const VBSNode& node);
    void List(const VBSNode& node);
    void Close() { m_out.push_back(')'); }
    void Literal(const VBSNode& node);
    void Name(ULONG name);
    void Position(const VBSNode& node);

    const CVBScriptAst& m_ast;
    bool m_bPositions;
    std::string m_out;
};
