// The feature-string parser of HTML dialogs; see DialogFeatures.h.
#include "tray/DialogFeatures.h"

#include <cctype>
#include <charconv>
#include <string>

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A length in pixels: a non-negative whole number, optionally followed by "px" or "em".
std::optional<int> Length(std::string_view value) {
    int n = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || n < 0)
        return std::nullopt;
    const std::string unit = Lower(Trim(std::string_view(end, value.data() + value.size() - end)));
    if (unit.empty() || unit == "px")
        return n;
    if (unit == "em" && n <= 1000000)
        return n * 16;
    return std::nullopt;
}

std::optional<bool> Flag(std::string_view value) {
    const std::string v = Lower(value);
    if (v == "yes" || v == "on" || v == "1" || v == "true")
        return true;
    if (v == "no" || v == "off" || v == "0" || v == "false")
        return false;
    return std::nullopt;
}

}  // namespace

DialogFeatures ParseDialogFeatures(std::string_view features) {
    DialogFeatures result;
    while (!features.empty()) {
        const std::size_t semicolon = features.find(';');
        std::string_view pair = features.substr(0, semicolon);
        features = semicolon == std::string_view::npos ? std::string_view()
                                                       : features.substr(semicolon + 1);
        const std::size_t colon = pair.find_first_of(":=");
        if (colon == std::string_view::npos)
            continue;
        const std::string name = Lower(Trim(pair.substr(0, colon)));
        const std::string_view value = Trim(pair.substr(colon + 1));
        if (name == "dialogwidth")
            result.width = Length(value).value_or(result.width.value_or(-1));
        else if (name == "dialogheight")
            result.height = Length(value).value_or(result.height.value_or(-1));
        else if (name == "dialogleft")
            result.left = Length(value).value_or(result.left.value_or(-1));
        else if (name == "dialogtop")
            result.top = Length(value).value_or(result.top.value_or(-1));
        else if (name == "center")
            result.center = Flag(value).value_or(result.center);
        else if (name == "resizable")
            result.resizable = Flag(value).value_or(result.resizable);
        else if (name == "scroll")
            result.scroll = Flag(value).value_or(result.scroll);
    }
    // A length that did not parse leaves the earlier value, or none.
    for (auto* length : {&result.width, &result.height, &result.left, &result.top})
        if (length->has_value() && **length < 0)
            length->reset();
    return result;
}
