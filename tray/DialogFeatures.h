// The feature string of an HTML dialog: "name:value;" pairs, as menu items and balloons
// carry them in their extras.
//
// Known names (compared without regard to case): dialogWidth, dialogHeight, dialogLeft,
// dialogTop (lengths in pixels, "px" optional; "em" counts 16 pixels), center, resizable
// and scroll (yes/no, on/off, 1/0, true/false). Unknown names, empty pairs and values that
// do not parse are ignored, so a bad string never stops the dialog from opening.
#pragma once

#include <optional>
#include <string_view>

struct DialogFeatures {
    std::optional<int> width;
    std::optional<int> height;
    std::optional<int> left;
    std::optional<int> top;
    bool center = true;
    bool resizable = false;
    bool scroll = true;
};

DialogFeatures ParseDialogFeatures(std::string_view features);
