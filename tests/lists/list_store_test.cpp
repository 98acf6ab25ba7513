#include "velmor/lists/list_store.h"

#include <gtest/gtest.h>

#include "velmor/test/temp_dir.h"

namespace velmor::lists {
namespace {

TEST(ListStoreTest, NamesImportReloadReplaceAndRemove) {
    test::TempDir folder;
    ListStore store(folder / "lists");
    for (const std::string_view name : {"../up", "a/b", "a..b", ".hidden", "bell\x07", ""}) {
        const auto refused = store.Import(name, "1.2.3.4\n");
        EXPECT_FALSE(refused.saved) << name;
        EXPECT_FALSE(refused.error.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "up.list"));

    const auto imported = store.Import("drop 목록", "1.2.3.0/24\nbad\n2001:db8::/48\n");
    ASSERT_TRUE(imported.saved) << imported.error;
    EXPECT_EQ(imported.entries, 2u);
    EXPECT_EQ(imported.bad_lines, std::vector<int>{2});
    EXPECT_FALSE(store.Import("drop 목록", "garbage\n").saved);  // nothing usable replaces nothing

    ListStore reloaded(folder / "lists");
    reloaded.Load();
    EXPECT_EQ(reloaded.Names(), std::vector<std::string>{"drop 목록"});
    EXPECT_EQ(reloaded.Ranges("drop 목록"), store.Ranges("drop 목록"));
    EXPECT_EQ(reloaded.InfoOf("drop 목록").entries, 2u);
    EXPECT_LT(std::chrono::system_clock::now() - reloaded.InfoOf("drop 목록").updated,
              std::chrono::minutes(1));
    const auto decisions = reloaded.Decisions("drop 목록");
    ASSERT_EQ(decisions.size(), 2u);
    EXPECT_EQ(decisions[0].source, "list:drop 목록");
    EXPECT_FALSE(decisions[0].expires.has_value());

    ASSERT_TRUE(store.Import("drop 목록", "9.9.9.9\n").saved);
    reloaded.Load();
    EXPECT_EQ(reloaded.InfoOf("drop 목록").entries, 1u);
    EXPECT_TRUE(store.Remove("drop 목록"));
    reloaded.Load();
    EXPECT_TRUE(reloaded.Names().empty());
    EXPECT_EQ(reloaded.InfoOf("drop 목록").entries, 0u);
}

}  // namespace
}  // namespace velmor::lists
