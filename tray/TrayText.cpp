// The tray window's text rules; see TrayText.h.
#include "tray/TrayText.h"

#include <cctype>

#include "com/Strings.h"

namespace {

bool EqualsNoCase(std::string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (b[i] > 0x7F ||
            std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<int>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

TrayIconImage IconForName(std::string_view name) {
    return EqualsNoCase(name, TRAY_ICON_OFF_NAME) ? TrayIconImage::Off : TrayIconImage::On;
}

std::string CutTip(std::string_view tip) {
    std::u16string wide = Utf8ToUtf16(tip);
    // Count characters, not UTF-16 units: a surrogate pair is one character.
    std::size_t chars = 0, i = 0;
    while (i < wide.size() && chars < TRAY_TIP_MAX_CHARS) {
        const bool pair = wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size();
        i += pair ? 2 : 1;
        ++chars;
    }
    wide.resize(i);
    return Utf16ToUtf8(wide);
}

std::string MenuMnemonic(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 4);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += "__";
        } else if (c == '&') {
            if (i + 1 < text.size() && text[i + 1] == '&') {
                out += '&';
                ++i;
            } else if (i + 1 < text.size()) {
                out += '_';
            }
        } else {
            out += c;
        }
    }
    return out;
}

LocalPage ParseLocalPage(std::string_view url) {
    LocalPage page;
    // The prefixes are matched as written, as the service's pages write them.
    if (url.starts_with("dialog:")) {
        page.mode = LocalPage::Mode::Dialog;
        url.remove_prefix(7);
    } else if (url.starts_with("hidden:")) {
        page.mode = LocalPage::Mode::Hidden;
        url.remove_prefix(7);
    }
    page.strPath = std::string(url);
    return page;
}

std::string LocalPageAddress(unsigned port, std::string_view path) {
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    return "http://localhost:" + std::to_string(port) + "/" + std::string(path);
}
