# Writes a C++ source file that holds the bytes of INPUT as an array named SYMBOL.
#     cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P EmbedBytes.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} at build time; do not edit.
#include <cstddef>
extern const unsigned char ${SYMBOL}[];
extern const std::size_t ${SYMBOL}_size;
alignas(8) const unsigned char ${SYMBOL}[] = {
    ${bytes}
};
const std::size_t ${SYMBOL}_size = ${size};
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
