#include "velmor/updater/package.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <chrono>
#include <thread>

#include "velmor/test/recording_launcher.h"
#include "velmor/test/temp_dir.h"
#include "velmor/updater/package_writer.h"

namespace velmor::updater {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;
namespace fs = std::filesystem;

class FakeSleeper final : public Sleeper {
public:
    void Sleep(std::chrono::milliseconds duration) override { slept += duration; }
    std::chrono::milliseconds slept{0};
};

// Keeps the test's own current folder, which Unpack changes.
class UnpackTest : public ::testing::Test {
protected:
    UnpackTest() : saved_cwd_(fs::current_path()) { fs::create_directory(target()); }
    ~UnpackTest() override { fs::current_path(saved_cwd_); }

    fs::path target() const { return dir_ / "product"; }
    fs::path package() const { return dir_ / "TmpNewVer.jar"; }

    UnpackReport UnpackBytes(const std::string& bytes) {
        WriteBytes(package(), bytes);
        return UnpackWithReport(package(), target(), sleeper_, starter_);
    }

    TempDir dir_;
    FakeSleeper sleeper_;
    test::RecordingLauncher starter_;
    fs::path saved_cwd_;
};

// A package of hand-made entries: the header, the given streams, then the directory.
struct RawEntry {
    std::string stream;
    std::uint32_t unpacked_size;
    std::string folder;
    std::string file;
    std::int64_t compressed_size_override = -1;
    std::int64_t data_offset_override = -1;
};

std::string RawPackage(const std::string& launch, const std::vector<RawEntry>& entries,
                       std::string trailer = {}) {
    std::string data;
    std::vector<std::uint32_t> offsets;
    for (const auto& entry : entries) {
        offsets.push_back(static_cast<std::uint32_t>(kHeaderSize + data.size()));
        data += entry.stream;
    }
    const auto directory_offset = static_cast<std::uint32_t>(kHeaderSize + data.size());
    std::string bytes = EncodeHeader(entries.empty() ? 0 : directory_offset, launch) + data;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        const auto size = e.compressed_size_override >= 0
                              ? static_cast<std::uint32_t>(e.compressed_size_override)
                              : static_cast<std::uint32_t>(e.stream.size());
        const auto offset =
            e.data_offset_override >= 0 ? static_cast<std::uint32_t>(e.data_offset_override) : offsets[i];
        bytes += EncodeEntry(offset, e.unpacked_size, size, e.folder, e.file);
    }
    return bytes + trailer;
}

TEST(PackageLayout, HeaderAndDirectoryDecodeAsStored) {
    const std::string bytes =
        EncodeHeader(0x01020304, "velmor --x") + EncodeEntry(7, 8, 9, "sub", "file.txt");
    ASSERT_EQ(bytes.size(), kHeaderSize + kEntrySize);
    const auto header = ParseHeader(bytes);
    EXPECT_EQ(header.directory_offset, 0x01020304u);
    EXPECT_EQ(header.launch_name, "velmor --x");
    const auto entries = ParseDirectory(std::string_view(bytes).substr(kHeaderSize));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data_offset, 7u);
    EXPECT_EQ(entries[0].unpacked_size, 8u);
    EXPECT_EQ(entries[0].compressed_size, 9u);
    EXPECT_EQ(entries[0].folder_name, "sub");
    EXPECT_EQ(entries[0].file_name, "file.txt");

    // A name that fills its whole field has no end: it is reported as such, never read past.
    std::string unterminated = EncodeEntry(0, 0, 0, "", "x");
    std::fill(unterminated.begin() + 140, unterminated.end(), 'A');
    EXPECT_FALSE(ParseDirectory(unterminated)[0].file_name.has_value());
    // A header cut short reads as zero-padded.
    EXPECT_EQ(ParseHeader(std::string("\x05\x00", 2)).directory_offset, 5u);
}

TEST(PackageLayout, OutputBufferFollowsTheFormulaIn32Bits) {
    EXPECT_EQ(OutputBufferSize(1000), 1042u);
    EXPECT_EQ(OutputBufferSize(0), 32u);
    EXPECT_EQ(OutputBufferSize(88), 121u);
    // Near 4 GiB the sum wraps, as the unsigned 32-bit formula does.
    EXPECT_EQ(OutputBufferSize(0xFFFFFFFFu), 0xFFFFFFFFu + (0xFFFFFFFFu + 12u) / 100u + 32u);
}

