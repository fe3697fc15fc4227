// Tests of where an HTML dialog is placed.
#include "tray/HtmlDialog.h"

#include <gtest/gtest.h>

namespace {

TEST(HtmlDialogTest, PlacementFollowsTheFeaturesThenTheIcon) {
    const TrayPoint icon{790, 590};
    const struct {
        const char* features;
        std::optional<TrayPoint> anchor;
        TrayPoint expected;
    } cases[] = {
        {"dialogLeft:10;dialogTop:20;", icon, {10, 20}},
        {"dialogTop:20;", icon, {0, 20}},
        {"", icon, {300, 200}},  // centred by default
        {"center:no;", icon, {590, 390}},
        {"center:no;", std::nullopt, {300, 200}},
        {"dialogLeft:700;dialogTop:550;", icon, {600, 400}},  // kept on the screen
    };
    for (const auto& c : cases) {
        DialogFeatures features = ParseDialogFeatures(c.features);
        EXPECT_EQ(c.expected, CHtmlDialog::Placement(features, 200, 200, 800, 600, c.anchor))
            << c.features;
    }
}

}  // namespace
