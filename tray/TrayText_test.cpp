// Tests of the tray window's text rules and of the dialog feature strings.
#include <gtest/gtest.h>

#include "tray/DialogFeatures.h"
#include "tray/TrayText.h"

namespace {

TEST(TrayTextTest, OnlyTheOffNameSelectsTheOffIcon) {
    const struct {
        const char* name;
        TrayIconImage icon;
    } cases[] = {
        {"images/taskbar.off.ico", TrayIconImage::Off},
        {"IMAGES/Taskbar.OFF.ico", TrayIconImage::Off},
        {"images/taskbar.on.ico", TrayIconImage::On},
        {"", TrayIconImage::On},
        {"images/taskbar.off.ico ", TrayIconImage::On},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.icon, IconForName(c.name)) << c.name;
}

TEST(TrayTextTest, TipsAreCutTo63Characters) {
    EXPECT_EQ(std::string(63, 'x'), CutTip(std::string(100, 'x')));
    EXPECT_EQ("short", CutTip("short"));
    // Characters, not bytes: 70 two-byte letters keep 63 letters whole.
    std::string umlauts;
    for (int i = 0; i < 70; ++i)
        umlauts += "\xC3\xA4";
    EXPECT_EQ(umlauts.substr(0, 126), CutTip(umlauts));
    // A character outside the BMP counts once and is never split.
    std::string emoji = std::string(62, 'a') + "\xF0\x9F\x98\x80" + "b";
    EXPECT_EQ(std::string(62, 'a') + "\xF0\x9F\x98\x80", CutTip(emoji));
}

TEST(TrayTextTest, MnemonicsAreWrittenForGtk) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"&Settings", "_Settings"},
        {"Tom && Jerry", "Tom & Jerry"},
        {"snake_case", "snake__case"},
        {"trailing&", "trailing"},
        {"plain", "plain"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, MenuMnemonic(c.in)) << c.in;
}

TEST(TrayTextTest, PagePathsBecomeLocalAddresses) {
    const struct {
        const char* url;
        LocalPage::Mode mode;
        const char* address;
    } cases[] = {
        {"settings.asp", LocalPage::Mode::Browser, "http://localhost:4321/settings.asp"},
        {"dialog:about.asp?x=1", LocalPage::Mode::Dialog, "http://localhost:4321/about.asp?x=1"},
        {"hidden:ping.asp", LocalPage::Mode::Hidden, "http://localhost:4321/ping.asp"},
        {"/lead.asp", LocalPage::Mode::Browser, "http://localhost:4321/lead.asp"},
        {"Dialog:x.asp", LocalPage::Mode::Browser, "http://localhost:4321/Dialog:x.asp"},
    };
    for (const auto& c : cases) {
        LocalPage page = ParseLocalPage(c.url);
        EXPECT_EQ(c.mode, page.mode) << c.url;
        EXPECT_EQ(c.address, LocalPageAddress(4321, page.strPath)) << c.url;
    }
}

TEST(DialogFeaturesTest, PairsAreReadAndBadOnesIgnored) {
    DialogFeatures f = ParseDialogFeatures(
        "dialogWidth:400px; dialogHeight: 300 ;DIALOGLEFT:10;dialogTop:2em;center:no;"
        "resizable:yes;scroll:off;");
    EXPECT_EQ(400, f.width);
    EXPECT_EQ(300, f.height);
    EXPECT_EQ(10, f.left);
    EXPECT_EQ(32, f.top);
    EXPECT_FALSE(f.center);
    EXPECT_TRUE(f.resizable);
    EXPECT_FALSE(f.scroll);

    DialogFeatures defaults = ParseDialogFeatures("");
    EXPECT_FALSE(defaults.width.has_value());
    EXPECT_TRUE(defaults.center);
    EXPECT_FALSE(defaults.resizable);
    EXPECT_TRUE(defaults.scroll);

    DialogFeatures bad = ParseDialogFeatures(
        ";;dialogWidth:wide;dialogHeight:-5px;unknown:1;center;resizable:maybe;dialogTop:7");
    EXPECT_FALSE(bad.width.has_value());
    EXPECT_FALSE(bad.height.has_value());
    EXPECT_EQ(7, bad.top);
    EXPECT_TRUE(bad.center);
    EXPECT_FALSE(bad.resizable);
}

}  // namespace
