// Fuzzes the reading of a page record and its data stream: the input's first two bytes
// give the record's length, the record follows and the rest is the data stream. The
// record is read as the storage manager reads it, loaded into a text page, and every
// line and position query is run over what it yields.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pages/MemoryStream.h"
#include "pages/TextPage.h"
#include "storage/PageRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const size_t cbRecord = std::min<size_t>(size - 2, data[0] | data[1] << 8);
    auto record = MakeObject<CMemoryStream>(std::vector<BYTE>(data + 2, data + 2 + cbRecord));
    auto stream = MakeObject<CMemoryStream>(std::vector<BYTE>(data + 2 + cbRecord, data + size));

    CPageRecord fields;
    if (FAILED(fields.Read(record.Get())))
        return 0;
    auto page = MakeObject<CTextPage>();
    if (FAILED(page->Load(0x409, record.Get(), stream.Get(), BSTR(fields.strName),
                          BSTR(fields.strMimeType), fields.clsidEntity, fields.nCodePage)))
        return 0;
    ULONG cLines = 0, cChars = 0;
    page->GetSize(&cLines, &cChars);
    for (ULONG i = 0; i <= cLines && i < 64; ++i) {
        BSTR text;
        ULONG pos = 0, line = 0;
        page->GetLine(i, &text, &pos);
        page->GetPositionOfLine(i, &pos);
        page->GetLineOfPosition(pos, &line);
        page->GetText(pos, 16, &text);
    }
    // Compiling the data stream as text must give a table that ends at its size.
    auto meta = MakeObject<CMemoryStream>();
    stream->Seek(0, STREAM_SEEK_SET, nullptr);
    auto compiled = MakeObject<CTextPage>();
    if (SUCCEEDED(compiled->Compile(meta.Get(), stream.Get())) &&
        compiled->Lines().back() != (size - 2 - cbRecord) / 2 * 2)
        __builtin_trap();
    return 0;
}
