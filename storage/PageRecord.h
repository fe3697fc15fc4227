// The page record of a site: what a page is, which classes load and run it and where its
// bytes are, stored as a stream beside the page's data stream in the page's folder.
//
// Layout (little-endian): page class (16-byte CLSID), entity class (CLSID, all zeros for
// a plain file), data stream name, page name and MIME type as counted strings, code
// page (32-bit signed); a text page's line table follows (see CTextPage::ReadArray). A
// counted string is a 32-bit byte count that includes the two bytes of its UTF-16LE
// terminator, then the text and the terminator; a count of 0 is an empty string with no
// bytes. The record's element name is the last component of the page's path with every
// "." written "£".
#pragma once

#include <string>
#include <vector>

#include "pages/PageInterfaces.h"

class CPageRecord {
public:
    // The largest counted string a record may hold, in bytes.
    static constexpr ULONG kMaxStringBytes = 0x100000;

    CLSID clsidPage;
    CLSID clsidEntity;
    std::u16string strDataStream;
    std::u16string strName;
    std::u16string strMimeType;
    LONG nCodePage = 0;

    // Reads the fields up to the code page, leaving the stream just after it. Every read
    // must deliver all its bytes; a short one fails.
    HRESULT Read(IStream* pStream);
    // The fields up to the code page, as stored.
    std::vector<BYTE> ToBytes() const;

    // Reads one counted string. A count of 1, an odd count or one over kMaxStringBytes
    // fails with E_FAIL; a string that ends early fails and puts the stream back before
    // its count.
    static HRESULT ReadCountedString(IStream* pStream, std::u16string* pstr);
    static void AppendCountedString(std::vector<BYTE>& bytes, std::u16string_view str);

    // The element name of a page's record: "images/taskbar.off.ico" → "taskbar£off£ico".
    static std::u16string ElementNameOf(std::u16string_view strPageName);

    // Reads the record strElement in pFolder, opens its data stream, creates the page
    // class and loads the page under lcid. A missing record gives STG_E_FILENOTFOUND
    // without a log entry. When the record is there but its data stream cannot be
    // opened, *pfDataStreamMissing (when given) is set so that the caller can forget
    // the folder it had open.
    static HRESULT LoadPage(IStorage* pFolder, std::u16string_view strElement, LCID lcid,
                            IPage** ppPage, bool* pfDataStreamMissing = nullptr);
};