TEST(PackageLayout, StoredNamesThatLeaveTheTargetAreRefused) {
    for (const char* bad :
         {"/etc/passwd", "\\x", "..", "..\\x", "a/../../x", "a\\..\\x", "C:\\x", "c:x", "C:", ""}) {
        EXPECT_FALSE(SplitStoredName(bad).has_value()) << bad;
    }
    EXPECT_EQ(SplitStoredName("a\\b/c"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(SplitStoredName("a\\\\.\\b"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(SplitStoredName("..a"), (std::vector<std::string>{"..a"}));

    const fs::path target = "/p";
    EXPECT_EQ(BuildOutputPath(target, "", "f"), fs::path("/p/f"));
    EXPECT_EQ(BuildOutputPath(target, "s\\t", "f"), fs::path("/p/s/t/f"));
    EXPECT_FALSE(BuildOutputPath(target, "..", "f"));
    // "/p" + "\" + name: 1023 bytes fit, 1024 do not.
    EXPECT_TRUE(BuildOutputPath(target, "", std::string(1020, 'n')));
    EXPECT_FALSE(BuildOutputPath(target, "", std::string(1021, 'n')));
    EXPECT_FALSE(BuildOutputPath(target, std::string(500, 'd'), std::string(520, 'n')));

    const auto command = BuildLaunchCommand(target, "bin\\velmor  --start now ");
    ASSERT_TRUE(command);
    EXPECT_EQ(command->program, fs::path("/p/bin/velmor"));
    EXPECT_EQ(command->arguments, (std::vector<std::string>{"--start", "now"}));
    EXPECT_FALSE(BuildLaunchCommand(target, ""));
    EXPECT_FALSE(BuildLaunchCommand(target, "   "));
    EXPECT_FALSE(BuildLaunchCommand(target, "/bin/sh -c x"));
    EXPECT_FALSE(BuildLaunchCommand(target, "..\\velmor"));
    EXPECT_FALSE(BuildLaunchCommand(target, std::string(1021, 'v')));
}

TEST_F(UnpackTest, WritesEveryFileWaitsASecondAndStartsTheLaunchProgramInTheTarget) {
    const auto bytes = BuildPackage("velmor --updated", {{"", "velmor", "new program"},
                                                         {"", "readme.txt", std::string(100000, 'r')},
                                                         {"support", "fetchel", "fetchel v2"},
                                                         {"support\\lang", "ko.txt", "한국어"}});
    ASSERT_TRUE(bytes);
    const auto report = UnpackBytes(*bytes);
    EXPECT_EQ(report.written, 4);
    EXPECT_EQ(ReadBytes(target() / "velmor"), "new program");
    EXPECT_EQ(ReadBytes(target() / "readme.txt"), std::string(100000, 'r'));
    EXPECT_EQ(ReadBytes(target() / "support" / "fetchel"), "fetchel v2");
    EXPECT_EQ(ReadBytes(target() / "support" / "lang" / "ko.txt"), "한국어");
    EXPECT_EQ(sleeper_.slept, std::chrono::milliseconds(1000));
    ASSERT_EQ(starter_.launches.size(), 1u);
    EXPECT_EQ(starter_.launches[0].program, target() / "velmor");
    EXPECT_EQ(starter_.launches[0].arguments, std::vector<std::string>{"--updated"});
    EXPECT_EQ(fs::canonical(starter_.launches[0].folder), fs::canonical(target()));
}

TEST_F(UnpackTest, EmptyFolderNamesWriteIntoTheTargetAndCreateNoFolder) {
    ASSERT_TRUE(fs::create_directory(target() / "keep"));
    WriteBytes(target() / "untouched.txt", "old");
    UnpackBytes(*BuildPackage("", {{"", "a", "1"}, {"", "b", "2"}}));
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(target()))
        names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "keep", "untouched.txt"}));
    EXPECT_EQ(ReadBytes(target() / "untouched.txt"), "old");
    EXPECT_TRUE(starter_.launches.empty());  // an empty launch name starts nothing
}

TEST_F(UnpackTest, FoldersAreCreatedOneLevelAtATime) {
    // "deep\inner" first: its parent does not exist yet, so that entry is skipped; after "deep"
    // has been created by the next entry, the same folder works.
    const auto report = UnpackBytes(*BuildPackage(
        "", {{"deep\\inner", "x", "early"}, {"deep", "y", "parent"}, {"deep\\inner", "x", "late"}}));
    EXPECT_EQ(report.skipped, 1);
    EXPECT_EQ(report.written, 2);
    EXPECT_EQ(ReadBytes(target() / "deep" / "inner" / "x"), "late");
}

