// SPDX-License-Identifier: MIT
#include "sweep/Vendors.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/isolation.h"

namespace {

using namespace sweep;

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

const char* kHeader = "Registry,Assignment,Organization Name,Organization Address\r\n";

TEST(ParseMac, TakesTheWindowsFormAndColonsAndRefusesTheRest) {
    EXPECT_EQ(ParseMac("02-42-C6-33-64-09"), 0x0242C6336409u);
    EXPECT_EQ(ParseMac("02:42:c6:33:64:09"), 0x0242C6336409u);
    EXPECT_EQ(ParseMac("0242C6336409"), 0x0242C6336409u);
    for (const char* bad :
         {"", "02-42-C6-33-64", "02-42-C6-33-64-09-11", "02-42:C6-33-64-09", "0-242-C6-33-64-09",
          "02-42-C6-33-64-0G", "-02-42-C6-33-64-0", "02--42-C6-33-64-09"})
        EXPECT_FALSE(ParseMac(bad).has_value()) << bad;
    EXPECT_FALSE(IsKnownMac("00-00-00-00-00-00"));
    EXPECT_FALSE(IsKnownMac(""));
    EXPECT_TRUE(IsKnownMac("00-1A-2B-3C-4D-5E"));
}

TEST(Vendors, LongestRegisteredPrefixWinsAndQuotedNamesComeBackWhole) {
    const std::string dir = testsupport::MakeTempDir("ieee");
    Write(dir + "/oui.csv", std::string(kHeader) +
                                "MA-L,001A2B,Ayecom Technology Co.,No. 1 Road TW 100 \r\n"
                                "MA-L,70B3D5,IEEE Registration Authority,\"445 Hoes Lane\r\n"
                                "Piscataway NJ US 08554 \"\r\n"
                                "MA-L,001A2B,A Later Duplicate,x\r\n"
                                "MA-L,ACDE48,\"JSC \"\"MASSA-K\"\", Ltd\",\"a, b\"\r\n"
                                "MA-L,XYZ123,Bad Hex,x\r\n"
                                "MA-L,0050C2,IEEE Registration Authority,x\r\n");
    Write(dir + "/mam.csv", std::string(kHeader) + "MA-M,70B3D5A,Twenty-Eight Bits Ltd, x\r\n");
    Write(dir + "/oui36.csv", std::string(kHeader) + "MA-S,70B3D5AF2,  Grünbeck GmbH ,x\r\n");
    Write(dir + "/iab.csv", std::string(kHeader) + "IAB,0050C27D5,DEUTA-WERKE GmbH,x\r\n");
    const Vendors v = Vendors::Load(dir);
    EXPECT_EQ(v.Size(), 7u);
    EXPECT_EQ(v.Lookup("00-1A-2B-3C-4D-5E"), "Ayecom Technology Co.");
    EXPECT_EQ(v.Lookup("ac:de:48:00:11:22"), "JSC \"MASSA-K\", Ltd");
    EXPECT_EQ(v.Lookup("70-B3-D5-AF-20-01"), "Grünbeck GmbH");
    EXPECT_EQ(v.Lookup("70-B3-D5-A0-00-01"), "Twenty-Eight Bits Ltd");
    EXPECT_EQ(v.Lookup("70-B3-D5-10-00-01"), "IEEE Registration Authority");
    EXPECT_EQ(v.Lookup("00-50-C2-7D-50-01"), "DEUTA-WERKE GmbH");
    EXPECT_EQ(v.Lookup("00-50-C2-7D-60-01"), "IEEE Registration Authority");
    // Nothing registered, locally administered, zero, not a MAC: no vendor.
    EXPECT_EQ(v.Lookup("00-11-22-33-44-55"), "");
    EXPECT_EQ(v.Lookup("AE-DE-48-00-11-22"), "");
    EXPECT_EQ(v.Lookup("00-00-00-00-00-00"), "");
    EXPECT_EQ(v.Lookup(""), "");
    EXPECT_EQ(v.Lookup("junk"), "");
}

TEST(Vendors, AMissingFolderOrFileKnowsNothingAndFailsNothing) {
    EXPECT_EQ(Vendors::Load(testsupport::TestRoot() + "/no-such-folder").Size(), 0u);
    const std::string dir = testsupport::MakeTempDir("ieee-partial");
    Write(dir + "/mam.csv",
          std::string(kHeader) + "MA-M,001A2B3,Only MA-M,x");  // no final line break
    const Vendors v = Vendors::Load(dir);
    EXPECT_EQ(v.Lookup("00-1A-2B-3C-4D-5E"), "Only MA-M");
    EXPECT_EQ(Vendors().Lookup("00-1A-2B-3C-4D-5E"), "");
}

}  // namespace
