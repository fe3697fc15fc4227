// CASPCompiler: turns one ASP page, and every page it includes, into script.
//
// Literal text becomes calls that write numbered blocks (the text itself stays in the
// page and is fetched at run time through the write-block table), expression blocks
// ("<%=" … "%>") become write calls, code blocks stand unchanged, server-side SCRIPT
// blocks (RUNAT=SERVER) are handed over as scripts of their own, and "#include file"
// comments compile the named page in place: its literal text, expressions and code go
// into the including page's body script where the comment stands, exactly as if its
// text stood there, so the page and everything it includes make one body script, in
// one language, that runs in page order. Every script goes to the target with a map from
// its characters back to the pages' (each entry names the page it was copied from), for
// error positions. Directives ("<%@ … %>") choose the script language, the LCID and the
// code page; they are shared by the page and its includes, so a second LANGUAGE
// directive fails wherever it stands.
//
// Scanning: three delimiter pairs, in rank order "<%" … "%>", "<SCRIPT" … "</SCRIPT>"
// and "<!--" … "-->", matched in any letter case. Outside blocks, the first opening
// in the text opens a block, which ends at the first closing of its pair. Inside a
// block only openings of a higher rank are looked for: one found before the closing
// (an ASP block inside a comment or a client script) ends the pending block as literal
// text, so ASP code runs wherever it stands, server scripts run even inside comments,
// and blocks never overlap and together cover the page.
//
// A compiler is used once, by the entity that owns the results, on one thread.
#pragma once

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "com/Bstr.h"
#include "com/Unknown.h"
#include "pages/PageInterfaces.h"
#include "script/CScriptEngine.h"

class CWriteFormats;

class CASPCompiler {
public:
    enum BlockKind : LONG { kLiteral = 0, kASP = 1, kScript = 2, kComment = 3 };

    // One contiguous range of a page, delimiters included; never empty.
    struct ParseBlock {
        LONG nKind;
        ULONG ulCharStart;
        ULONG ulLength;
        friend bool operator==(const ParseBlock&, const ParseBlock&) = default;
    };

    // A literal range of a page that the generated script writes by number, with its
    // text as read at compile time (pages are not read again while requests run).
    struct WriteBlock {
        CComPtr<ITextPage> ptrPage;
        ULONG ulCharStart;
        ULONG ulLength;
        BSTR strText;
    };

    // The opening and closing text of one kind of block; a block of the pair at index i
    // of a scan table has kind i + 1.
    struct DelimiterPair {
        std::u16string_view strOpen;  // upper case; matched in any letter case
        std::u16string_view strClose;
    };

    // A server-side SCRIPT block as read from its tag.
    struct ScriptTag {
        bool bServer = false;        // a SCRIPT tag with RUNAT=SERVER
        std::u16string strLanguage;  // LANGUAGE, else "VBScript"
        std::u16string strScript;    // the text between the start tag and "</SCRIPT>"
        ULONG ulScriptStart = 0;     // where that text starts in the page
    };

    // Where the scripts go: the entity's script engine, or a recorder in tests.
    class Target {
    public:
        virtual HRESULT AddScriptPage(ITextPage* pPage, ITextPage* pParentPage,
                                      DWORD* pdwContext) = 0;
        virtual HRESULT AddScript(const BSTR& strLanguage, const BSTR& strScript, DWORD dwContext,
                                  const std::vector<CScriptEngine::ScriptBlock>& arrBlocks) = 0;

    protected:
        ~Target() = default;
    };

    // Finds an included page by name for a language (the storage manager's LoadPage).
    using PageLoader = std::function<HRESULT(LCID lcid, std::u16string_view strName, IPage**)>;

    // Includes nested deeper than this fail: a cycle through names written differently
    // (case, slash direction) is not seen by the comparison of names as written.
    static constexpr size_t kMaxIncludeDepth = 32;

    CASPCompiler(Target& target, PageLoader loader, CWriteFormats& formats, LCID lcid);

    // Compiles a page and everything it includes.
    HRESULT Compile(ITextPage* pPage);

