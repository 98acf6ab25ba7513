// The start procedure: the running-copy refusal, the hand-over file's bytes, the first-run quirk, the
// start of the updater and the order of the window's steps.
#include "velmor/shell/startup.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include "velmor/test/fakes.h"
#include "velmor/test/recording_launcher.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

// The main window as the start procedure sees it; it records the order of what happens to it and
// makes the folders when it loads, as the real load does.
class RecordingWindow final : public StartWindow {
public:
    RecordingWindow(std::filesystem::path folder, std::vector<std::string>& steps)
        : folder_(std::move(folder)), steps_(steps) {}
    platform::WindowHandle Handle() override {
        if (!loaded_) {
            loaded_ = true;
            std::filesystem::create_directories(folder_ / "support");
            steps_.push_back("load");
        }
        return 4242;
    }
    void ExpireInvaderFiles() override { steps_.push_back("expire"); }
    void ShowWindow() override { steps_.push_back("show"); }
    void HideWindow() override { steps_.push_back("hide"); }
    bool Ending() const override { return ending; }
    bool ending = false;

private:
    std::filesystem::path folder_;
    std::vector<std::string>& steps_;
    bool loaded_ = false;
};

class StartProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        launcher.on_start = [this](const test::RecordingLauncher::Launch&) { steps.push_back("updater"); };
    }

    StartOptions Options(const std::filesystem::path& program_folder) {
        StartOptions options;
        options.program_folder = program_folder;
        options.program_file = program_folder / "velmor";
        options.lock_folder = locks.path();
        options.update_host = "update.example";
        options.first_pause = std::chrono::milliseconds(30);
        options.show_for = std::chrono::milliseconds(30);
        options.launcher = &launcher;
        return options;
    }

    std::unique_ptr<platform::SingleInstance> Run(const StartOptions& options) {
        std::unique_ptr<RecordingWindow> made;
        auto claim = StartProgram(options, dialogs, [&]() -> StartWindow& {
            steps.push_back("make");
            made = std::make_unique<RecordingWindow>(options.program_folder, steps);
            return *made;
        });
        return claim;
    }

    test::TempDir folder;
    test::TempDir locks;
    test::ScriptedDialogs dialogs;
    std::vector<std::string> steps;
    test::RecordingLauncher launcher;
};

TEST(HandOverLineTest, SevenBracketedFieldsInQuotesWithCrLf) {
    EXPECT_EQ(UpdateQueryAddress("update.example"),
              "https://update.example/client/update.jsp?proid=KQ&ver=1.0703.01");
    EXPECT_EQ(HandOverLine("/opt/velmor", "update.example", 123456),
              "\"[KQ][/opt/velmor][/opt/velmor/support][/opt/velmor/support/TmpNewVer.jar][1.0703.01]"
              "[https://update.example/client/update.jsp?proid=KQ&ver=1.0703.01][123456]\"\r\n");
    // The handle is signed decimal without blanks.
    EXPECT_NE(HandOverLine("/p", "h", -5).find("[-5]\"\r\n"), std::string::npos);
}

TEST_F(StartProgramTest, FirstRunWritesNoFileThenTheNextStartDoes) {
    // No support folder yet: the file is opened before the window's load makes the folder.
    auto claim = Run(Options(folder.path()));
    ASSERT_NE(claim, nullptr);
    const auto hand_over = folder / "support" / "UpdateInfo.tmp";
    EXPECT_TRUE(std::filesystem::is_directory(folder / "support"));
    EXPECT_FALSE(std::filesystem::exists(hand_over));
    // The updater is started with the path of the missing file all the same.
    ASSERT_EQ(launcher.launches.size(), 1u);
    EXPECT_EQ(launcher.launches[0].program, folder / "support" / "updater");
    EXPECT_EQ(launcher.launches[0].arguments, std::vector<std::string>{hand_over.string()});
    EXPECT_EQ(steps, (std::vector<std::string>{"make", "load", "updater", "expire", "show", "hide"}));

    claim.reset();
    steps.clear();
    claim = Run(Options(folder.path()));
    ASSERT_NE(claim, nullptr);
    EXPECT_EQ(test::ReadBytes(hand_over), HandOverLine(folder.path(), "update.example", 4242));
}

TEST_F(StartProgramTest, FileIsRewrittenAtEveryStartAndBlanksStayOneArgument) {
    const auto spaced = folder / "My Programs" / "Velmor 1";
    std::filesystem::create_directories(spaced / "support");
    const auto hand_over = spaced / "support" / "UpdateInfo.tmp";
    test::WriteBytes(hand_over, "an older and much longer hand-over line from the last start\r\n");
    auto claim = Run(Options(spaced));
    ASSERT_NE(claim, nullptr);
    const std::string expected =
        "\"[KQ][" + spaced.string() + "][" + spaced.string() + "/support][" + spaced.string() +
        "/support/TmpNewVer.jar][1.0703.01]" +
        "[https://update.example/client/update.jsp?proid=KQ&ver=1.0703.01][4242]\"\r\n";
    EXPECT_EQ(test::ReadBytes(hand_over), expected);
    ASSERT_EQ(launcher.launches.size(), 1u);
    ASSERT_EQ(launcher.launches[0].arguments.size(), 1u);
    EXPECT_EQ(launcher.launches[0].arguments[0], hand_over.string());
}

