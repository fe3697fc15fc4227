// Fuzz target for the VBScript front end: the input's bytes, read as UTF-16LE code
// units, go through the program and the expression entry points; every tree that comes
// back is walked by the dumper, which touches every node, literal and name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "script/engine/vbscript/VBScriptAstDump.h"
#include "script/engine/vbscript/VBScriptParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text(size / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    CVBScriptCompileError error;
    CVBScriptAst program;
    if (SUCCEEDED(CVBScriptParser::ParseProgram(text, program, error))) {
        (void)CVBScriptAstDump::DumpRoot(program, true);
    } else if (error.m_lNumber == 0 || error.Description().empty()) {
        __builtin_trap();  // every failure names a known compilation error
    }
    CVBScriptAst expression;
    if (SUCCEEDED(CVBScriptParser::ParseExpression(text, expression, error))) {
        (void)CVBScriptAstDump::DumpRoot(expression);
    }
    return 0;
}
