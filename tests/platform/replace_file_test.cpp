#include "velmor/platform/replace_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "velmor/test/temp_dir.h"

namespace velmor::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

// The hand-over file is read only when it is a small regular file, and never blocks.
TEST(SmallRegularFile, OnlyARegularFileWithinTheLimit) {
    TempDir dir;
    WriteBytes(dir / "line", "\"[KQ][a]\"\r\n");
    EXPECT_EQ(ReadSmallRegularFile(dir / "line", 64), "\"[KQ][a]\"\r\n");
    EXPECT_EQ(ReadSmallRegularFile(dir / "line", 11), "\"[KQ][a]\"\r\n");
    EXPECT_FALSE(ReadSmallRegularFile(dir / "line", 10));
    WriteBytes(dir / "empty", "");
    EXPECT_EQ(ReadSmallRegularFile(dir / "empty", 10), "");
    EXPECT_FALSE(ReadSmallRegularFile(dir / "missing", 10));
    EXPECT_FALSE(ReadSmallRegularFile(dir.path(), 10));

    // A link, even to a good file, and an endless device are refused.
    fs::create_symlink(dir / "line", dir / "link");
    EXPECT_FALSE(ReadSmallRegularFile(dir / "link", 64));
    fs::create_symlink("/dev/zero", dir / "zero");
    EXPECT_FALSE(ReadSmallRegularFile(dir / "zero", 64));
    EXPECT_FALSE(ReadSmallRegularFile("/dev/zero", 64));
    // A FIFO without a writer: refused at once instead of waiting for ever.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(ReadSmallRegularFile(dir / "fifo", 64));
}

TEST(ReplacementFile, UncommittedFilesVanishAndCommittedOnesReplace) {
    TempDir dir;
    WriteBytes(dir / "f", "old");
    const auto folder = FolderHandle::Open(dir.path());
    ASSERT_TRUE(folder);
    {
        auto file = ReplacementFile::Create(*folder, "f");
        ASSERT_TRUE(file);
        ASSERT_TRUE(file->Write("half", 4));
        // Not committed: the old file stays, the new one goes.
    }
    EXPECT_EQ(ReadBytes(dir / "f"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    auto file = ReplacementFile::Create(*folder, "f");
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->Write("discarded", 9));
    ASSERT_TRUE(file->Truncate());
    ASSERT_TRUE(file->Write("new", 3));
    EXPECT_EQ(ReadBytes(dir / "f"), "old");
    ASSERT_TRUE(file->Commit());
    EXPECT_EQ(ReadBytes(dir / "f"), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    // Names that are not one plain name are refused, and so is a folder reached through a link.
    EXPECT_FALSE(ReplacementFile::Create(*folder, "a/b"));
    EXPECT_FALSE(ReplacementFile::Create(*folder, ".."));
    fs::create_directory(dir / "sub");
    fs::create_directory_symlink(dir / "sub", dir / "sub-link");
    EXPECT_TRUE(folder->Child("sub", false));
    EXPECT_FALSE(folder->Child("sub-link", false));
    EXPECT_FALSE(folder->Child("sub-link", true));
    EXPECT_FALSE(folder->Child("f", true));  // a file is no folder
    EXPECT_FALSE(folder->Child("missing", false));
    EXPECT_TRUE(folder->Child("made", true));
    EXPECT_TRUE(fs::is_directory(dir / "made"));
}

}  // namespace
}  // namespace velmor::platform
