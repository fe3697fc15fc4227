// CTextEncoder: the text transformations that the Server object offers scripts, as pure
// functions of their input: URL encoding of form values, HTML entity encoding and the
// MD5 digest in hexadecimal.
#pragma once

#include <string>
#include <string_view>

#include "com/HResult.h"

class CTextEncoder {
public:
    // The text's UTF-8 bytes with control bytes, bytes from 0x7F up and the characters
    // space " # $ % & + , ; < = > ? @ [ \ ] ^ ` { | } escaped: a space as "+", every
    // other escaped byte as "%" and two lower-case hex digits. Letters, digits and
    // ! ' ( ) * - . / : _ ~ stay as they are.
    static std::u16string URLEncode(std::u16string_view text);

    // Per UTF-16 unit: "&", "<" and ">" as named entities, the rest of printable ASCII
    // as it is, a surrogate pair as "&#x" and six upper-case hex digits of its code
    // point, and every other unit (controls, non-ASCII, a lone surrogate) as "&#x" and
    // four digits.
    static std::u16string HTMLEncode(std::u16string_view text);

    // The MD5 digest of the bytes as 32 lower-case hex digits.
    static HRESULT MD5Hex(std::string_view bytes, std::string* pHex);
};
