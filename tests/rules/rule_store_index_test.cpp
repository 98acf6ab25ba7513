// The rule store's index of the rule folder's names, kept current from the directory watch.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "velmor/rules/rule_store.h"
#include "velmor/test/temp_dir.h"

namespace velmor::rules {
namespace {

class RuleIndexTest : public ::testing::Test {
protected:
    RuleIndexTest() {
        std::filesystem::create_directories(folder / "invader");
        store.RefreshBlockedIndex();  // the watch and the first listing
    }
    std::filesystem::path In(const std::string& name) { return folder / ("invader/" + name); }
    // Both lookups and the index agree on whether `address` has a blocked rule.
    void ExpectBlocked(const std::string& address, bool blocked) {
        EXPECT_EQ(store.Exists(address, Verdict::Blocked), blocked) << address;
        EXPECT_EQ(store.IsIndexedBlocked(address), blocked) << address;
    }

    test::TempDir folder;
    RuleStore store{folder.path()};
};

TEST_F(RuleIndexTest, FollowsOutsideCreatesDeletesAndRenamesInAnyLetterCase) {
    // Names that are not the exact lower-case name: only the index can find them.
    test::WriteBytes(In("FD00:77::C.X"), "-|fd00:77::c|made\r\n");
    test::WriteBytes(folder / "elsewhere.x", "-|fd00:77::d|\r\n");
    std::filesystem::rename(folder / "elsewhere.x", In("Fd00:77::D.x"));
    store.RefreshBlockedIndex(false);
    ExpectBlocked("fd00:77::c", true);
    ExpectBlocked("fd00:77::d", true);
    EXPECT_EQ(store.ReadLine("fd00:77::c", Verdict::Blocked), "-|fd00:77::c|made");
    EXPECT_FALSE(store.Exists("fd00:77::c", Verdict::Allowed));

    // Out of the folder, renamed to the other verdict, deleted.
    const auto generation = store.BlockedGeneration();
    std::filesystem::rename(In("Fd00:77::D.x"), folder / "gone.x");
    std::filesystem::rename(In("FD00:77::C.X"), In("FD00:77::C.O"));
    store.RefreshBlockedIndex(false);
    ExpectBlocked("fd00:77::d", false);
    ExpectBlocked("fd00:77::c", false);
    EXPECT_TRUE(store.Exists("fd00:77::c", Verdict::Allowed));
    EXPECT_GT(store.BlockedGeneration(), generation);
    std::filesystem::remove(In("FD00:77::C.O"));
    store.RefreshBlockedIndex(false);
    EXPECT_FALSE(store.Exists("fd00:77::c", Verdict::Allowed));
}

TEST_F(RuleIndexTest, TheJournalTellsEachChangeOfTheBlockedIndexInOrder) {
    std::vector<RuleStore::BlockedChange> changes;
    const auto start = store.BlockedGeneration();
    ASSERT_TRUE(store.BlockedChangesSince(start, changes));
    EXPECT_TRUE(changes.empty());
    // Own writes and toggles, outside files, and a full read that finds the folder changed.
    ASSERT_EQ(store.AddBlocked("10.0.0.1", "-"), RuleStore::AddResult::Added);
    ASSERT_TRUE(store.Toggle("10.0.0.1", Verdict::Blocked));
    test::WriteBytes(In("10.0.0.2.x"), "-|10.0.0.2|\r\n");
    store.RefreshBlockedIndex(false);
    test::WriteBytes(In("10.0.0.3.X"), "-|10.0.0.3|\r\n");
    std::filesystem::remove(In("10.0.0.2.x"));
    store.NoteChanged();
    store.RefreshBlockedIndex(false);
    ASSERT_TRUE(store.BlockedChangesSince(start, changes));
    std::vector<std::string> told;
    for (const auto& change : changes) told.push_back((change.blocked ? "+" : "-") + change.address);
    EXPECT_EQ(told,
              (std::vector<std::string>{"+10.0.0.1", "-10.0.0.1", "+10.0.0.2", "-10.0.0.2", "+10.0.0.3"}));
    EXPECT_EQ(store.BlockedGeneration(), start + 5);
    // From the middle, and from a generation that has not been.
    ASSERT_TRUE(store.BlockedChangesSince(start + 3, changes));
    EXPECT_EQ(changes.size(), 2u);
    EXPECT_FALSE(store.BlockedChangesSince(start + 6, changes));
}

#if !defined(_WIN32)  // two names that differ in letter case only: Linux
TEST_F(RuleIndexTest, TwoFilesOfOneAddressKeepItUntilBothAreGone) {
    test::WriteBytes(In("FD00:77::E.X"), "-|a|\r\n");
    test::WriteBytes(In("fd00:77::E.x"), "-|b|\r\n");
    store.RefreshBlockedIndex(false);
    ExpectBlocked("fd00:77::e", true);

    std::filesystem::remove(In("FD00:77::E.X"));
    store.RefreshBlockedIndex(false);
    ExpectBlocked("fd00:77::e", true);
    EXPECT_EQ(store.ReadLine("fd00:77::e", Verdict::Blocked), "-|b|");

    // The store's own delete takes the one it finds; the address stays blocked only while another is left.
    test::WriteBytes(In("FD00:77::E.X"), "-|a|\r\n");
    store.RefreshBlockedIndex(false);
    EXPECT_TRUE(store.Delete("fd00:77::e", Verdict::Blocked));
    ExpectBlocked("fd00:77::e", true);
    EXPECT_TRUE(store.Delete("fd00:77::e", Verdict::Blocked));
    ExpectBlocked("fd00:77::e", false);
    store.RefreshBlockedIndex(false);
    ExpectBlocked("fd00:77::e", false);
}
#endif

#if !defined(_WIN32)  // links and FIFOs: Linux
TEST_F(RuleIndexTest, LinksAndFifosMadeWhileWatchedAreNoRules) {
    test::WriteBytes(folder / "target", "-|x|\r\n");
    std::filesystem::create_symlink(folder / "target", In("FD00:77::1:A.X"));
    ASSERT_EQ(::mkfifo(In("FD00:77::1:B.X").c_str(), 0600), 0);
    std::filesystem::create_directories(In("FD00:77::1:C.X"));
    // A rule file replaced by a link is no rule any more.
    test::WriteBytes(In("FD00:77::1:D.X"), "-|d|\r\n");
    store.RefreshBlockedIndex(false);
    ExpectBlocked("fd00:77::1:d", true);
    std::filesystem::create_symlink(folder / "target", In("link"));
    std::filesystem::rename(In("link"), In("FD00:77::1:D.X"));
    store.RefreshBlockedIndex(false);
    for (const char* address : {"fd00:77::1:a", "fd00:77::1:b", "fd00:77::1:c", "fd00:77::1:d"}) {
        ExpectBlocked(address, false);
        EXPECT_FALSE(store.ReadLine(address, Verdict::Blocked)) << address;
    }
}
#endif

TEST_F(RuleIndexTest, OwnWritesTogglesAndDeletesAreIndexedAtOnce) {
    ASSERT_TRUE(store.Write("fd00:77::2:1", Verdict::Blocked, "80|fd00:77::2:1|"));
    EXPECT_TRUE(store.IsIndexedBlocked("fd00:77::2:1"));  // before any refresh
    test::WriteBytes(In("FD00:77::2:2.X"), "-|fd00:77::2:2|\r\n");
    store.RefreshBlockedIndex(false);
    EXPECT_TRUE(store.Toggle("fd00:77::2:2", Verdict::Blocked));
    ExpectBlocked("fd00:77::2:2", false);
    EXPECT_TRUE(store.Exists("fd00:77::2:2", Verdict::Allowed));
    EXPECT_TRUE(store.Delete("fd00:77::2:2", Verdict::Allowed));
    EXPECT_FALSE(store.Exists("fd00:77::2:2", Verdict::Allowed));
    // The watch's news of the same changes leaves everything as it is.
    const auto generation = store.BlockedGeneration();
    store.RefreshBlockedIndex(false);
    EXPECT_EQ(store.BlockedGeneration(), generation);
    ExpectBlocked("fd00:77::2:1", true);
    ExpectBlocked("fd00:77::2:2", false);
}

#if !defined(_WIN32)  // inotify's queue limit: Linux
TEST_F(RuleIndexTest, LostEventsReadTheFolderAgain) {
    std::ifstream limit_file("/proc/sys/fs/inotify/max_queued_events");
    int limit = 0;
    limit_file >> limit;
    ASSERT_GT(limit, 0);
    test::WriteBytes(In("FD00:77::3:1.X"), "-|a|\r\n");
    store.RefreshBlockedIndex(false);
    // More changes than the kernel's queue holds: the ones after it are lost, among them the last.
    for (int i = 0; i < limit / 2 + 64; ++i) test::WriteBytes(In("noise-" + std::to_string(i)), "");
    std::filesystem::remove(In("FD00:77::3:1.X"));
    test::WriteBytes(In("FD00:77::3:2.X"), "-|b|\r\n");
    store.RefreshBlockedIndex(false);
    ExpectBlocked("fd00:77::3:1", false);
    ExpectBlocked("fd00:77::3:2", true);
}
#endif

TEST_F(RuleIndexTest, AStoreWithoutAWatchStillFindsOutsideFiles) {
    test::TempDir other;
    RuleStore late(other.path());
    late.RefreshBlockedIndex();  // no folder: no watch
    std::filesystem::create_directories(other / "invader");
    test::WriteBytes(other / "invader/FD00:77::4:1.X", "-|x|\r\n");
    EXPECT_TRUE(late.Exists("fd00:77::4:1", Verdict::Blocked));
    late.RefreshBlockedIndex(false);
    EXPECT_TRUE(late.Exists("fd00:77::4:1", Verdict::Blocked));
    late.RefreshBlockedIndex(true);
    EXPECT_TRUE(late.IsIndexedBlocked("fd00:77::4:1"));
}

}  // namespace
}  // namespace velmor::rules
