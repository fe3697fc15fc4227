// Compiling a 500-line ASP page: pages per second through the compiler alone (scripts
// recorded, not parsed) and through the whole entity Init (the VBScript engine parses
// the generated script), with the size of the generated script.
#include <time.h>

#include <cstdio>
#include <string>

#include "com/Strings.h"
#include "pages/entities/ASPCompiler.h"
#include "pages/entities/ASPEntity.h"
#include "pages/entities/EntityTestSupport.h"
#include "pages/entities/WriteFormats.h"

namespace {

// Process CPU time in seconds: the rate stays meaningful on a busy machine.
double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// 500 lines: markup with expressions, code blocks, a loop, comments and a server script.
std::u16string BuildPage() {
    std::string page = "<%@ LANGUAGE=VBScript %>\r\n";
    page +=
        "<SCRIPT LANGUAGE=VBScript RUNAT=Server>\r\nFunction Twice(n)\r\nTwice = n * "
        "2\r\nEnd Function\r\n</SCRIPT>\r\n";
    int line = 6;
    for (int i = 0; line < 500; ++i) {
        switch (i % 5) {
            case 0:
                page += "<tr><td class=\"name\">Row " + std::to_string(i) + "</td><td><%= Twice(" +
                        std::to_string(i) + ") %></td></tr>\r\n";
                break;
            case 1:
                page += "<% total = total + " + std::to_string(i) + " %>\r\n";
                break;
            case 2:
                page += "<!-- row " + std::to_string(i) + " -->\r\n";
                break;
            case 3:
                page +=
                    "<% If total > 10 Then %><b>big</b><% Else %><i>small</i><% End If "
                    "%>\r\n";
                break;
            default:
                page += "<p>Plain text of the page, line " + std::to_string(i) + ".</p>\r\n";
        }
        ++line;
    }
    return Utf8ToUtf16(page);
}

template <class F>
double PerSecond(F&& once) {
    int n = 0;
    const double start = CpuSeconds();
    double elapsed = 0;
    do {
        if (!once())
            return -1;
        ++n;
        elapsed = CpuSeconds() - start;
    } while (elapsed < 1.0);
    return n / elapsed;
}

}  // namespace

int main() {
    entity_test::RegisterClasses();
    const std::u16string text = BuildPage();
    CComPtr<ITextPage> page = entity_test::MakeTextPage(u"/bench.asp", text);

    size_t cchScript = 0;
    size_t cBlocks = 0;
    const double compilerOnly = PerSecond([&] {
        entity_test::CRecordingTarget target;
        CASPCompiler compiler(target, nullptr, CWriteFormats::Process(), 0x409);
        if (FAILED(compiler.Compile(page.Get())))
            return false;
        cchScript = 0;
        for (const auto& script : target.scripts)
            cchScript += script.text.size();
        cBlocks = compiler.WriteBlocks().size();
        return true;
    });
    const double withEngine = PerSecond([&] {
        CComPtr<CASPEntity> entity = MakeObject<CASPEntity>();
        return entity->Init(0x409, nullptr, page.Get()) == S_OK && entity->Close() == S_OK;
    });
    if (compilerOnly < 0 || withEngine < 0) {
        std::fprintf(stderr, "the page does not compile\n");
        return 1;
    }
    std::printf(
        "500-line page (%zu characters): generated script %zu characters, %zu write "
        "blocks\n",
        text.size(), cchScript, cBlocks);
    std::printf("compiler only:          %10.0f pages per CPU second\n", compilerOnly);
    std::printf("entity Init (VBScript): %10.0f pages per CPU second\n", withEngine);
    return 0;
}
