// The machine fingerprint's text and the facts it is made of.
#include "objects/MachineFingerprint.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MachineFingerprintTest, ComposesTheFixedLayout) {
    CMachineFingerprint::Facts facts;
    facts.dwNumberOfProcessors = 8;
    facts.wProcessorLevel = 6;
    facts.wProcessorRevision = (85 << 8) | 7;
    facts.strComputerName = "FAMILY-PC";
    facts.dwVolumeSerial = 0x1a2b3c4d;
    EXPECT_EQ(CMachineFingerprint::Compose(facts), "0009-08-0006-5507-FAMILY-PC-1a2b3c4d-");
    facts.mac = std::array<BYTE, 6>{0x00, 0x1a, 0x2b, 0xc0, 0xde, 0xff};
    EXPECT_EQ(CMachineFingerprint::Compose(facts),
              "0009-08-0006-5507-FAMILY-PC-1a2b3c4d-00:1A:2B:C0:DE:FF");
}

TEST(MachineFingerprintTest, ReadsTheFirstProcessorOfCpuInfo) {
    const char* cpuinfo =
        "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\n"
        "model name\t: Some CPU @ 2.00GHz\nstepping\t: 7\n\n"
        "processor\t: 1\ncpu family\t: 25\nmodel\t\t: 1\nstepping\t: 1\n";
    WORD level = 0, revision = 0;
    CMachineFingerprint::ParseCpuInfo(cpuinfo, &level, &revision);
    EXPECT_EQ(level, 6);
    EXPECT_EQ(revision, (85 << 8) | 7);  // "model name" is not "model"

    CMachineFingerprint::ParseCpuInfo("processor\t: 0\nfeatures\t: fp asimd\n", &level, &revision);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(revision, 0);
}

TEST(MachineFingerprintTest, CollectsThisMachine) {
    CMachineFingerprint::Facts facts;
    ASSERT_EQ(CMachineFingerprint::Collect(&facts), S_OK);
    EXPECT_EQ(facts.wProcessorArchitecture, 9);
    EXPECT_GE(facts.dwNumberOfProcessors, 1u);
    EXPECT_LE(facts.strComputerName.size(), 15u);
    for (char c : facts.strComputerName)
        EXPECT_FALSE(c >= 'a' && c <= 'z') << facts.strComputerName;
    // "0009-cc-ffff-rrrr-" NAME "-ssssssss-" and the address when there is one.
    const std::string text = CMachineFingerprint::Compose(facts);
    EXPECT_TRUE(text.starts_with("0009-")) << text;
    const std::string name = "-" + facts.strComputerName + "-";
    const std::size_t pos = text.find(name, 17);
    ASSERT_NE(pos, std::string::npos) << text;
    const std::string tail = text.substr(pos + name.size());
    ASSERT_EQ(tail.size(), facts.mac ? 9u + 17u : 9u) << text;
    EXPECT_EQ(tail[8], '-') << text;
    // The same machine gives the same facts.
    CMachineFingerprint::Facts again;
    ASSERT_EQ(CMachineFingerprint::Collect(&again), S_OK);
    EXPECT_EQ(CMachineFingerprint::Compose(again), CMachineFingerprint::Compose(facts));
}

}  // namespace