TEST_F(StartProgramTest, TheHandOverIsNeverWrittenThroughALink) {
    std::filesystem::create_directories(folder / "support");
    const auto hand_over = folder / "support" / "UpdateInfo.tmp";
    // A dangling link: following it would create a file outside the program folder.
    std::filesystem::create_symlink(folder / "outside-new", hand_over);
    auto claim = Run(Options(folder.path()));
    ASSERT_NE(claim, nullptr);
    EXPECT_FALSE(std::filesystem::exists(folder / "outside-new"));
    EXPECT_TRUE(std::filesystem::is_symlink(hand_over));

    // A link to a file of someone's: the file keeps its bytes.
    claim.reset();
    std::filesystem::remove(hand_over);
    test::WriteBytes(folder / "outside-old", "keep me\n");
    std::filesystem::create_symlink(folder / "outside-old", hand_over);
    claim = Run(Options(folder.path()));
    ASSERT_NE(claim, nullptr);
    EXPECT_EQ(test::ReadBytes(folder / "outside-old"), "keep me\n");
}

TEST_F(StartProgramTest, ABracketInAFieldMeansNoHandOverAndNoUpdater) {
    EXPECT_TRUE(HandOverFieldsFit("/opt/Velmor (1)", "update.example"));
    EXPECT_FALSE(HandOverFieldsFit("/opt/Velmor]", "update.example"));
    EXPECT_FALSE(HandOverFieldsFit("/opt/[Velmor", "update.example"));
    EXPECT_FALSE(HandOverFieldsFit("/opt/velmor", "update.example]x"));

    const auto bracketed = folder / "Velmor][KQ";
    std::filesystem::create_directories(bracketed / "support");
    auto claim = Run(Options(bracketed));
    ASSERT_NE(claim, nullptr);
    EXPECT_FALSE(std::filesystem::exists(bracketed / "support" / "UpdateInfo.tmp"));
    EXPECT_TRUE(launcher.launches.empty());
    // The rest of the start goes on as usual.
    EXPECT_EQ(steps, (std::vector<std::string>{"make", "load", "expire", "show", "hide"}));
}

TEST_F(StartProgramTest, AnEndRequestedDuringTheFirstPauseStopsTheStartThere) {
    StartOptions options = Options(folder.path());
    options.should_end = [] { return true; };
    auto claim = Run(options);
    EXPECT_NE(claim, nullptr);
    EXPECT_TRUE(steps.empty());
    EXPECT_TRUE(launcher.launches.empty());
}

TEST_F(StartProgramTest, SecondCopyIsRefusedAndTheFirstKeepsItsClaim) {
    auto first = Run(Options(folder.path()));
    ASSERT_NE(first, nullptr);
    steps.clear();
    launcher.launches.clear();
    auto second = Run(Options(folder.path()));
    EXPECT_EQ(second, nullptr);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "프로그램이 이미 실행되어 있습니다.");
    EXPECT_EQ(dialogs.shown[0].icon, Dialogs::Icon::Exclamation);
    // Refused before anything: no window, no file, no updater.
    EXPECT_TRUE(steps.empty());
    EXPECT_TRUE(launcher.launches.empty());
    // Another program file is another program.
    StartOptions other = Options(folder.path());
    other.program_file = folder / "other-velmor";
    EXPECT_NE(Run(other), nullptr);
    // Once the first copy ends, a new start runs.
    first.reset();
    EXPECT_NE(Run(Options(folder.path())), nullptr);
}

TEST_F(StartProgramTest, PausesRunEventsAndTheWindowIsMadeOnlyAfterTheFirst) {
    StartOptions options = Options(folder.path());
    options.first_pause = std::chrono::milliseconds(200);
    options.show_for = std::chrono::milliseconds(100);
    bool event_ran_before_window = false;
    QTimer::singleShot(50, [&] { event_ran_before_window = steps.empty(); });
    QElapsedTimer clock;
    clock.start();
    auto claim = Run(options);
    EXPECT_GE(clock.elapsed(), 300);
    EXPECT_TRUE(event_ran_before_window) << "events run during the first pause, before the window exists";
}

TEST_F(StartProgramTest, QuitDuringTheShowPauseLeavesTheWindowAlone) {
    StartOptions options = Options(folder.path());
    std::unique_ptr<RecordingWindow> made;
    auto claim = StartProgram(options, dialogs, [&]() -> StartWindow& {
        made = std::make_unique<RecordingWindow>(options.program_folder, steps);
        // A quit from the tray while the window is on screen.
        QTimer::singleShot(5, [&] { made->ending = true; });
        return *made;
    });
    ASSERT_NE(claim, nullptr);
    EXPECT_EQ(steps, (std::vector<std::string>{"load", "updater", "expire", "show"}));
}

TEST(PauseDivisorTest, OnlyAWholeNumberAboveOneShortensThePauses) {
    StartOptions options;
    ApplyTestPauseDivisor(options, nullptr);
    ApplyTestPauseDivisor(options, "");
    ApplyTestPauseDivisor(options, "1");
    ApplyTestPauseDivisor(options, "-4");
    ApplyTestPauseDivisor(options, "10x");
    EXPECT_EQ(options.first_pause, std::chrono::milliseconds(10'000));
    EXPECT_EQ(options.show_for, std::chrono::milliseconds(2'000));
    ApplyTestPauseDivisor(options, "100");
    EXPECT_EQ(options.first_pause, std::chrono::milliseconds(100));
    EXPECT_EQ(options.show_for, std::chrono::milliseconds(20));
}

}  // namespace
}  // namespace velmor::shell
