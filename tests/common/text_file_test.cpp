#include "velmor/common/text_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "velmor/test/temp_dir.h"

namespace velmor {
namespace {

namespace fs = std::filesystem;
using velmor::test::ReadBytes;
using velmor::test::TempDir;
using velmor::test::WriteBytes;

TEST(TextFileTest, LineFilesEndInCrLfAndReplaceWhatWasThere) {
    TempDir dir;
    const fs::path file = dir / "a.x";
    WriteBytes(file, "a much longer line that was there before\r\n");
    ASSERT_TRUE(WriteLineFile(file, "port|10.0.0.1|"));
    EXPECT_EQ(ReadBytes(file), "port|10.0.0.1|\r\n");
    ASSERT_TRUE(WriteLineFile(file, ""));
    EXPECT_EQ(ReadBytes(file), "\r\n");
}

TEST(TextFileTest, FirstLineDropsOneCrAndStopsAtTheFirstLf) {
    TempDir dir;
    WriteBytes(dir / "one", "first\r\r\nsecond\r\n");
    EXPECT_EQ(ReadFirstLine(dir / "one"), "first\r");
    WriteBytes(dir / "plain", "no ending");
    EXPECT_EQ(ReadFirstLine(dir / "plain"), "no ending");
    WriteBytes(dir / "empty", "");
    EXPECT_EQ(ReadFirstLine(dir / "empty"), "");
    EXPECT_EQ(ReadFirstLine(dir / "missing"), std::nullopt);
}

TEST(TextFileTest, AtomicWriteLeavesNoTemporaryBehind) {
    TempDir dir;
    const fs::path file = dir / "Hostlet.tmp";
    ASSERT_TRUE(WriteFileAtomically(file, "10.0.0.1 ==> pc-01\r\n"));
    EXPECT_EQ(ReadBytes(file), "10.0.0.1 ==> pc-01\r\n");
    // A target folder that does not exist: the write fails and nothing is left.
    EXPECT_FALSE(WriteFileAtomically(dir / "no-such-folder" / "x", "data"));
    // A target that is a folder: the rename fails, the temporary is removed.
    fs::create_directory(dir / "folder");
    EXPECT_FALSE(WriteFileAtomically(dir / "folder", "data"));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 2u);  // Hostlet.tmp and folder
}

#if !defined(_WIN32)  // /dev/full: Linux
TEST(TextFileTest, AFullDeviceIsAFailureNotASuccess) {
    if (!fs::exists("/dev/full")) GTEST_FAIL() << "/dev/full is missing: cannot test a full device";
    EXPECT_FALSE(WriteLineFile("/dev/full", "port|10.0.0.1|"));
}
#endif

TEST(TextFileTest, WholeFileKeepsEveryByte) {
    TempDir dir;
    std::string bytes(70000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    WriteBytes(dir / "bin", bytes);
    EXPECT_EQ(ReadWholeFile(dir / "bin"), bytes);
    EXPECT_EQ(ReadWholeFile(dir / "missing"), std::nullopt);
    EXPECT_TRUE(IsRegularFile(dir / "bin"));
    EXPECT_FALSE(IsRegularFile(dir.path()));
}

}  // namespace
}  // namespace velmor
