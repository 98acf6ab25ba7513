#include "velmor/platform/directory_watch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "velmor/test/temp_dir.h"

namespace velmor::platform {
namespace {

bool Holds(const DirectoryChanges& changes, const std::string& name) {
    return std::find(changes.names.begin(), changes.names.end(), name) != changes.names.end();
}

int QueueLimit() {
    std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
    int events = 0;
    limit >> events;
    return events;
}

TEST(DirectoryWatch, TellsTheNamesOfCreatedRenamedAndDeletedEntries) {
    test::TempDir folder;
    std::filesystem::create_directories(folder / "watched");
    const auto watch = WatchDirectory(folder / "watched");
    ASSERT_NE(watch, nullptr);
    EXPECT_FALSE(watch->TakeChangedNames().Any());

    test::WriteBytes(folder / "watched/A.x", "a\r\n");
    test::WriteBytes(folder / "outside.x", "b\r\n");
    std::filesystem::rename(folder / "outside.x", folder / "watched/in.x");
    DirectoryChanges changes = watch->TakeChangedNames();
    EXPECT_FALSE(changes.everything);
    EXPECT_TRUE(Holds(changes, "A.x"));
    EXPECT_TRUE(Holds(changes, "in.x"));
    EXPECT_FALSE(watch->TakeChangedNames().Any());  // taken once

    std::filesystem::rename(folder / "watched/in.x", folder / "out.x");
    std::filesystem::remove(folder / "watched/A.x");
    ASSERT_EQ(::mkfifo((folder / "watched/fifo.x").c_str(), 0600), 0);
    changes = watch->TakeChangedNames();
    EXPECT_FALSE(changes.everything);
    EXPECT_TRUE(Holds(changes, "in.x"));
    EXPECT_TRUE(Holds(changes, "A.x"));
    EXPECT_TRUE(Holds(changes, "fifo.x"));
    EXPECT_TRUE(watch->Alive());
}

TEST(DirectoryWatch, LostEventsAndAVanishedFolderAskForEverything) {
    test::TempDir folder;
    std::filesystem::create_directories(folder / "watched");
    const auto watch = WatchDirectory(folder / "watched");
    ASSERT_NE(watch, nullptr);
    // Each new file is at least two events (made, closed after writing): enough of them fill the
    // kernel's queue, and the events after it are lost.
    const int limit = QueueLimit();
    ASSERT_GT(limit, 0);
    for (int i = 0; i < limit / 2 + 64; ++i) test::WriteBytes(folder / ("watched/" + std::to_string(i)), "");
    EXPECT_TRUE(watch->TakeChangedNames().everything);
    EXPECT_TRUE(watch->Alive());
    EXPECT_FALSE(watch->TakeChangedNames().Any());

    std::filesystem::remove_all(folder / "watched");
    const DirectoryChanges changes = watch->TakeChangedNames();
    EXPECT_TRUE(changes.everything);
    EXPECT_FALSE(watch->Alive());
    EXPECT_TRUE(watch->TakeChanges());
}

}  // namespace
}  // namespace velmor::platform
