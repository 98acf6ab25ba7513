#include "velmor/lists/rule_transfer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "velmor/lists/block_list.h"
#include "velmor/test/temp_dir.h"

namespace velmor::lists {
namespace {

using rules::RuleStore;
using rules::Verdict;

void SetWritten(const RuleStore& store, std::string_view address, Verdict verdict, int days_ago) {
    const auto moment = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) -
                        std::chrono::hours(24 * days_ago) - std::chrono::seconds(days_ago * 7);
    std::filesystem::last_write_time(*store.Locate(address, verdict),
                                     std::chrono::file_clock::from_sys(moment));
}

TEST(RuleTransferTest, ExportImportRoundTripsLinesVerdictsAndDates) {
    test::TempDir from_folder, to_folder;
    std::filesystem::create_directories(from_folder / "invader");
    RuleStore from(from_folder.path());
    ASSERT_TRUE(from.Write("1.2.3.4", Verdict::Blocked, "80|1.2.3.4|침입 #1 | 100% done"));
    ASSERT_TRUE(from.Write("fd00:77::2", Verdict::Blocked, "-|fd00:77::2|"));
    ASSERT_TRUE(from.Write("5.6.7.8", Verdict::Allowed, "-|5.6.7.8|  spaced  \ttab\x01"));
    ASSERT_TRUE(from.Write("host name", Verdict::Blocked, "-|host name|not an address"));
    ASSERT_TRUE(from.Write("9.9.9.9", Verdict::Blocked, "-|9.9.9.9|both"));
    ASSERT_TRUE(from.Write("9.9.9.9", Verdict::Allowed, "-|9.9.9.9|both\r"));
    SetWritten(from, "1.2.3.4", Verdict::Blocked, 3);
    SetWritten(from, "5.6.7.8", Verdict::Allowed, 29);

    const std::string exported = ExportRules(from);
    std::filesystem::create_directories(to_folder / "invader");
    RuleStore to(to_folder.path());
    const ImportResult result = ImportRules(exported, to);
    EXPECT_TRUE(result.bad_lines.empty());
    EXPECT_EQ(result.imported, 6u);
    EXPECT_EQ(ExportRules(to), exported);
    EXPECT_EQ(to.ReadLine("5.6.7.8", Verdict::Allowed), from.ReadLine("5.6.7.8", Verdict::Allowed));
    EXPECT_EQ(std::filesystem::last_write_time(*to.Locate("1.2.3.4", Verdict::Blocked)),
              std::filesystem::last_write_time(*from.Locate("1.2.3.4", Verdict::Blocked)));

    // As a plain block list the file blocks exactly the blocked addresses.
    const ParsedList plain = ParseBlockList(exported);
    EXPECT_TRUE(plain.bad_lines.empty());
    std::vector<std::string> blocked;
    for (const auto& range : plain.ranges) blocked.push_back(platform::FormatAddressRange(range));
    std::sort(blocked.begin(), blocked.end());
    EXPECT_EQ(blocked, (std::vector<std::string>{"1.2.3.4", "9.9.9.9", "fd00:77::2"}));
}

TEST(RuleTransferTest, MalformedLinesAreReportedAndPlainAddressesBecomeRules) {
    test::TempDir folder;
    std::filesystem::create_directories(folder / "invader");
    RuleStore store(folder.path());
    ASSERT_TRUE(store.Write("1.2.3.4", Verdict::Allowed, "-|1.2.3.4|was allowed"));
    const ImportResult result = ImportRules(
        "# a list\n"
        "#@ q 1.1.1.1 0 -|1.1.1.1|\n"
        "#@ x ../escape 0 -|x|\n"
        "#@ x 2.2.2.2 soon -|2.2.2.2|\n"
        "#@ o 3.3.3.3 100 bad%zzescape\n"
        "not-an-address\n"
        "10.0.0.0/8\n"
        "1.2.3.4\n"
        "#@ o 4.4.4.4 100 -|4.4.4.4|kept\n",
        store);
    EXPECT_EQ(result.bad_lines, (std::vector<int>{2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(result.imported, 2u);
    EXPECT_EQ(store.ReadLine("1.2.3.4", Verdict::Blocked), "-|1.2.3.4|");
    EXPECT_FALSE(store.Exists("1.2.3.4", Verdict::Allowed));
    EXPECT_EQ(store.ReadLine("4.4.4.4", Verdict::Allowed), "-|4.4.4.4|kept");
    EXPECT_FALSE(std::filesystem::exists(folder / "escape.x"));
}

}  // namespace
}  // namespace velmor::lists
