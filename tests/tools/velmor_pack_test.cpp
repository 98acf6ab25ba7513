#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <regex>

#include "pack_plan.h"
#include "velmor/test/recording_launcher.h"
#include "velmor/test/temp_dir.h"
#include "velmor/updater/fields.h"
#include "velmor/updater/package.h"
#include "velmor/updater/signature.h"

namespace velmor::pack {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

std::vector<long> Parts(const std::string& version) {
    std::vector<long> parts;
    std::size_t start = 0;
    for (;;) {
        const auto dot = version.find('.', start);
        parts.push_back(std::stol(version.substr(start, dot - start)));
        if (dot == std::string::npos) return parts;
        start = dot + 1;
    }
}

TEST(OlderVersionPattern, MatchesExactlyTheOlderVersions) {
    std::mt19937 random(7);
    const std::vector<std::string> published{"1.0703.01", "2.0.0", "10.100.9", "0.0.1", "1.0.0", "3.1990.10"};
    for (const auto& version : published) {
        const auto pattern = OlderVersionPattern(version);
        ASSERT_TRUE(pattern) << version;
        const std::regex older(*pattern);
        const auto reference = Parts(version);
        // Neighbours of every part, spelt with and without leading zeros.
        for (int round = 0; round < 3000; ++round) {
            std::string candidate;
            std::vector<long> parts;
            for (std::size_t i = 0; i < reference.size(); ++i) {
                long value = reference[i] + static_cast<long>(random() % 5) - 2;
                if (random() % 4 == 0) value = static_cast<long>(random() % 2000);
                if (value < 0) value = 0;
                parts.push_back(value);
                std::string digits = std::to_string(value);
                if (random() % 3 == 0) digits.insert(0, random() % 3, '0');
                candidate += (i ? "." : "") + digits;
            }
            EXPECT_EQ(std::regex_match(candidate, older), parts < reference)
                << version << " vs " << candidate;
        }
        EXPECT_FALSE(std::regex_match(version, older));
        EXPECT_FALSE(std::regex_match(version + ".1", older));  // another number of parts
        EXPECT_FALSE(std::regex_match("x" + version, older));
    }
    EXPECT_FALSE(std::regex_match("0.0.0", std::regex(*OlderVersionPattern("0.0.0"))));
    EXPECT_FALSE(OlderVersionPattern("1.x.3"));
    EXPECT_FALSE(OlderVersionPattern("1..3"));
    EXPECT_FALSE(OlderVersionPattern(""));
}

TEST(PackPlan, FoldersComeBeforeTheFoldersInsideThem) {
    TempDir dir;
    WriteBytes(dir / "tree" / "z" / "deep" / "f", "1");
    WriteBytes(dir / "tree" / "z" / "g", "2");
    WriteBytes(dir / "tree" / "top", "3");
    WriteBytes(dir / "tree" / "only" / "inner" / "h", "4");
    WriteBytes(dir / "single.txt", "5");
    std::string error;
    const auto plan =
        PlanSources({(dir / "tree").string(), (dir / "single.txt").string() + "=docs/readme.txt"}, &error);
    ASSERT_TRUE(plan) << error;
    std::vector<std::string> stored;
    for (const auto& file : *plan) stored.push_back(file.folder_name + "|" + file.file_name);
    EXPECT_EQ(stored,
              (std::vector<std::string>{"|top", "docs|readme.txt", "z|g", "only\\inner|h", "z\\deep|f"}));
    // "only\inner" has no file in "only": the unpacker could not create it in one step.
    EXPECT_EQ(FoldersNeedingParent(*plan), std::vector<std::string>{"only\\inner"});
    EXPECT_FALSE(PlanSources({(dir / "missing").string()}, &error));
}

TEST(PackPlan, ThePageAnnouncesThePackage) {
    const std::string signature = std::string(86, 'A') + "==";
    const std::string page = UpdatePageText("1.0704.01", "https://h/client/TmpNewVer.jar", 4096, signature);
    const auto parsed = updater::ParseUpdatePage(page);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->label, "1.0704.01");
    EXPECT_EQ(parsed->package_url, "https://h/client/TmpNewVer.jar");
    EXPECT_EQ(parsed->package_size, "4096");
    EXPECT_EQ(parsed->signature, signature);
}

class NoWait final : public updater::Sleeper {
public:
    void Sleep(std::chrono::milliseconds) override {}
};

int Shell(const std::string& command) {
    return std::system(command.c_str());
}

