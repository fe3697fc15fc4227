// Fuzzes the VBScript built-in functions: the input picks a built-in, a locale and up to
// four arguments of assorted types (numbers, dates, Null, Empty, text, arrays). Calls may
// fail but must never crash, leak or leave a half-made result behind.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "com/CComVariant.h"
#include "com/SafeArray.h"
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

namespace {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    double Double() {
        double d = 0;
        std::uint8_t bytes[8] = {};
        for (auto& b : bytes)
            b = Byte();
        std::memcpy(&d, bytes, sizeof d);
        return d;
    }
    std::string_view Text() {
        std::size_t n = Byte() % 24;
        n = std::min(n, m_size - m_pos);
        std::string_view s(reinterpret_cast<const char*>(m_data + m_pos), n);
        m_pos += n;
        return s;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

CComVariant Argument(Reader& in) {
    switch (in.Byte() % 9) {
        case 0:
            return CComVariant();
        case 1:
            return CComVariant::Null();
        case 2:
            return CComVariant(static_cast<LONG>(static_cast<std::int8_t>(in.Byte())));
        case 3:
            return CComVariant(in.Double());
        case 4:
            return CComVariant::Date(in.Double());
        case 5:
            return CComVariant(BSTR::FromUtf8(in.Text()));
        case 6:
            return CComVariant(static_cast<bool>(in.Byte() & 1));
        case 7: {
            CComVariant array;
            array.vt = VT_ARRAY | VT_VARIANT;
            array.parray = SafeArrayCreateVector(VT_VARIANT, 0, in.Byte() % 4);
            for (LONG i = 0;
                 array.parray && i < static_cast<LONG>(array.parray->bounds[0].cElements); ++i) {
                CComVariant element(BSTR::FromUtf8(in.Text()));
                SafeArrayPutElement(array.parray, &i, &element);
            }
            return array;
        }
        default:
            return CComVariant(static_cast<LONG>(in.Byte()) * 1000);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    auto table = VBScriptBuiltins();
    const VBBuiltin& fn = table[in.Byte() % table.size()];
    // Nothing that reaches outside the process.
    if (fn.name == u"CreateObject" || fn.name == u"GetObject")
        return 0;
    VBBuiltinContext ctx;
    ctx.lcid = (in.Byte() & 1) ? 1031 : 1033;
    unsigned argc = fn.minArgs + in.Byte() % (std::min<unsigned>(fn.maxArgs, 4) - fn.minArgs + 1);
    std::vector<CComVariant> args;
    for (unsigned i = 0; i < argc; ++i)
        args.push_back(Argument(in));
    std::vector<VARIANT> raw(args.begin(), args.end());
    CComVariant result;
    if (FAILED(fn.fn(ctx, raw.data(), argc, &result)) && result.vt != VT_EMPTY)
        __builtin_trap();
    return 0;
}
