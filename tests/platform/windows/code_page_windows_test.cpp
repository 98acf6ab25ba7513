// Text files in the system's code page: with LANG=ko_KR.UTF-8 wine's ANSI code page is 949, the one
// of Korean Windows. The programs' texts are UTF-8; the files hold CP949 and end in CR LF.
#include <gtest/gtest.h>
#include <windows.h>

#include "velmor/common/text_file.h"
#include "velmor/platform/system_text.h"
#include "velmor/rules/rule_store.h"
#include "velmor/test/temp_dir.h"
#include "velmor/updater/fields.h"

namespace velmor {
namespace {

// "홍길동" and "한글" in CP949, as Korean Windows writes them.
constexpr std::string_view kNameUtf8 = "\xED\x99\x8D\xEA\xB8\xB8\xEB\x8F\x99";
constexpr std::string_view kNameCp949 = "\xC8\xAB\xB1\xE6\xB5\xBF";
constexpr std::string_view kHangulUtf8 = "\xED\x95\x9C\xEA\xB8\x80";
constexpr std::string_view kHangulCp949 = "\xC7\xD1\xB1\xDB";

class CodePageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::GetACP(), 949u) << "the tests run with LANG=ko_KR.UTF-8 (tests/support/windows)";
    }
    test::TempDir folder;
};

TEST_F(CodePageTest, TextsConvertBothWaysAndWhatTheCodePageLacksBecomesAQuestionMark) {
    EXPECT_EQ(platform::ToSystemText(kHangulUtf8), kHangulCp949);
    EXPECT_EQ(platform::FromSystemText(std::string(kHangulCp949)), kHangulUtf8);
    EXPECT_EQ(platform::ToSystemText("10.1.2.3|pc-01"), "10.1.2.3|pc-01");
    // Thai is not in code page 949.
    EXPECT_EQ(platform::ToSystemText("a\xE0\xB8\x81z"), "a?z");
    // A path from UTF-8 names the characters, not the bytes.
    EXPECT_EQ(platform::PathFromText(kHangulUtf8).native(), L"\uD55C\uAE00");
}

TEST_F(CodePageTest, RuleFilesHoldCp949AndReadBackAsTheSameText) {
    std::filesystem::create_directories(folder / "invader");
    rules::RuleStore store(folder.path());
    const std::string line = "1043|10.1.2.3|" + std::string(kNameUtf8) + "-PC";
    ASSERT_TRUE(store.Write("10.1.2.3", rules::Verdict::Blocked, line));
    EXPECT_EQ(test::ReadBytes(folder / "invader" / "10.1.2.3.x"),
              "1043|10.1.2.3|" + std::string(kNameCp949) + "-PC\r\n");
    EXPECT_EQ(store.ReadLine("10.1.2.3", rules::Verdict::Blocked), line);

    // A rule file a Korean system wrote by hand reads as the same text.
    test::WriteBytes(folder / "invader" / "10.1.2.4.o", "-|10.1.2.4|" + std::string(kHangulCp949) + "\r\n");
    EXPECT_EQ(rules::InfoOfRuleLine(store.ReadLine("10.1.2.4", rules::Verdict::Allowed).value_or("")),
              kHangulUtf8);
}

TEST_F(CodePageTest, TheHandOverFileRoundTripsKoreanFolderNames) {
    // The folders of a user whose profile has a Korean name.
    const std::string target = "C:\\Users\\" + std::string(kNameUtf8) + "\\Velmor";
    const std::string line = "\"[velmor][" + target + "][" + target + "\\support][" + target +
                             "\\support\\TmpNewVer.jar][1.0703.01][http://update.example/q?v=1][65538]\"";
    const auto file = folder / "UpdateInfo.tmp";
    ASSERT_TRUE(WriteLineFile(file, line));
    const std::string bytes = test::ReadBytes(file);
    EXPECT_NE(bytes.find("C:\\Users\\" + std::string(kNameCp949) + "\\Velmor"), std::string::npos);
    EXPECT_EQ(bytes.find(kNameUtf8), std::string::npos) << "no UTF-8 in the file";
    EXPECT_TRUE(bytes.ends_with("\"\r\n"));

    const auto hand_over = updater::ReadHandOver(file);
    ASSERT_TRUE(hand_over);
    EXPECT_EQ(hand_over->target_folder, target);
    EXPECT_EQ(hand_over->package_path, target + "\\support\\TmpNewVer.jar");
    EXPECT_EQ(hand_over->main_window_handle, "65538");
    EXPECT_EQ(platform::PathFromText(hand_over->target_folder).native(),
              L"C:\\Users\\\uD64D\uAE38\uB3D9\\Velmor");
}

}  // namespace
}  // namespace velmor
