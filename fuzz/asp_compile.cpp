// Fuzzes the ASP page compiler: arbitrary page text (UTF-8 in, as the site compiler
// takes pages) compiled against a small site in memory whose pages include each other,
// cycles among them. The scripts go to a recording target, so no engine runs. Checks
// that the blocks cover the page without gaps or overlaps, that every script-map entry
// names equal text in the script and the page it names, and that write blocks lie in
// their pages.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "com/Strings.h"
#include "pages/entities/ASPCompiler.h"
#include "pages/entities/EntityTestSupport.h"
#include "pages/entities/WriteFormats.h"

namespace {

using entity_test::CPageSet;
using entity_test::CRecordingTarget;

CPageSet& Site() {
    static CPageSet* s_pages = [] {
        auto* pages = new CPageSet;
        pages->Add(u"a.inc", u"A<!-- #include file=\"b.inc\" -->");
        pages->Add(u"b.inc", u"<% x = 1 %><!-- #include file=\"a.inc\" -->");
        pages->Add(u"c.inc", u"C<%= x %>\n<script runat=server>Sub S\nEnd Sub</script>");
        pages->Add(u"d.inc", u"<%@ LANGUAGE=JScript %>D");
        pages->Add(u"e.inc", u"<!-- #include file=\"c.inc\" --><!-- #include file=\"c.inc\" -->");
        pages->Add(u"dir/f.inc", u"F");
        return pages;
    }();
    return *s_pages;
}

std::u16string Text(ITextPage* pPage) {
    ULONG cLines = 0;
    ULONG cChars = 0;
    pPage->GetSize(&cLines, &cChars);
    BSTR text;
    pPage->GetText(0, cChars, &text);
    return text.Str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string text =
        Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    CComPtr<ITextPage> page = entity_test::MakeTextPage(u"/fuzz.asp", text);
    if (!page)
        return 0;

    std::vector<CASPCompiler::ParseBlock> blocks;
    if (FAILED(CASPCompiler::ScanBlocks(page.Get(), &blocks)))
        std::abort();
    ULONG ulNext = 0;
    for (const auto& block : blocks) {
        if (block.ulCharStart != ulNext || block.ulLength == 0)
            std::abort();
        ulNext += block.ulLength;
    }
    if (ulNext != text.size())
        std::abort();

    CRecordingTarget target;
    CASPCompiler compiler(target, Site().Loader(), CWriteFormats::Process(), 0x409);
    compiler.Compile(page.Get());
    for (const auto& script : target.scripts) {
        if (script.context >= target.pages.size())
            std::abort();
        for (const auto& entry : script.blocks) {
            // An entry names the page it was copied from (an include's code stands in the
            // including page's body script).
            const DWORD dwPage = entry.dwSourceContext == CScriptEngine::kScriptPage
                                     ? script.context
                                     : entry.dwSourceContext;
            if (dwPage >= target.pages.size())
                std::abort();
            const std::u16string pageText = Text(target.pages[dwPage].Get());
            if (entry.ulScriptStart + static_cast<size_t>(entry.ulLength) > script.text.size() ||
                entry.ulPageStart + static_cast<size_t>(entry.ulLength) > pageText.size() ||
                script.text.compare(entry.ulScriptStart, entry.ulLength, pageText,
                                    entry.ulPageStart, entry.ulLength) != 0)
                std::abort();
        }
    }
    for (const auto& block : compiler.WriteBlocks()) {
        const std::u16string pageText = Text(block.ptrPage.Get());
        if (block.ulCharStart + static_cast<size_t>(block.ulLength) > pageText.size() ||
            pageText.compare(block.ulCharStart, block.ulLength, block.strText.Str()) != 0)
            std::abort();
    }
    return 0;
}