TEST_F(UnpackTest, TheLaterOfTwoEntriesWithTheSameNameWins) {
    UnpackBytes(*BuildPackage("", {{"s", "f", "first, longer"}, {"s", "f", "second"}}));
    EXPECT_EQ(ReadBytes(target() / "s" / "f"), "second");
}

TEST_F(UnpackTest, AStreamFillingTheBufferExactlyIsWrittenOneByteMoreIsEmpty) {
    // UnpackedSize 1000 gives a buffer of 1042 bytes; the true length only has to fit.
    const std::string fits(1042, 'f');
    const std::string too_long(1043, 'g');
    WriteBytes(target() / "over", "previous content");
    const auto report = UnpackBytes(RawPackage("", {{CompressStream(fits), 1000, "", "exact"},
                                                    {CompressStream(too_long), 1000, "", "over"},
                                                    {CompressStream("short"), 1000, "", "short"}}));
    EXPECT_EQ(report.written, 2);
    EXPECT_EQ(ReadBytes(target() / "exact"), fits);
    EXPECT_TRUE(fs::exists(target() / "over"));
    EXPECT_EQ(fs::file_size(target() / "over"), 0u);
    // The inflated length is written, not UnpackedSize.
    EXPECT_EQ(ReadBytes(target() / "short"), "short");
}

TEST_F(UnpackTest, BrokenStreamsLeaveEmptyFiles) {
    std::string content;
    std::uint32_t seed = 12345;
    for (int i = 0; i < 300000; ++i) {
        seed = seed * 1103515245u + 12345u;
        content.push_back(static_cast<char>('a' + (seed >> 16) % 7));
    }
    const std::string good = CompressStream(content + "tail");
    std::string corrupt = good;
    corrupt[good.size() / 2] ^= 0x55;
    std::string bad_checksum = good;
    bad_checksum.back() ^= 0x01;
    std::string bad_header = good;
    bad_header[0] = 0x00;
    for (const char* name : {"corrupt", "truncated", "checksum", "header", "empty"})
        WriteBytes(target() / name, "old");
    const auto report =
        UnpackBytes(RawPackage("", {{corrupt, 400000, "", "corrupt"},
                                    {good.substr(0, good.size() - 3), 400000, "", "truncated"},
                                    {bad_checksum, 400000, "", "checksum"},
                                    {bad_header, 400000, "", "header"},
                                    {good, 400000, "", "empty", 0},  // CompressedSize 0
                                    {good + "trailing bytes", 400000, "", "trailing"}}));
    for (const char* name : {"corrupt", "truncated", "checksum", "header", "empty"}) {
        EXPECT_TRUE(fs::exists(target() / name)) << name;
        EXPECT_EQ(fs::file_size(target() / name), 0u) << name;
    }
    // Bytes after a complete stream are ignored, as the one-shot call ignores them.
    EXPECT_EQ(ReadBytes(target() / "trailing"), content + "tail");
    EXPECT_EQ(report.emptied, 5);
    EXPECT_EQ(report.written, 1);
}

TEST_F(UnpackTest, SizesPastTheEndOfThePackageFailWithoutReadingOrAllocating) {
    const std::string stream = CompressStream("data");
    const auto report = UnpackBytes(RawPackage("run", {{stream, 4, "", "offset", -1, 0x7FFFFFF0},
                                                       {stream, 4, "", "huge", 0xFFFFFFF0},
                                                       {stream, 4, "", "ok"}}));
    EXPECT_EQ(fs::file_size(target() / "offset"), 0u);
    EXPECT_EQ(fs::file_size(target() / "huge"), 0u);
    EXPECT_EQ(ReadBytes(target() / "ok"), "data");
    EXPECT_EQ(report.emptied, 2);
    EXPECT_EQ(starter_.launches.size(), 1u);  // failed entries do not stop the start
}

TEST_F(UnpackTest, TheDirectoryHoldsAtMost1024WholeEntries) {
    const std::string stream = CompressStream("x");
    std::string bytes = EncodeHeader(kHeaderSize + static_cast<std::uint32_t>(stream.size()), "") + stream;
    for (int i = 0; i < 1030; ++i)
        bytes += EncodeEntry(kHeaderSize, 1, stream.size(), "", "f" + std::to_string(i));
    bytes += std::string(100, '\x01');  // a partial entry
    const auto report = UnpackBytes(bytes);
    EXPECT_EQ(report.written, 1024);
    EXPECT_TRUE(fs::exists(target() / "f1023"));
    EXPECT_FALSE(fs::exists(target() / "f1024"));

    // 1024 entries plus a partial one: the partial one is ignored. Unpack entered the target, which
    // Windows does not let go while it is a current folder.
    fs::current_path(dir_.path());
    fs::remove_all(target());
    fs::create_directory(target());
    bytes = EncodeHeader(kHeaderSize + static_cast<std::uint32_t>(stream.size()), "") + stream;
    for (int i = 0; i < 1024; ++i)
        bytes += EncodeEntry(kHeaderSize, 1, stream.size(), "", "g" + std::to_string(i));
    bytes += EncodeEntry(kHeaderSize, 1, stream.size(), "", "partial").substr(0, 100);
    EXPECT_EQ(UnpackBytes(bytes).written, 1024);
}