// The tool itself: a tree packed, the page written, and the package unpacked to the same tree.
TEST(VelmorPackTool, PacksATreeThatUnpacksToTheSameFiles) {
    TempDir dir;
    std::string big;
    for (int i = 0; i < 200000; ++i) big += static_cast<char>('a' + i * 7 % 26);
    WriteBytes(dir / "src" / "velmor", "#!/bin/sh\nexit 0\n");
    WriteBytes(dir / "src" / "support" / "fetchel", big);
    WriteBytes(dir / "src" / "help" / "help.htm", "<html>도움말</html>");
    WriteBytes(dir / "src" / "empty", "");
    const fs::path package = dir / "TmpNewVer.jar";
    const fs::path page = dir / "update.html";
    const fs::path private_key = dir / "keys" / "release.key";
    const fs::path public_key = dir / "keys" / "update-key.pem";
    fs::create_directory(dir / "keys");
    ASSERT_EQ(Shell(std::string(VELMOR_PACK_PROGRAM) + " keygen '" + private_key.string() + "' '" +
                    public_key.string() + "' > /dev/null"),
              0);
    const std::string pack = std::string(VELMOR_PACK_PROGRAM) + " -o '" + package.string() +
                             "' -l 'velmor --after-update' --page '" + page.string() +
                             "' --label 1.0704.01 --url https://h/client/TmpNewVer.jar --key '" +
                             private_key.string() + "' '" + (dir / "src").string() + "'";
    ASSERT_EQ(Shell(pack + " > /dev/null"), 0);
    const auto parsed = updater::ParseUpdatePage(ReadBytes(page));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->package_size, std::to_string(fs::file_size(package)));
    // The page signs the package with the key pair just made, as the Updater checks it.
    EXPECT_TRUE(updater::VerifyPackageFile(package, parsed->signature, public_key));
    const std::string check =
        std::string(VELMOR_PACK_PROGRAM) + " --check '" + page.string() + "' '" + package.string() + "' ";
    EXPECT_EQ(Shell(check + "'" + public_key.string() + "' > /dev/null"), 0);

    const fs::path target = dir / "product";
    fs::create_directory(target);
    const fs::path saved = fs::current_path();
    NoWait sleeper;
    test::RecordingLauncher starter;
    const auto report = updater::UnpackWithReport(package, target, sleeper, starter);
    fs::current_path(saved);
    EXPECT_EQ(report.written, 4);
    EXPECT_EQ(ReadBytes(target / "support" / "fetchel"), big);
    EXPECT_EQ(ReadBytes(target / "help" / "help.htm"), "<html>도움말</html>");
    EXPECT_EQ(fs::file_size(target / "empty"), 0u);
    EXPECT_EQ(starter.Last().program, target / "velmor");
    EXPECT_EQ(starter.Last().arguments, std::vector<std::string>{"--after-update"});
    // A script gets its execute permission back.
    EXPECT_NE(fs::status(target / "velmor").permissions() & fs::perms::owner_exec, fs::perms::none);

    // The private key is its owner's alone, the public one is a plain SubjectPublicKeyInfo PEM, and
    // keygen never replaces an existing key.
    EXPECT_EQ(fs::status(private_key).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(updater::IsEd25519PublicKey(ReadBytes(public_key)));
    const std::string kept = ReadBytes(private_key);
    EXPECT_NE(Shell(std::string(VELMOR_PACK_PROGRAM) + " keygen '" + private_key.string() + "' '" +
                    (dir / "other.pem").string() + "' 2> /dev/null"),
              0);
    EXPECT_EQ(ReadBytes(private_key), kept);
    EXPECT_FALSE(fs::exists(dir / "other.pem"));

    // --check refuses another key and a package changed after signing.
    ASSERT_EQ(Shell(std::string(VELMOR_PACK_PROGRAM) + " keygen '" + (dir / "other.key").string() + "' '" +
                    (dir / "other.pem").string() + "' > /dev/null"),
              0);
    EXPECT_NE(Shell(check + "'" + (dir / "other.pem").string() + "' > /dev/null 2>&1"), 0);
    std::string changed = ReadBytes(package);
    changed[300] ^= 1;
    WriteBytes(package, changed);
    EXPECT_NE(Shell(check + "'" + public_key.string() + "' > /dev/null 2>&1"), 0);

    // Wrong use fails plainly: a page needs a key, and the key must be a private Ed25519 key.
    EXPECT_NE(Shell(std::string(VELMOR_PACK_PROGRAM) + " -o '" + package.string() + "' -l v --page '" +
                    page.string() + "' --label 1 --url u '" + (dir / "src").string() + "' 2> /dev/null"),
              0);
    EXPECT_NE(Shell(std::string(VELMOR_PACK_PROGRAM) + " -o '" + package.string() + "' -l v --page '" +
                    page.string() + "' --label 1 --url u --key '" + public_key.string() + "' '" +
                    (dir / "src").string() + "' 2> /dev/null"),
              0);
    EXPECT_NE(Shell(std::string(VELMOR_PACK_PROGRAM) + " -o x.jar 2> /dev/null"), 0);
    EXPECT_NE(Shell(std::string(VELMOR_PACK_PROGRAM) + " -o '" + package.string() + "' -l v '" +
                    (dir / "nothing").string() + "' 2> /dev/null"),
              0);
    EXPECT_NE(Shell(std::string(VELMOR_PACK_PROGRAM) + " -o '" + package.string() +
                    "' -l v --page p --label '[x]' --url u --key '" + private_key.string() + "' '" +
                    (dir / "src").string() + "' 2> /dev/null"),
              0);
}

}  // namespace
}  // namespace velmor::pack
