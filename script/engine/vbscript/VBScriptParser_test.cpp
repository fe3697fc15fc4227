// Tests of the VBScript parser: the tree it builds for each construct (as the
// S-expression dump), positions, page scripts as the page compiler generates them, and
// the limits on nesting and size.
#include "script/engine/vbscript/VBScriptParser.h"

#include <gtest/gtest.h>

#include <string>

#include "com/Strings.h"
#include "script/engine/vbscript/VBScriptAstDump.h"

namespace {

std::string ParseToDump(const std::u16string& text, bool bPositions = false) {
    CVBScriptAst ast;
    CVBScriptCompileError error;
    const HRESULT hr = CVBScriptParser::ParseProgram(text, ast, error);
    if (FAILED(hr)) {
        return "error " + std::to_string(error.m_lNumber) + " at " +
               std::to_string(error.m_ulLine) + ":" + std::to_string(error.m_ulCharacter);
    }
    return CVBScriptAstDump::DumpRoot(ast, bPositions);
}

std::string ExpressionToDump(const std::u16string& text) {
    CVBScriptAst ast;
    CVBScriptCompileError error;
    const HRESULT hr = CVBScriptParser::ParseExpression(text, ast, error);
    if (FAILED(hr)) {
        return "error " + std::to_string(error.m_lNumber) + " at " +
               std::to_string(error.m_ulLine) + ":" + std::to_string(error.m_ulCharacter);
    }
    return CVBScriptAstDump::DumpRoot(ast);
}

struct AstCase {
    const char* source;  // UTF-8
    const char* expected;
};

void RunCases(const AstCase* first, const AstCase* last) {
    for (const AstCase* c = first; c != last; ++c) {
        SCOPED_TRACE(c->source);
        EXPECT_EQ(ParseToDump(Utf8ToUtf16(c->source)), c->expected);
    }
}

TEST(VBScriptParserTest, ExpressionsFollowTheLanguagesPrecedence) {
    const AstCase cases[] = {
        {"x = 1 + 2 * 3", "(let x (+ 1 (* 2 3)))"},
        {"x = 1 - 2 - 3", "(let x (- (- 1 2) 3))"},
        {"x = 2 ^ 3 ^ 2", "(let x (^ (^ 2 3) 2))"},
        {"x = -2 ^ 2", "(let x (neg (^ 2 2)))"},
        {"x = 2 ^ -2", "(let x (^ 2 (neg 2)))"},
        {"x = -a * b", "(let x (* (neg a) b))"},
        {"x = a * b \\ c", "(let x (\\ (* a b) c))"},
        {"x = a \\ b Mod c", "(let x (mod (\\ a b) c))"},
        {"x = a Mod b + c", "(let x (+ (mod a b) c))"},
        {"x = a + b & c", "(let x (& (+ a b) c))"},
        {"x = a & b = c", "(let x (= (& a b) c))"},
        {"x = a < b = c", "(let x (= (< a b) c))"},
        {"x = Not a = b", "(let x (not (= a b)))"},
        {"x = Not a And b", "(let x (and (not a) b))"},
        {"x = a And b Or c Xor d Eqv e Imp f", "(let x (imp (eqv (xor (or (and a b) c) d) e) f))"},
        {"x = a Is Nothing", "(let x (is a Nothing))"},
        {"x = a <> b Or a <= b Or a >= b", "(let x (or (or (<> a b) (<= a b)) (>= a b)))"},
        {"x = (1 + 2) * 3", "(let x (* (paren (+ 1 2)) 3))"},
        {"x = - - 1", "(let x (neg (neg 1)))"},
        {"x = +1", "(let x (plus 1))"},
        {"x = Not Not y", "(let x (not (not y)))"},
        {"x = a = Not b", "(let x (= a (not b)))"},
        {"x = \"a\" &1", "(let x (& \"a\" 1))"},
        {"x = 70000 + 1.5 + 1e2", "(let x (+ (+ 70000& 1.5#) 100#))"},
        {"x = \"say \"\"hi\"\"\"", "(let x \"say \"\"hi\"\"\")"},
        {"x = #12/31/1999 23:59#", "(let x #12/31/1999 23:59#)"},
        {"x = True Or False", "(let x (or True False))"},
        {"x = Empty : y = Null : Set z = Nothing", "(let x Empty) (let y Null) (set z Nothing)"},
    };
    RunCases(std::begin(cases), std::end(cases));
}

TEST(VBScriptParserTest, MembersIndexesAndCalls) {
    const AstCase cases[] = {
        {"x = a.b(1).c", "(let x (. (idx (. a b) 1) c))"},
        {"a.b(1).c = 2", "(let (. (idx (. a b) 1) c) 2)"},
        {"x(1, 2) = 3", "(let (idx x 1 2) 3)"},
        {"x = f()", "(let x (idx f))"},
        {"x = f(, 2)", "(let x (idx f _ 2))"},
        {"foo", "(call foo)"},
        {"foo()", "(call foo)"},
        {"foo a, b", "(call foo a b)"},
        {"foo (a)", "(call foo (paren a))"},
        {"foo(a)", "(call foo (paren a))"},
        {"foo (a), b", "(call foo (paren a) b)"},
        {"foo (a) + 1, b", "(call foo (+ (paren a) 1) b)"},
        {"foo a, , c", "(call foo a _ c)"},
        {"foo , b", "(call foo _ b)"},
        {"foo -1", "(call foo (neg 1))"},
        {"obj.method a", "(call (. obj method) a)"},
        {"obj.method(a)", "(call (. obj method) (paren a))"},
        {"Response.End", "(call (. Response End))"},
        {"Response.Write (\"x\")", "(call (. Response Write) (paren \"x\"))"},
        {"Call foo", "(call-kw foo)"},
        {"Call foo(a, b)", "(call-kw foo a b)"},
        {"Call a.b(1).c(2)", "(call-kw (. (idx (. a b) 1) c) 2)"},
        {"Set x = New Dictionary", "(set x (new Dictionary))"},
        {"Set o.p = Me", "(set (. o p) Me)"},
        {"x = Me.Name", "(let x (. Me Name))"},
        {"[my var] = [End]", "(let my var End)"},
    };
    RunCases(std::begin(cases), std::end(cases));
}

TEST(VBScriptParserTest, DeclarationsAndSimpleStatements) {
    const AstCase cases[] = {
        {"Option Explicit\nDim a, b(10), c(2, 3), d()",
         "(option-explicit) (dim a (b 10) (c 2 3) (d))"},
        {"ReDim Preserve a(n + 1), b(2, 3)", "(redim-preserve (a (+ n 1)) (b 2 3))"},
        {"ReDim a(5)", "(redim (a 5))"},
        {"Erase a", "(erase a)"},
        {"Const a = 1, b = \"s\", c = -2.5, d = #1/1/2000#",
         "(const (a 1) (b \"s\") (c (neg 2.5#)) (d #1/1/2000#))"},
        {"Public Const P = True\nPrivate Const Q = Nothing",
         "(public-const (P True)) (private-const (Q Nothing))"},
        {"Public x, y(3)\nPrivate z", "(public x (y 3)) (private z)"},
        {"On Error Resume Next\nOn Error GoTo 0", "(on-error-resume-next) (on-error-goto-0)"},
        {"Randomize\nRandomize 42\nStop", "(randomize) (randomize 42) (stop)"},
        {"x = 1 ' comment\nRem another\ny = 2", "(let x 1) (let y 2)"},
        {"x = 1 + _\n  2", "(let x (+ 1 2))"},
        {"a = 1 : b = 2 :: c = 3", "(let a 1) (let b 2) (let c 3)"},
    };
    RunCases(std::begin(cases), std::end(cases));
}

TEST(VBScriptParserTest, ControlFlow) {
    const AstCase cases[] = {
        {"If a Then\n x = 1\nElseIf b Then\n x = 2\nElse\n x = 3\nEnd If",
         "(if a (then (let x 1)) (elseif b (then (let x 2)) (else (let x 3))))"},
        {"If a Then b = 1 : c Else d", "(if1 a (then (let b 1) (call c)) (else (call d)))"},
        {"If a Then x = 1", "(if1 a (then (let x 1)))"},
        {"If a Then If b Then c Else d Else e",
         "(if1 a (then (if1 b (then (call c)) (else (call d)))) (else (call e)))"},
        {"If a Then ' comment\n x\nEnd If", "(if a (then (call x)))"},
        {"If a Then\nElse x\nEnd If", "(if a (then) (else (call x)))"},
        {"Select Case x\nCase 1, 2\n a\nCase \"s\"\nCase Else\n b\nEnd Select",
         "(select x (case (1 2) (call a)) (case (\"s\")) (case-else (call b)))"},
        {"Select Case x\nEnd Select", "(select x)"},
        {"For i = 1 To 10 Step -2\n x = i\nNext", "(for i 1 10 (step (neg 2)) (let x i))"},
        {"For i = a To b : Next", "(for i a b)"},
        {"For Each v In coll\n Exit For\nNext", "(for-each v coll (exit-for))"},
        {"Do While a < 3\n a = a + 1\nLoop", "(do-while (< a 3) (let a (+ a 1)))"},
        {"Do Until a\nLoop", "(do-until a)"},
        {"Do\n Exit Do\nLoop While a", "(do-loop-while a (exit-do))"},
        {"Do\nLoop Until a", "(do-loop-until a)"},
        {"Do\nLoop", "(do)"},
        {"While a\n a = a - 1\nWend", "(while a (let a (- a 1)))"},
        {"With obj\n .x = 1\n .y.z 2\n w = .v\nEnd With",
         "(with obj (let (. x) 1) (call (. (. y) z) 2) (let w (. v)))"},
        {"For i = 1 To 2\n Do\n  If i Then Exit For\n Loop\nNext",
         "(for i 1 2 (do (if1 i (then (exit-for)))))"},
    };
    RunCases(std::begin(cases), std::end(cases));
}

TEST(VBScriptParserTest, ProceduresAndClasses) {
    const AstCase cases[] = {
        {"Sub S\nEnd Sub", "(sub S ())"},
        {"Sub S(a, ByVal b, ByRef c, d())\n Exit Sub\nEnd Sub",
         "(sub S (a (byval b) (byref c) d()) (exit-sub))"},
        {"Private Function F(x)\n F = x * 2\n Exit Function\nEnd Function",
         "(function private F (x) (let F (* x 2)) (exit-function))"},
        {"Class C\n"
         " Private m_v\n"
         " Public Name, Items(3)\n"
         " Dim d\n"
         " Public Default Property Get Value(i)\n  Value = m_v\n  Exit Property\n End Property\n"
         " Public Property Let Value(i, v)\n  m_v = v\n End Property\n"
         " Property Set Obj(o)\n End Property\n"
         " Private Sub Class_Initialize()\n  Set m_v = Nothing\n End Sub\n"
         " Function Twice(n) : Twice = n + n : End Function\n"
         "End Class",
         "(class C (private m_v) (public Name (Items 3)) (dim d)"
         " (property-get public default Value (i) (let Value m_v) (exit-property))"
         " (property-let public Value (i v) (let m_v v))"
         " (property-set Obj (o))"
         " (sub private Class_Initialize () (set m_v Nothing))"
         " (function Twice (n) (let Twice (+ n n))))"},
        {"Class A\n Public Default Function Item(k)\n End Function\nEnd Class",
         "(class A (function public default Item (k)))"},
    };
    RunCases(std::begin(cases), std::end(cases));
}

TEST(VBScriptParserTest, NamesAreInternedWithoutRegardToCase) {
    CVBScriptAst ast;
    CVBScriptCompileError error;
    ASSERT_EQ(CVBScriptParser::ParseProgram(u"Dim Foo\nfoo = FOO + fOo", ast, error), S_OK);
    ULONG key = VBS_NONE;
    for (ULONG id = 0; id < ast.NameCount(); ++id) {
        if (key == VBS_NONE) {
            key = ast.NameKey(id);
        }
        EXPECT_EQ(ast.NameKey(id), key) << Utf16ToUtf8(ast.Name(id));
    }
    EXPECT_EQ(ast.NameCount(), 4u);
    EXPECT_EQ(ast.Name(0), u"Foo");
}

TEST(VBScriptParserTest, NodesCarryTheirPositions) {
    EXPECT_EQ(ParseToDump(u"x = a +\tb\r\n  If c Then _\r\n   d", true),
              "(let@0:0 x@0:0 (+@0:6 a@0:4 b@0:8)) "
              "(if1@1:2 c@1:5 (then (call@2:3 d@2:3)))");
    EXPECT_EQ(ParseToDump(u"Sub S\n  Call o.m(1)\nEnd Sub", true),
              "(sub@0:0 S () (call-kw@1:2 (.@1:8 o@1:7 m) 1@1:11))");
}

TEST(VBScriptParserTest, ExpressionEntryPointForEval) {
    EXPECT_EQ(ExpressionToDump(u"x = 5"), "(= x 5)");
    EXPECT_EQ(ExpressionToDump(u"  a.b(1) & \"s\"  "), "(& (idx (. a b) 1) \"s\")");
    EXPECT_EQ(ExpressionToDump(u"1 2"), "error 1025 at 0:2");
    EXPECT_EQ(ExpressionToDump(u""), "error 1023 at 0:0");
    EXPECT_EQ(ExpressionToDump(u"x = 1 : y"), "error 1025 at 0:6");
}

// Scripts as the page compiler generates them: literal text becomes numbered
// WriteBlock calls, expression blocks Write calls, code blocks stand as written.
TEST(VBScriptParserTest, PageScripts) {
    const AstCase cases[] = {
        {"Response.WriteBlock 0 \r\nResponse.Write  Now  \r\nResponse.WriteBlock 1 \r\n",
         "(call (. Response WriteBlock) 0) (call (. Response Write) Now)"
         " (call (. Response WriteBlock) 1)"},
        {"Response.WriteBlock 0 \r\n If User.Blocked Then \r\nResponse.WriteBlock 1 \r\n"
         " Else \r\nResponse.Write (Request.QueryString(\"url\")) \r\n End If \r\n",
         "(call (. Response WriteBlock) 0) (if (. User Blocked) (then (call (. Response "
         "WriteBlock) 1)) (else (call (. Response Write) (paren (idx (. Request QueryString) "
         "\"url\")))))"},
        {" Option Explicit \r\n Dim n \r\nResponse.Write n + 1 \r\n",
         "(option-explicit) (dim n) (call (. Response Write) (+ n 1))"},
        {"\r\nResponse.WriteBlock 0 \r\n\r\n", "(call (. Response WriteBlock) 0)"},
        {"Function Filtering_IsHTTPAllowed(Request, url)\r\n"
         "  Filtering_IsHTTPAllowed = InStr(url, \"blocked\") = 0\r\n"
         "  If Not Filtering_IsHTTPAllowed Then Filter.HTTPTransfer \"/block.asp\" Else "
         "Filter.Continue\r\n"
         "End Function\r\n",
         "(function Filtering_IsHTTPAllowed (Request url) (let Filtering_IsHTTPAllowed (= (idx "
         "InStr url \"blocked\") 0)) (if1 (not Filtering_IsHTTPAllowed) (then (call (. Filter "
         "HTTPTransfer) \"/block.asp\")) (else (call (. Filter Continue)))))"},
    };
    RunCases(std::begin(cases), std::end(cases));
}

TEST(VBScriptParserTest, EmptyTextIsAnEmptyProgram) {
    EXPECT_EQ(ParseToDump(u""), "");
    EXPECT_EQ(ParseToDump(u"\r\n  ' only a comment\r\n"), "");
}

// Nesting is bounded: a deep script fails with an error instead of overflowing the
// stack, and the bound leaves room for any script a person writes.
TEST(VBScriptParserTest, DeepNestingIsAnErrorNotACrash) {
    const std::size_t deep = 100000;
    struct Case {
        std::u16string text;
    };
    const Case cases[] = {
        {u"x = " + std::u16string(deep, u'(') + u"1" + std::u16string(deep, u')')},
        {u"x = " + std::u16string(deep, u'-') + u"1"},
        {[&] {
            std::u16string text = u"x = ";
            for (std::size_t i = 0; i < deep; ++i) {
                text += u"Not ";
            }
            return text + u"1";
        }()},
        {[&] {
            std::u16string text;
            for (std::size_t i = 0; i < deep; ++i) {
                text += u"If a Then\n";
            }
            return text;
        }()},
        {[&] {
            std::u16string text = u"x = ";
            for (std::size_t i = 0; i < deep; ++i) {
                text += u"f(";
            }
            return text;
        }()},
        {[&] {
            std::u16string text;
            for (std::size_t i = 0; i < deep; ++i) {
                text += u"If a Then ";
            }
            return text + u"b";
        }()},
    };
    for (const Case& c : cases) {
        CVBScriptAst ast;
        CVBScriptCompileError error;
        EXPECT_EQ(CVBScriptParser::ParseProgram(c.text, ast, error),
                  VBScriptErrorHResult(VBSE_OUT_OF_MEMORY));
        EXPECT_EQ(error.m_lNumber, VBSE_OUT_OF_MEMORY);
    }
    // Thirty levels of everything is fine.
    std::u16string text;
    for (int i = 0; i < 30; ++i) {
        text += u"For i = 1 To 2\nIf a Then\nDo\nWith o\nSelect Case (((x)))\nCase 1\n";
    }
    for (int i = 0; i < 30; ++i) {
        text += u"End Select\nEnd With\nLoop\nEnd If\nNext\n";
    }
    CVBScriptAst ast;
    CVBScriptCompileError error;
    EXPECT_EQ(CVBScriptParser::ParseProgram(text, ast, error), S_OK);
}

TEST(VBScriptParserTest, HugeLiteralsAndLongScripts) {
    // A string of a million characters, a number of ten thousand digits.
    const std::u16string big(1000000, u'x');
    EXPECT_EQ(ParseToDump(u"s = \"" + big + u"\"").size(), 1000000u + 10);
    EXPECT_EQ(ParseToDump(u"d = " + std::u16string(10000, u'9')), "error 1031 at 0:4");
    EXPECT_EQ(ParseToDump(u"d = 0." + std::u16string(10000, u'0') + u"1"), "(let d 0#)");
    // Many statements in a row are a loop, not recursion.
    std::u16string text;
    for (int i = 0; i < 100000; ++i) {
        text += u"x = x + 1 : ";
    }
    CVBScriptAst ast;
    CVBScriptCompileError error;
    ASSERT_EQ(CVBScriptParser::ParseProgram(text, ast, error), S_OK);
    EXPECT_EQ(ast.Children(ast.Node(ast.Root())).size(), 100000u);
}

}  // namespace