TEST_F(UnpackTest, WithoutADirectoryNothingIsWrittenButTheProgramStarts) {
    UnpackBytes(EncodeHeader(0, "velmor") + CompressStream("ignored"));
    EXPECT_EQ(starter_.launches.size(), 1u);
    starter_.launches.clear();
    // A directory offset that leaves less than one entry: no files either.
    const std::string stream = CompressStream("x");
    UnpackBytes(EncodeHeader(kHeaderSize, "velmor") + EncodeEntry(0, 1, 1, "", "f").substr(0, 267));
    EXPECT_FALSE(fs::exists(target() / "f"));
    EXPECT_EQ(starter_.launches.size(), 1u);
}

TEST_F(UnpackTest, AMissingPackageStartsNothingButStillEntersTheTarget) {
    UnpackWithReport(dir_ / "missing.jar", target(), sleeper_, starter_);
    EXPECT_TRUE(starter_.launches.empty());
    EXPECT_EQ(fs::canonical(fs::current_path()), fs::canonical(target()));
    EXPECT_EQ(sleeper_.slept, std::chrono::milliseconds(1000));
}

TEST_F(UnpackTest, RefusedNamesTouchNothingAndARefusedLaunchNameStartsNothing) {
    const fs::path outside = dir_ / "outside.txt";
    WriteBytes(outside, "precious");
    const std::string stream = CompressStream("evil");
    const std::string long_name(1000, 'n');
    const auto report =
        UnpackBytes(RawPackage("../outside.txt", {{stream, 4, "", "../outside.txt"},
                                                  {stream, 4, "..", "outside.txt"},
                                                  {stream, 4, "", fs::absolute(outside).string()},
                                                  {stream, 4, "C:\\", "outside.txt"},
                                                  {stream, 4, "sub\\..\\..", "outside.txt"},
                                                  {stream, 4, "", "fine"}}));
    EXPECT_EQ(ReadBytes(outside), "precious");
    EXPECT_EQ(report.skipped, 5);
    EXPECT_EQ(ReadBytes(target() / "fine"), "evil");
    // No folder "C:" inside the target (on Windows target() / "C:" would name the drive instead).
    for (const auto& entry : fs::directory_iterator(target()))
        EXPECT_NE(entry.path().filename().string(), "C:");
    EXPECT_TRUE(starter_.launches.empty());
}

TEST_F(UnpackTest, AnEntryWhoseFileCannotBeCreatedIsSkippedAndLeftAsItWas) {
    fs::create_directory(target() / "dir");
    const auto report =
        UnpackBytes(*BuildPackage("", {{"", "missing\\f", "x"}, {"", "dir", "x"}, {"", "ok", "y"}}));
    EXPECT_EQ(report.skipped, 2);
    EXPECT_TRUE(fs::is_directory(target() / "dir"));
    EXPECT_EQ(ReadBytes(target() / "ok"), "y");
}

