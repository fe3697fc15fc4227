// A text page: the UTF-16 text of one page of a site with the table of the byte offsets
// at which its lines start, and the tag parser that every page compiler uses.
//
// The line table holds byte offsets into the data stream; every query speaks in
// characters (UTF-16 code units, half a byte offset). Entry i is where line i starts
// and the last entry is the end of the text, so a compiled table has at least two
// entries, and text that ends with a line feed ends the table with two equal entries.
// A page is filled once (`Load`) and read-only afterwards; reads seek the shared data
// stream, so callers serialise reads of one page.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pages/PageInterfaces.h"

class CTextPage : public CComObjectRoot<CTextPage, ITextPage> {
public:
    // Registers the class under its class id and ProgIDs.
    static HRESULT RegisterClass();

    // The stored form of a line table: a 32-bit count, then each entry as 8 bytes,
    // little-endian. ReadArray appends what it reads and keeps the entries read before
    // a failure; a short read is a failure.
    static HRESULT ReadArray(IStream* pStream, std::vector<ULONGLONG>& arrLines);
    static HRESULT WriteArray(IStream* pStream, const std::vector<ULONGLONG>& arrLines);

    // Parses the first tag of strText: its upper-cased name and its attributes (names
    // upper-cased, values stripped of spaces and double quotes). nEndPos is the index
    // just past the tag's '>'. True when the tag has at least one attribute separator.
    static bool AttribParse(const std::u16string& strText, std::u16string& strTag,
                            std::map<std::u16string, std::u16string>& mapAttribs, int& nEndPos);

    // IPage
    HRESULT Compile(IStream* pMetaInfo, IStream* pData) override;
    HRESULT Load(LCID lcid, IStream* pMetaStream, IStream* pStream, BSTR bstrFullName,
                 BSTR bstrMimeType, const CLSID& clsidEntityType, LONG nCodePage) override;
    HRESULT CreateEntity(const IID& riid, IApplication* pApp, IUnknown** ppEntity) override;
    HRESULT GetDataStream(IStream** ppStream) override;
    HRESULT GetMimeType(BSTR* pbstrMimeType) override;
    HRESULT GetName(BSTR* pbstrName) override;

    // ITextPage
    HRESULT GetLine(ULONG ulLine, BSTR* pbstrText, ULONG* pulCharPos) override;
    HRESULT GetText(ULONG ulCharPos, ULONG ulLength, BSTR* pbstrText) override;
    HRESULT GetSize(ULONG* pcNumLines, ULONG* pcNumChars) override;
    HRESULT GetLineOfPosition(ULONG ulCharPos, ULONG* pulLine) override;
    HRESULT GetPositionOfLine(ULONG ulLineNumber, ULONG* pulCharPos) override;
    HRESULT GetCodePage(LONG* pnCodePage) override;

    // The line table, for tests and the site lister.
    const std::vector<ULONGLONG>& Lines() const { return m_arrLines; }

private:
    // Reads up to cbWanted bytes of the data stream from byte ulOffset as text; fewer
    // when the stream ends first (*pcbRead tells how many).
    HRESULT ReadText(ULONGLONG ulOffset, ULONGLONG cbWanted, std::u16string* pstrText,
                     ULONGLONG* pcbRead);

    std::vector<ULONGLONG> m_arrLines;
    CComPtr<IStream> m_ptrDataStream;
    // Guards the data stream's position from a seek to the read after it: a cached page is
    // read by every entity that includes it, from any thread. A leaf lock.
    std::mutex m_lockStream;
    std::u16string m_strFullName;
    std::u16string m_strMimeType;
    CLSID m_clsidEntity;
    LCID m_lcid = 0;
    LONG m_nCodePage = 0;
};
