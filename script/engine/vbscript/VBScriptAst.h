// The syntax tree of a VBScript program or expression, as the parser builds it and the
// compiler reads it.
//
// All nodes of one tree live in one vector and refer to each other by index, so a
// tree is a handful of flat arrays: cheap to copy, free of recursion on destruction,
// and with no pointers to fix up. Each node has a kind, a small operator or variant
// field (`bOp`), flags, the position of the token that starts it (line and character,
// from 0), a name, three child slots (`a`, `b`, `c`) and one child list (`ulFirst`,
// `ulCount` into the list array). VBS_NONE marks an empty slot.
//
// Names are interned: `ulName` indexes the spellings as written, and NameKey() gives
// the same number for every spelling that differs only in letter case, so the compiler
// can resolve names by number. Literal values are kept apart from any runtime value
// type: an Integer, Long, Double, String, Boolean or Date literal (the date as the text
// written between the number signs).
//
// Node layout by kind (slots not named are VBS_NONE or 0):
//
//   Literal      a = literal index
//   Empty, Null, Nothing, Me, Missing (an omitted argument)
//   Name         ulName
//   Member       a = object, ulName = member          (obj.member)
//   WithMember   ulName                               (.member inside With)
//   Index        a = callee, list = arguments          (f(x, y): call or array index)
//   Paren        a = inner expression                  ((x): passed by value)
//   Unary        bOp = VBSOp::Neg, Plus or Not, a
//   Binary       bOp = operator, a = left, b = right
//   New          ulName = class
//
//   Program      list = statements
//   Block        list = statements (or parameters of a procedure)
//   Assign, Set  a = target, b = value
//   Call         a = callee (Name, Member, WithMember, Index), list = arguments;
//                flag VBSF_CALL_KEYWORD when written with "Call"
//   Dim          bOp = VBSDecl (Dim, Public, Private), list = VarDecl
//   VarDecl      ulName, list = upper bounds (Literal); flag VBSF_ARRAY for "x()" too
//   ReDim        flag VBSF_PRESERVE, list = ReDimItem
//   ReDimItem    ulName, list = upper bounds (expressions)
//   Erase        ulName
//   Const        bOp = VBSDecl, list = ConstDecl
//   ConstDecl    ulName, a = value (Literal, or Unary Neg/Plus of a Literal)
//   Procedure    bOp = VBSProc, ulName, a = Block of Param, list = body;
//                flags VBSF_PUBLIC, VBSF_PRIVATE, VBSF_DEFAULT
//   Param        ulName; flags VBSF_BYVAL, VBSF_BYREF, VBSF_ARRAY
//   Class        ulName, list = members (Dim, Procedure)
//   If           a = condition, b = Block (then), c = Block (else) or If (ElseIf) or
//                VBS_NONE; flag VBSF_SINGLE_LINE, VBSF_ELSEIF on an ElseIf
//   Select       a = test expression, list = Case
//   Case         list = match expressions, a = Block; flag VBSF_CASE_ELSE
//   For          ulName = control variable, a = start, b = end, c = step or VBS_NONE,
//                list = body
//   ForEach      ulName, a = collection, list = body
//   Do           bOp = VBSLoop, a = condition or VBS_NONE, list = body
//   While        a = condition, list = body
//   With         a = object, list = body
//   Exit         bOp = VBSExit
//   OptionExplicit, OnErrorResumeNext, OnErrorGoto0, Stop
//   Randomize    a = seed or VBS_NONE
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "com/Types.h"

inline constexpr ULONG VBS_NONE = 0xFFFFFFFFu;

enum class VBSNodeKind : std::uint8_t {
    Literal,
    Empty,
    Null,
    Nothing,
    Me,
    Missing,
    Name,
    Member,
    WithMember,
    Index,
    Paren,
    Unary,
    Binary,
    New,
    Program,
    Block,
    Assign,
    Set,
    Call,
    Dim,
    VarDecl,
    ReDim,
    ReDimItem,
    Erase,
    Const,
    ConstDecl,
    Procedure,
    Param,
    Class,
    If,
    Select,
    Case,
    For,
    ForEach,
    Do,
    While,
    With,
    Exit,
    OptionExplicit,
    OnErrorResumeNext,
    OnErrorGoto0,
    Stop,
    Randomize,
};