#if !defined(_WIN32)  // a shell script as the program: Linux
// The real start: the program runs in the target folder, also when it is new in the package and
// carries no mode bits.
TEST_F(UnpackTest, TheStartedProgramRunsInTheTargetFolder) {
    const auto bytes =
        BuildPackage("bin/probe.sh started.txt", {{"bin", "probe.sh", "#!/bin/sh\npwd > \"$1\"\n"}});
    WriteBytes(package(), *bytes);
    UnpackWithReport(package(), target(), sleeper_, platform::SystemLauncher());
    const fs::path record = target() / "started.txt";
    for (int i = 0; i < 200 && (!fs::exists(record) || fs::file_size(record) == 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(ReadBytes(record), fs::canonical(target()).string() + "\n");
}
#endif

#if !defined(_WIN32)  // inodes, mode bits and fork: Linux
// Nothing but the package's own files is left in a folder: no half-written file beside them.
std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Each file is written beside its target and renamed over it: whoever has the old file open, a
// running program included, keeps the old inode and its bytes; the new file keeps the old mode.
TEST_F(UnpackTest, FilesAreReplacedByRenameSoOpenAndRunningFilesKeepTheirInode) {
    WriteBytes(target() / "data.txt", "old contents");
    fs::permissions(target() / "data.txt",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    struct stat before {};
    ASSERT_EQ(::stat((target() / "data.txt").c_str(), &before), 0);
    const int reader = ::open((target() / "data.txt").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);

    // A program that runs from the folder while it is updated (a truncating write fails on it).
    fs::copy_file("/bin/sleep", target() / "runner");
    const pid_t runner = ::fork();
    ASSERT_GE(runner, 0);
    if (runner == 0) {
        ::execl((target() / "runner").c_str(), "runner", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string new_program =
        "\x7f"
        "ELF new program";

    const auto report =
        UnpackBytes(*BuildPackage("", {{"", "data.txt", "new contents"}, {"", "runner", new_program}}));
    EXPECT_EQ(report.written, 2);
    EXPECT_EQ(ReadBytes(target() / "data.txt"), "new contents");
    EXPECT_EQ(ReadBytes(target() / "runner"), new_program);
    struct stat after {};
    ASSERT_EQ(::stat((target() / "data.txt").c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 0777, 0640u);
    char old_view[64] = {};
    EXPECT_EQ(::read(reader, old_view, sizeof old_view), 12);
    ::close(reader);
    EXPECT_EQ(std::string(old_view), "old contents");
    // The running program was not disturbed and its replacement can run.
    EXPECT_EQ(::waitpid(runner, nullptr, WNOHANG), 0);
    EXPECT_NE(fs::status(target() / "runner").permissions() & fs::perms::owner_exec, fs::perms::none);
    ::kill(runner, SIGKILL);
    ::waitpid(runner, nullptr, 0);
    EXPECT_EQ(Names(target()), (std::vector<std::string>{"data.txt", "runner"}));
}
#endif

#if !defined(_WIN32)  // links: Linux
// A link inside the target never carries a write outside it: a linked folder on the way refuses
// the entry, and a link where a file goes is replaced by the file, its own target untouched.
TEST_F(UnpackTest, LinksInTheTargetAreNeverFollowed) {
    const fs::path outside = dir_ / "outside";
    fs::create_directory(outside);
    WriteBytes(outside / "victim", "keep me");
    fs::create_directory_symlink(outside, target() / "linked");
    fs::create_directory(target() / "real");
    fs::create_directory_symlink(outside, target() / "real" / "deeper");
    fs::create_symlink(outside / "victim", target() / "file-link");
    const auto report = UnpackBytes(*BuildPackage("", {{"linked", "victim", "overwritten"},
                                                       {"linked", "new", "planted"},
                                                       {"", "linked\\victim", "overwritten"},
                                                       {"real", "deeper\\victim", "overwritten"},
                                                       {"real\\deeper", "new", "planted"},
                                                       {"", "file-link", "replaced"}}));
    EXPECT_EQ(report.skipped, 5);
    EXPECT_EQ(report.written, 1);
    EXPECT_EQ(ReadBytes(outside / "victim"), "keep me");
    EXPECT_EQ(Names(outside), std::vector<std::string>{"victim"});
    EXPECT_FALSE(fs::is_symlink(target() / "file-link"));
    EXPECT_EQ(ReadBytes(target() / "file-link"), "replaced");
    EXPECT_EQ(Names(target()), (std::vector<std::string>{"file-link", "linked", "real"}));
}
#endif

#if !defined(_WIN32)  // fork and RLIMIT_FSIZE: Linux
// A file that cannot be written whole (here: past the process's file size limit) replaces
// nothing: the old file stays whole and no part of the new one is left beside it.
TEST_F(UnpackTest, AnEntryThatCannotBeWrittenWholeLeavesTheOldFileWhole) {
    WriteBytes(target() / "big", "old big");
    WriteBytes(target() / "small", "old small");
    WriteBytes(package(),
               *BuildPackage("", {{"", "big", std::string(300000, 'b')}, {"", "small", "new small"}}));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100000, 100000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const auto report = UnpackWithReport(package(), target(), sleeper_, starter_);
        ::_exit(report.skipped == 1 && report.written == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadBytes(target() / "big"), "old big");
    EXPECT_EQ(ReadBytes(target() / "small"), "new small");
    EXPECT_EQ(Names(target()), (std::vector<std::string>{"big", "small"}));
}
#endif

}  // namespace
}  // namespace velmor::updater