    // Splits a page into blocks of the page pairs ("<%", "<SCRIPT", "<!--").
    static HRESULT ScanBlocks(ITextPage* pPage, std::vector<ParseBlock>* parrBlocks);
    // Splits a page into blocks of the pairs given, in rank order (at most three).
    static HRESULT ScanBlocks(ITextPage* pPage, std::span<const DelimiterPair> pairs,
                              std::vector<ParseBlock>* parrBlocks);

    // Reads a SCRIPT block (its whole text, block starting at ulBlockStart in the page).
    // False when the text does not parse as a tag named SCRIPT.
    static bool ReadScriptTag(std::u16string_view strBlock, ULONG ulBlockStart, ScriptTag* pTag);
    // Reads `<!-- #include keyword = "name" -->`; false for any other comment. The
    // keyword comes back upper-cased.
    static bool ReadIncludeComment(std::u16string_view strComment, std::u16string* pstrKeyword,
                                   std::u16string* pstrName);
    // Finds the page that an include names, for a page whose chain of includes (the
    // including pages' names, outermost first) is listIncludes: refuses cycles, nesting
    // deeper than kMaxIncludeDepth and virtual names (E_NOTIMPL), turns backslashes into
    // slashes, and requires a text page of code page 1200.
    static HRESULT LoadIncludedPage(const PageLoader& loader, LCID lcid, bool bVirtual,
                                    const std::u16string& strName,
                                    const std::list<std::u16string>& listIncludes,
                                    ITextPage** ppPage);

    // The results.
    const std::u16string& Language() const { return m_strLanguage; }
    LCID GetLCID() const { return m_lcid; }
    UINT GetCodePage() const { return m_uCodePage; }
    std::vector<WriteBlock>& WriteBlocks() { return m_arrWriteBlocks; }

private:
    using ScriptMap = std::vector<CScriptEngine::ScriptBlock>;

    // A page whose directives, server scripts and includes have been dealt with: its
    // blocks (neighbouring literal text merged) and, for each include block left in it
    // (kind kComment), in order, the included page prepared the same way.
    struct PreparedPage {
        CComPtr<ITextPage> ptrPage;
        DWORD dwContext = 0;  // the page's document at the target
        std::vector<ParseBlock> arrBlocks;
        std::vector<std::unique_ptr<PreparedPage>> arrIncludes;
    };

    // First pass over a page and, recursively, the pages it includes.
    HRESULT ParsePage(ITextPage* pPage, ITextPage* pParent, std::list<std::u16string>& listIncludes,
                      PreparedPage& prepared);
    // Second pass: appends the body of a prepared page, its includes in place.
    HRESULT EmitBody(const PreparedPage& page, std::u16string& strScript, ScriptMap& arrMap);
    HRESULT ParseASPDirectives(const ParseBlock& block, ITextPage* pPage);
    HRESULT ApplyDirective(const std::u16string& strName, const std::u16string& strValue);
    HRESULT ParseScriptBlock(ParseBlock& block, ITextPage* pPage, ITextPage* pParent);
    HRESULT ParseCommentBlock(ParseBlock& block, ITextPage* pPage, ITextPage* pParent,
                              std::list<std::u16string>& listIncludes, PreparedPage& prepared);
    HRESULT IncludeFile(bool bVirtual, const std::u16string& strName, ITextPage* pPage,
                        std::list<std::u16string>& listIncludes, PreparedPage& including);
    HRESULT ParseASPBlock(const ParseBlock& block, ITextPage* pPage, DWORD dwContext,
                          std::u16string& strScript, ScriptMap& arrMap);
    HRESULT InsertContent(const ParseBlock& block, ITextPage* pPage, std::u16string& strScript);
    HRESULT FormatWrite(bool bBlock, std::u16string_view strText, ULONG& ulPos,
                        std::u16string& strScript);

    Target& m_target;
    PageLoader m_loader;
    CWriteFormats& m_formats;
    std::u16string m_strLanguage;
    LCID m_lcid;
    UINT m_uCodePage;
    std::vector<WriteBlock> m_arrWriteBlocks;
};
