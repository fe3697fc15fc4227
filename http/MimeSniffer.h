// CMimeSniffer: the MIME type of a body, judged from its bytes.
//
// The local web server labels a body whose type the site does not give (the text of an
// error answer) by what libmagic recognises in its first 255 bytes: HTML text is
// "text/html", plain text "text/plain", a PNG image "image/png". Bytes that libmagic
// cannot judge, or no bytes at all, are "text/plain".
#pragma once

#include <cstddef>
#include <string>

#include "com/HResult.h"

class CMimeSniffer {
public:
    // How many bytes from the start of the data are looked at.
    static constexpr std::size_t kSniffBytes = 255;

    // S_OK with the detected type, S_FALSE with "text/plain" when nothing was recognised
    // (or libmagic is not available, which is logged once).
    static HRESULT FindMimeFromData(const void* data, std::size_t size, std::string* pMimeType);
};
