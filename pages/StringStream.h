// Splits a stream of UTF-16LE text into lines.
//
// Lines end at U+000A only: a carriage return stays part of its line, and the line
// feed belongs to the line it ends. The stream is read from its current position in
// chunks of 1024 characters, and each chunk is searched for line feeds only once.
#pragma once

#include <string>

#include "cfb/StorageInterfaces.h"

class CStringStream {
public:
    explicit CStringStream(IStream* pStream) : m_ptrStream(pStream) {}

    // Gives the next line (its line feed included) and the byte offset at which it
    // starts. S_OK for a line that ended with a line feed; S_FALSE for the last line,
    // which is the rest of the text (possibly empty); a failure of the stream otherwise.
    HRESULT GetNextLine(std::u16string& strLine, ULONGLONG& ulStart);
    // Reads the next chunk of the stream onto strTarget: S_OK when bytes came, S_FALSE
    // at the end of the stream, or the read's failure. An odd last byte is dropped.
    HRESULT Append(std::u16string& strTarget);

private:
    ULONGLONG m_ulPosition = 0;  // bytes handed out as lines so far
    CComPtr<IStream> m_ptrStream;
    std::u16string m_strBuffer;  // characters read and not yet handed out
};
