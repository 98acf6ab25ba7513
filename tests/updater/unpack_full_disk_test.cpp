// Unpacking onto a disk that is full: the entries that cannot be written are reported in the
// trail, each old file stays whole and no half-written file is left beside them.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "velmor/platform/diag.h"
#include "velmor/test/full_tmpfs.h"
#include "velmor/test/temp_dir.h"
#include "velmor/updater/package.h"
#include "velmor/updater/package_writer.h"

namespace velmor::updater {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::WriteBytes;

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != ".filler") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(UnpackFullDiskTest, EntriesThatCannotBeWrittenKeepTheOldFilesAndLeaveATrail) {
    const fs::path saved_cwd = fs::current_path();
    test::TempDir dir;
    test::FullTmpfs disk(dir / "product");
    ASSERT_TRUE(disk.error().empty()) << disk.error();
    WriteBytes(disk.path() / "velmor", "old program");
    ASSERT_TRUE(disk.Fill()) << "the tmpfs did not fill up";

    std::string program(20000, '\0');
    for (std::size_t i = 0; i < program.size(); ++i) program[i] = static_cast<char>((i * 131) ^ (i >> 7));
    const auto package = BuildPackage("", {{"", "velmor", program}, {"", "new.txt", "new file"}});
    ASSERT_TRUE(package);
    WriteBytes(dir / "TmpNewVer.jar", *package);

    std::vector<std::string> trail;
    {
        platform::DiagCapture capture([&](std::string_view line) { trail.emplace_back(line); });
        Unpack(dir / "TmpNewVer.jar", disk.path());
    }
    fs::current_path(saved_cwd);

    EXPECT_EQ(ReadBytes(disk.path() / "velmor"), "old program");
    EXPECT_EQ(Names(disk.path()), (std::vector<std::string>{"velmor"}));
    EXPECT_TRUE(std::any_of(trail.begin(), trail.end(),
                            [](const std::string& line) { return line == "unpack: cannot write velmor"; }));
    EXPECT_TRUE(std::any_of(trail.begin(), trail.end(),
                            [](const std::string& line) { return line == "unpack: cannot write new.txt"; }));
}

}  // namespace
}  // namespace velmor::updater
