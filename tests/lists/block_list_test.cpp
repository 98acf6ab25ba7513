#include "velmor/lists/block_list.h"

#include <gtest/gtest.h>

#include <string>

namespace velmor::lists {
namespace {

std::vector<std::string> Texts(const ParsedList& list) {
    std::vector<std::string> texts;
    for (const auto& range : list.ranges) texts.push_back(platform::FormatAddressRange(range));
    return texts;
}

TEST(BlockListTest, PlainLinesWithCommentsBomCrLfAndNotes) {
    const ParsedList list = ParseBlockList(
        "\xEF\xBB\xBF# a published list\r\n"
        "1.2.3.4\r\n"
        "\r\n"
        "  10.20.0.0/16   # a range\r\n"
        "192.0.2.0/24 ; SBL123\n"
        "2001:DB8::/32\n"
        "not an address\n"
        "1.2.3.4/33\n"
        "5.6.7.8 extra\n"
        "::ffff:198.51.100.7");
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"1.2.3.4", "10.20.0.0/16", "192.0.2.0/24",
                                                     "2001:db8::/32", "198.51.100.7"}));
    EXPECT_EQ(list.bad_lines, (std::vector<int>{7, 8, 9}));
}

TEST(BlockListTest, CscliCsvFindsItsColumnsByName) {
    const ParsedList list = ParseBlockList(
        "# exported by hand\n"
        "duration,reason,Scope,type,\"VALUE\"\n"
        "24h,\"ssh, brute force\",Ip,ban,1.2.3.4\n"
        "24h,\"said \"\"hi\"\"\",range,ban,\"10.0.0.0/24\"\n"
        "24h,country,Country,ban,KR\n"
        "24h,short,Ip,ban\n"
        "24h,\"open quote,Ip,ban,5.6.7.8\n"
        "24h,no scope,,ban,5.6.7.9\n");
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"1.2.3.4", "10.0.0.0/24", "5.6.7.9"}));
    EXPECT_EQ(list.bad_lines, (std::vector<int>{5, 6, 7}));

    // A header alone names the column; without one the commas make every line malformed.
    EXPECT_EQ(Texts(ParseBlockList("value\n1.1.1.1\n")), std::vector<std::string>{"1.1.1.1"});
    EXPECT_EQ(ParseBlockList("ip,reason\n1.1.1.1,x\n").bad_lines, (std::vector<int>{1, 2}));
}

TEST(BlockListTest, HundredThousandLinesKeepTheirNumbers) {
    std::string text;
    std::vector<int> bad;
    for (int i = 1; i <= 100000; ++i) {
        if (i % 997 == 0) {
            text += "10.0.0.x\n";
            bad.push_back(i);
        } else {
            text += "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                    std::to_string(i % 256) + "\n";
        }
    }
    const ParsedList list = ParseBlockList(text);
    EXPECT_EQ(list.bad_lines, bad);
    EXPECT_EQ(list.ranges.size(), 100000 - bad.size());
    EXPECT_EQ(platform::FormatAddressRange(list.ranges.back()), "10.1.134.160");
}

}  // namespace
}  // namespace velmor::lists