// Operators, in groups of equal precedence from the tightest binding.
enum class VBSOp : std::uint8_t {
    Pow,
    Neg,
    Plus,  // unary plus
    Mul,
    Div,
    IntDiv,
    Mod,
    Add,
    Sub,
    Concat,
    Eq,
    Ne,
    Lt,
    Gt,
    Le,
    Ge,
    Is,
    Not,
    And,
    Or,
    Xor,
    Eqv,
    Imp,
};

enum class VBSDecl : std::uint8_t { Dim, Public, Private, None };
enum class VBSProc : std::uint8_t { Sub, Function, PropertyGet, PropertyLet, PropertySet };
enum class VBSLoop : std::uint8_t { None, WhileTop, UntilTop, WhileBottom, UntilBottom };
enum class VBSExit : std::uint8_t { Do, For, Function, Property, Sub };

enum VBSNodeFlags : std::uint16_t {
    VBSF_CALL_KEYWORD = 0x0001,
    VBSF_ARRAY = 0x0002,
    VBSF_PRESERVE = 0x0004,
    VBSF_PUBLIC = 0x0008,
    VBSF_PRIVATE = 0x0010,
    VBSF_DEFAULT = 0x0020,
    VBSF_BYVAL = 0x0040,
    VBSF_BYREF = 0x0080,
    VBSF_SINGLE_LINE = 0x0100,
    VBSF_ELSEIF = 0x0200,
    VBSF_CASE_ELSE = 0x0400,
};

struct VBSNode {
    VBSNodeKind kind;
    std::uint8_t bOp = 0;
    std::uint16_t wFlags = 0;
    ULONG ulLine = 0;
    ULONG ulCharacter = 0;
    ULONG ulName = VBS_NONE;
    ULONG a = VBS_NONE;
    ULONG b = VBS_NONE;
    ULONG c = VBS_NONE;
    ULONG ulFirst = 0;
    ULONG ulCount = 0;
};

enum class VBSLiteralType : std::uint8_t { Integer, Long, Double, String, Boolean, Date };

struct VBSLiteral {
    VBSLiteralType type = VBSLiteralType::Integer;
    std::int32_t lValue = 0;  // Integer, Long; Boolean as -1 or 0
    double dblValue = 0;      // Double
    std::u16string str;       // String; Date as written
};

class CVBScriptAst {
public:
    // The root: a Program node, or the expression of an expression parse.
    ULONG Root() const { return m_ulRoot; }
    void SetRoot(ULONG id) { m_ulRoot = id; }

    const VBSNode& Node(ULONG id) const { return m_nodes[id]; }
    VBSNode& Node(ULONG id) { return m_nodes[id]; }
    std::size_t NodeCount() const { return m_nodes.size(); }
    std::span<const ULONG> Children(const VBSNode& node) const {
        return {m_lists.data() + node.ulFirst, node.ulCount};
    }

    const VBSLiteral& Literal(ULONG id) const { return m_literals[id]; }
    // The name as written at the place the id was interned.
    const std::u16string& Name(ULONG id) const { return m_names[id]; }
    // One number for all spellings of a name that differ only in letter case.
    ULONG NameKey(ULONG id) const { return m_nameKeys[id]; }
    std::size_t NameCount() const { return m_names.size(); }

    // Building (used by the parser).
    ULONG AddNode(VBSNodeKind kind, ULONG ulLine, ULONG ulCharacter);
    ULONG AddLiteral(VBSLiteral literal);
    ULONG InternName(std::u16string_view name);
    // Stores a child list on the node.
    void SetList(ULONG id, std::span<const ULONG> children);

private:
    std::vector<VBSNode> m_nodes;
    std::vector<ULONG> m_lists;
    std::vector<VBSLiteral> m_literals;
    std::vector<std::u16string> m_names;
    std::vector<ULONG> m_nameKeys;
    std::unordered_map<std::u16string, ULONG> m_nameIds;     // spelling -> id
    std::unordered_map<std::u16string, ULONG> m_nameKeyIds;  // upper case -> key
    ULONG m_ulRoot = VBS_NONE;
};
