// Fuzzes the registry store's text format over arbitrary bytes.
//
// Any input either fails with ERROR_BADDB and the number of a line that exists, or
// gives a tree that serialises to text which parses back to the same tree and
// serialises to the same text again.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "registry/RegistryFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CRegistryTree tree;
    CRegistryParseError error;
    HRESULT hr = CRegistryFormat::Parse(text, &tree, &error);
    if (FAILED(hr)) {
        const std::size_t lines =
            static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        if (hr != HRESULT_FROM_WIN32(ERROR_BADDB) || error.line == 0 || error.line > lines ||
            error.reason.empty()) {
            std::abort();
        }
        return 0;
    }
    const std::string once = CRegistryFormat::Serialize(tree);
    CRegistryTree again;
    if (CRegistryFormat::Parse(once, &again, &error) != S_OK)
        std::abort();
    if (!(again == tree))
        std::abort();
    if (CRegistryFormat::Serialize(again) != once)
        std::abort();
    return 0;
}
