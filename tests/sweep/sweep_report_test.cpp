// SPDX-License-Identifier: MIT
#include "sweep/SweepReport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sweep/Csv.h"

namespace {

using namespace sweep;

SweepResult Sample() {
    SweepResult r;
    r.subnet = "192.0.2";
    r.rounds = 4;
    r.started = std::chrono::system_clock::from_time_t(1796658746);  // 2026-12-07T15:52:26Z
    r.seconds = 0.4237;
    for (int i = 1; i <= 255; ++i)
        r.hosts.push_back(
            HostResult{i, "192.0.2." + std::to_string(i), 0, 4, "", "", "", "", "none", ""});
    r.hosts[9] = {10, "192.0.2.10", 4, 4, "00-1A-2B-3C-4D-5E", "Ayecom", "", "", "echo", ""};
    r.hosts[10] = {
        11,    "192.0.2.11", 2, 4, "02-42-C6-33-64-09", "", "printer, \"old\"\r\nroom 2\x1b[31m",
        "mac", "echo",       ""};
    r.hosts[10].previousMac = "02-42-C6-33-64-08";
    r.hosts[11] = {12, "192.0.2.12", 0, 4, "", "", "", "down", "none", ""};
    return r;
}

TEST(SharePercent, IsTheDetailsBoxsRate) {
    EXPECT_EQ(SharePercent(2, 4), 50);
    EXPECT_EQ(SharePercent(2, 3), 66);
    EXPECT_EQ(SharePercent(29, 100), 28);  // 0.29 * 100 is just below 29
    EXPECT_EQ(SharePercent(3, 3), 100);
    EXPECT_EQ(SharePercent(0, 0), 0);
}

TEST(WriteJson, EscapesEveryStringAndKeepsUtf8) {
    SweepResult r = Sample();
    r.hosts[0].remark = "a\\b\"c\x01\t\u00e9\u4e2d";
    r.hosts[1].remark = "bad \xff\xc0\xed\xa0\x80 end";  // stray, overlong, surrogate
    const std::string j = WriteJson(r);
    EXPECT_EQ(
        j.rfind("{\"subnet\": \"192.0.2\", \"rounds\": 4, \"started\": \"2026-12-07T15:52:26Z\", "
                "\"hosts\": [",
                0),
        0u);
    EXPECT_NE(j.find("\"remark\": \"a\\\\b\\\"c\\u0001\\t\u00e9\u4e2d\""), std::string::npos);
    EXPECT_NE(
        j.find(
            "\"remark\": \"bad \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD end\""),
        std::string::npos);
    EXPECT_NE(
        j.find("{\"host\": 11, \"ip\": \"192.0.2.11\", \"answered\": 2, \"rounds\": 4, "
               "\"share\": 50, \"mac\": \"02-42-C6-33-64-09\", \"vendor\": \"\", "
               "\"remark\": \"printer, \\\"old\\\"\\r\\nroom 2\\u001b[31m\", \"change\": \"mac\", "
               "\"seen\": \"echo\", \"name\": \"\", \"local_mac\": true, "
               "\"previous_mac\": \"02-42-C6-33-64-08\", \"previous_ip\": \"\"}"),
        std::string::npos);
    std::size_t objects = 0;
    for (std::size_t p = 0; (p = j.find("{\"host\": ", p)) != std::string::npos; ++p) ++objects;
    EXPECT_EQ(objects, 255u);
}

TEST(WriteCsv, QuotesAsRfc4180AndReadsBackWhole) {
    const std::string c = WriteCsv(Sample());
    EXPECT_EQ(c.rfind("host,ip,answered,rounds,share,mac,vendor,remark,change,seen,name,local_mac,"
                      "previous_mac,previous_ip\r\n1,192.0.2.1,0,4,0,,,,,none,,false,,\r\n",
                      0),
              0u);
    EXPECT_NE(c.find("\r\n11,192.0.2.11,2,4,50,02-42-C6-33-64-09,,\"printer, \"\"old\"\"\r\nroom "
                     "2\x1b[31m\",mac,echo,,true,02-42-C6-33-64-08,\r\n"),
              std::string::npos);
    CsvReader reader(c);
    std::vector<std::string> f;
    int rows = 0;
    while (reader.Next(f)) {
        ASSERT_FALSE(reader.Malformed());
        ASSERT_EQ(f.size(), 14u);
        if (f[0] == "11") {
            EXPECT_EQ(f[7], "printer, \"old\"\r\nroom 2\x1b[31m");
        }
        ++rows;
    }
    EXPECT_EQ(rows, 256);
}

TEST(WriteText, ListsAnsweringHostsOnOneLineEachThenTheSummary) {
    SweepResult r = Sample();
    const std::string footnote =
        "* a locally administered MAC, such as a randomised privacy address\n";
    EXPECT_EQ(WriteText(r),
              "192.0.2.10       100%  00-1A-2B-3C-4D-5E  Ayecom\n"
              "192.0.2.11        50%  02-42-C6-33-64-09*   printer, \"old\"  room 2 [31m\n"
              "192.0.2.0/24: 2 of 255 answered, 4 rounds, 0.42 s\n" +
                  footnote);
    r.changes = true;
    EXPECT_EQ(
        WriteText(r),
        "192.0.2.10       100%  00-1A-2B-3C-4D-5E  Ayecom\n"
        "192.0.2.11        50%  02-42-C6-33-64-09*   printer, \"old\"  room 2 [31m  [mac, was "
        "02-42-C6-33-64-08]\n"
        "192.0.2.12         0%                       [down]\n"
        "192.0.2.0/24: 2 of 255 answered, 4 rounds, 0.42 s; changed: 0 new, 0 moved, 1 mac, 0 up, "
        "1 down\n" +
            footnote);
    // Names get a column; a host seen by ARP only comes last, marked "arp".
    r.changes = false;
    r.hosts[9].name = "ten.lan";
    r.hosts[2] = {3, "192.0.2.3", 0, 4, "00-1A-2B-3C-4D-5F", "", "", "", "arp", "thirteen\x1b"};
    EXPECT_EQ(
        WriteText(r),
        "192.0.2.10       100%  00-1A-2B-3C-4D-5E  ten.lan    Ayecom\n"
        "192.0.2.11        50%  02-42-C6-33-64-09*              printer, \"old\"  room 2 [31m\n"
        "192.0.2.3         arp  00-1A-2B-3C-4D-5F  thirteen\n"
        "192.0.2.0/24: 2 of 255 answered, 1 by ARP only, 4 rounds, 0.42 s\n" +
            footnote);
}

TEST(CsvReader, FlagsBrokenQuotingAndTakesBareLineFeeds) {
    std::vector<std::string> f;
    CsvReader ok("a,\"b\"\"c\",\nd");
    ASSERT_TRUE(ok.Next(f));
    EXPECT_EQ(f, (std::vector<std::string>{"a", "b\"c", ""}));
    ASSERT_TRUE(ok.Next(f));
    EXPECT_EQ(f, (std::vector<std::string>{"d"}));
    EXPECT_FALSE(ok.Next(f));
    for (const char* bad : {"a\"b,c\r\n", "\"ab\"c,d\r\n", "\"never closed\r\n"}) {
        CsvReader r(bad);
        ASSERT_TRUE(r.Next(f));
        EXPECT_TRUE(r.Malformed()) << bad;
    }
}

}  // namespace
