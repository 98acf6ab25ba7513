#include "velmor/updater/flow.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "velmor/test/recording_launcher.h"
#include "velmor/test/temp_dir.h"
#include "velmor/updater/fields.h"
#include "velmor/updater/signature.h"

namespace velmor::updater {
namespace {

namespace fs = std::filesystem;

TEST(BracketFields, FollowTheNthOpeningBracket) {
    EXPECT_EQ(ExtractBracketFields("[a][b][]c[d]", 5), (std::vector<std::string>{"a", "b", "", "d", ""}));
    // A '[' inside a field counts for the numbering of the later fields.
    EXPECT_EQ(ExtractBracketFields("[a[b]x]", 3), (std::vector<std::string>{"a[b", "b", ""}));
    EXPECT_EQ(ExtractBracketFields("[open", 2), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(ExtractBracketFields("]x[y]", 1), (std::vector<std::string>{"y"}));
    // Values of 1024 bytes or more do not fit their buffer and read as empty.
    const std::string fits(1023, 'v');
    const std::string too_long(1024, 'v');
    EXPECT_EQ(ExtractBracketFields("[" + fits + "][" + too_long + "]", 2),
              (std::vector<std::string>{fits, ""}));
}

TEST(HandOverFile, SixValuesFromTheQuotedLine) {
    const std::string line =
        "\"[KQ][/opt/velmor][/opt/velmor/support][/opt/velmor/support/TmpNewVer.jar][1.0703.01]"
        "[http://update.example/client/update.jsp?proid=KQ&ver=1.0703.01][123456]\"\r\n";
    const auto hand_over = ParseHandOver(line);
    ASSERT_TRUE(hand_over);
    EXPECT_EQ(hand_over->target_folder, "/opt/velmor");
    EXPECT_EQ(hand_over->tool_folder, "/opt/velmor/support");
    EXPECT_EQ(hand_over->package_path, "/opt/velmor/support/TmpNewVer.jar");
    EXPECT_EQ(hand_over->current_version, "1.0703.01");
    EXPECT_EQ(hand_over->info_url, "http://update.example/client/update.jsp?proid=KQ&ver=1.0703.01");
    EXPECT_EQ(hand_over->main_window_handle, "123456");

    // An empty product id is accepted: it is never read.
    EXPECT_TRUE(ParseHandOver("\"[][a][b][c][d][e][f]\"\r\n"));
    // Only six fields, or any empty value among fields 2 to 7: no hand-over.
    EXPECT_FALSE(ParseHandOver("\"[KQ][a][b][c][d][e]\"\r\n"));
    EXPECT_FALSE(ParseHandOver("\"[KQ][a][b][][d][e][f]\"\r\n"));
    EXPECT_FALSE(ParseHandOver(""));
}

TEST(UpdatePageText, TheFourthValueIsTheSignature) {
    const std::string signature(86, 'A');
    const auto page = ParseUpdatePage("<!--[1.0704.01][https://h/p.jar][1234][" + signature + "==]-->");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->signature, signature + "==");
    EXPECT_EQ(page->package_size, "1234");
    // Counted from the start of the text like the others, CR and LF dropped inside it too.
    EXPECT_EQ(ParseUpdatePage("[a][b][c]\r\n[sig\r\nnature]<!--")->signature, "signature");
    // A page without it still describes an update: the refusal comes once the user agreed.
    EXPECT_EQ(ParseUpdatePage("<!--[a][b][c]-->")->signature, "");
    EXPECT_EQ(ParseUpdatePage("<!--[a][b][c][]-->")->signature, "");
    EXPECT_EQ(ParseUpdatePage("<!--[a][b][c][open")->signature, "");
}

TEST(UpdatePageText, MarkerAndThreeValues) {
    const auto page = ParseUpdatePage("<html><!--[1.0704.01][http://h/p.jar][1234]--></html>");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->label, "1.0704.01");
    EXPECT_EQ(page->package_url, "http://h/p.jar");
    EXPECT_EQ(page->package_size, "1234");
    // Brackets before the marker count from the start of the text.
    const auto before = ParseUpdatePage("[a][b]\r\n[c] <!-- nothing here -->");
    ASSERT_TRUE(before);
    EXPECT_EQ(before->label, "a");
    EXPECT_EQ(before->package_size, "c");
    // CR and LF vanish, also inside a value.
    EXPECT_EQ(ParseUpdatePage("<!--[x][http://h/\r\np.jar][1\n2]")->package_url, "http://h/p.jar");
    EXPECT_EQ(ParseUpdatePage("<!--[x][u][1\r\n2]")->package_size, "12");

    EXPECT_FALSE(ParseUpdatePage("[any][http://h/p.jar][1234]"));  // no marker
    EXPECT_FALSE(ParseUpdatePage(""));
    EXPECT_FALSE(ParseUpdatePage("\r\n\r\n"));
    EXPECT_FALSE(ParseUpdatePage("<!-- no update -->"));
    EXPECT_FALSE(ParseUpdatePage("<!--[x][][1]"));
    EXPECT_FALSE(ParseUpdatePage("<!--[x][u]"));
    EXPECT_FALSE(ParseUpdatePage("<!--[x][u][1"));
}

TEST(WindowHandleText, ParsesLikeASignedDecimal) {
    EXPECT_EQ(ParseWindowHandle("4242"), 4242);
    EXPECT_EQ(ParseWindowHandle("-7"), -7);
    EXPECT_EQ(ParseWindowHandle("12ab"), 12);
    EXPECT_EQ(ParseWindowHandle("window"), 0);
    EXPECT_EQ(ParseWindowHandle("99999999999"), 0);
}

class FakeDialogs final : public UpdaterDialogs {
public:
    bool AskUpdate() override {
        ++questions;
        if (during_question) during_question();
        return answer;
    }
    void ShowDownloadFailed() override { ++failures; }
    void ShowTimeout() override { ++timeouts; }
    bool answer = true;
    std::function<void()> during_question;
    int questions = 0;
    int failures = 0;
    int timeouts = 0;
};

class FakePoster final : public WindowPoster {
public:
    bool Post(platform::WindowHandle handle, const platform::WindowMessage& message) override {
        posts.push_back({handle, message.message});
        return windows.contains(handle);
    }
    bool IsWindow(platform::WindowHandle handle) override { return windows.contains(handle); }
    std::map<platform::WindowHandle, bool> windows;
    std::vector<std::pair<platform::WindowHandle, std::int32_t>> posts;
};

class FakeFetcher final : public PageFetcher {
public:
    std::string Fetch(const std::string& url) override {
        urls.push_back(url);
        return page;
    }
    std::string page;
    std::vector<std::string> urls;
};

class FakeInstaller final : public Installer {
public:
    void Install(const fs::path& package, const fs::path& target) override {
        installs.push_back({package, target});
    }
    std::vector<std::pair<fs::path, fs::path>> installs;
};

class FakeView final : public UpdaterView {
public:
    void ShowCentered() override { ++shown; }
    void DrawBar(std::int32_t) override { ++bars; }
    void Close() override { ++closes; }
    int shown = 0;
    int bars = 0;
    int closes = 0;
};

// One throwaway key pair for the whole test program.
const KeyPair& TestKeys() {
    static const KeyPair keys = *GenerateKeyPair();
    return keys;
}

constexpr platform::WindowHandle kMainWindow = 5000;
constexpr platform::WindowHandle kOwnWindow = 7001;

class FlowTest : public ::testing::Test {
protected:
    FlowTest() {
        test::WriteBytes(dir_ / "support" / "update-key.pem", TestKeys().public_pem);
        fetcher_.page = "<html><!--[1.0704.01][http://h/TmpNewVer.jar][" + std::to_string(kPackageSize) +
                        "][" + *SignToBase64(Package(), TestKeys().private_pem) + "]-->";
        poster_.windows[kMainWindow] = true;
        hand_over_ = HandOver{dir_.path().string(),
                              (dir_ / "support").string(),
                              (dir_ / "TmpNewVer.jar").string(),
                              "1.0703.01",
                              "http://h/client/update.jsp?proid=KQ&ver=1.0703.01",
                              std::to_string(kMainWindow)};
    }

    UpdaterFlow& Flow() {
        if (!flow_) {
            flow_ = std::make_unique<UpdaterFlow>(
                hand_over_, kOwnWindow, view_,
                FlowServices{dialogs_, poster_, fetcher_, starter_, installer_, *verifier_});
        }
        return *flow_;
    }

    int ClosePosts() const {
        return static_cast<int>(std::count_if(
            poster_.posts.begin(), poster_.posts.end(),
            [](const auto& post) { return post.first == kMainWindow && post.second == platform::kWmClose; }));
    }

    static constexpr std::size_t kPackageSize = 4321;
    static std::string Package() { return std::string(kPackageSize, 'p'); }
    test::TempDir dir_;
    HandOver hand_over_;
    FakeDialogs dialogs_;
    FakePoster poster_;
    FakeFetcher fetcher_;
    test::RecordingLauncher starter_;
    FakeInstaller installer_;
    std::unique_ptr<PackageVerifier> verifier_ = MakeKeyFileVerifier(dir_ / "support" / "update-key.pem");
    FakeView view_;
    std::unique_ptr<UpdaterFlow> flow_;
};

TEST_F(FlowTest, AgreeingClosesTheMainWindowOnceWaitsForItThenStartsFetchel) {
    Flow().OnTick();
    EXPECT_EQ(fetcher_.urls, std::vector<std::string>{hand_over_.info_url});
    EXPECT_EQ(dialogs_.questions, 1);
    EXPECT_EQ(ClosePosts(), 1);
    EXPECT_EQ(view_.shown, 0);

    // The main window stays: nothing more is posted and nothing starts, tick after tick.
    for (int i = 0; i < 5; ++i) Flow().OnTick();
    EXPECT_EQ(ClosePosts(), 1);
    EXPECT_EQ(starter_.Count(), 0);
    EXPECT_EQ(view_.shown, 0);
    EXPECT_EQ(view_.closes, 0);

    poster_.windows.erase(kMainWindow);
    Flow().OnTick();
    EXPECT_EQ(view_.shown, 1);
    ASSERT_EQ(starter_.Count(), 1);
    EXPECT_EQ(starter_.Last().program, dir_ / "support" / "fetchel");
    EXPECT_EQ(starter_.Last().arguments,
              (std::vector<std::string>{"http://h/TmpNewVer.jar", hand_over_.package_path,
                                        std::to_string(kOwnWindow), "0", std::to_string(kPackageSize)}));
    EXPECT_TRUE(Flow().download_started());
    Flow().OnTick();
    EXPECT_EQ(starter_.Count(), 1);
    EXPECT_EQ(dialogs_.questions, 1);
}

TEST_F(FlowTest, DecliningStartsNothingAlsoWhenTheMainWindowIsGone) {
    dialogs_.answer = false;
    poster_.windows.clear();
    Flow().OnTick();
    EXPECT_EQ(view_.closes, 1);
    EXPECT_TRUE(poster_.posts.empty());
    for (int i = 0; i < 3; ++i) Flow().OnTick();
    EXPECT_EQ(starter_.Count(), 0);
    EXPECT_EQ(view_.shown, 0);
}

TEST_F(FlowTest, ABadPageEndsSilently) {
    for (const char* page : {"", "<html>no update</html>", "[a][b][c]", "<!--[a][b][]-->"}) {
        fetcher_.page = page;
        flow_.reset();
        view_ = FakeView{};
        Flow().OnTick();
        EXPECT_EQ(dialogs_.questions, 0) << page;
        EXPECT_EQ(view_.closes, 1) << page;
    }
    EXPECT_TRUE(poster_.posts.empty());
    EXPECT_EQ(starter_.Count(), 0);
}

TEST_F(FlowTest, ATickDuringTheQuestionIsDropped) {
    dialogs_.during_question = [this] { Flow().OnTick(); };
    Flow().OnTick();
    EXPECT_EQ(dialogs_.questions, 1);
    EXPECT_EQ(fetcher_.urls.size(), 1u);
    EXPECT_EQ(ClosePosts(), 1);
}

// The guard against nested ticks belongs to one flow: another flow's tick during this flow's
// question is no nested tick of its own and runs.
TEST_F(FlowTest, TheNestedTickGuardIsEachFlowsOwn) {
    FakeView other_view;
    UpdaterFlow other(hand_over_, kOwnWindow + 1, other_view,
                      FlowServices{dialogs_, poster_, fetcher_, starter_, installer_, *verifier_});
    int nested = 0;
    dialogs_.during_question = [&] {
        if (nested++ == 0) other.OnTick();
    };
    Flow().OnTick();
    EXPECT_EQ(dialogs_.questions, 2);
    EXPECT_EQ(fetcher_.urls.size(), 2u);
    EXPECT_EQ(other.phase(), UpdaterFlow::Phase::WaitingForMainWindow);
    EXPECT_EQ(Flow().phase(), UpdaterFlow::Phase::WaitingForMainWindow);
}

TEST_F(FlowTest, AnUpdateWalksThroughEveryPhaseOnce) {
    using Phase = UpdaterFlow::Phase;
    EXPECT_EQ(Flow().phase(), Phase::Starting);
    Flow().OnTick();
    EXPECT_EQ(Flow().phase(), Phase::WaitingForMainWindow);
    EXPECT_FALSE(Flow().download_started());
    poster_.windows.clear();
    Flow().OnTick();
    EXPECT_EQ(Flow().phase(), Phase::Downloading);
    test::WriteBytes(hand_over_.package_path, Package());
    Flow().OnProgress(-1);
    EXPECT_EQ(Flow().phase(), Phase::CloseRequested);
    EXPECT_EQ(installer_.installs.size(), 1u);
    Flow().OnTick();
    EXPECT_EQ(Flow().phase(), Phase::Closed);
    EXPECT_EQ(view_.closes, 1);
    // A late final notification asks for no second close.
    Flow().OnProgress(-1);
    EXPECT_EQ(Flow().phase(), Phase::Closed);
    Flow().OnTick();
    EXPECT_EQ(view_.closes, 1);
}

TEST_F(FlowTest, AHandleThatIsNoNumberStartsTheDownloadAtOnce) {
    hand_over_.main_window_handle = "none";
    Flow().OnTick();
    EXPECT_TRUE(poster_.posts.empty());
    EXPECT_EQ(starter_.Count(), 1);
    EXPECT_EQ(view_.shown, 1);
}

TEST_F(FlowTest, ProgressDrawsTheBarAndTheEndChecksTheSize) {
    poster_.windows.clear();
    Flow().OnTick();
    Flow().OnProgress(37);
    EXPECT_EQ(Flow().percent(), 37);
    EXPECT_EQ(view_.bars, 1);
    Flow().OnProgress(-3);  // not an outcome: ignored
    EXPECT_TRUE(installer_.installs.empty());
    EXPECT_EQ(dialogs_.failures, 0);

    // -2 with the whole file still unpacks: only the size decides.
    test::WriteBytes(hand_over_.package_path, Package());
    Flow().OnProgress(100);
    Flow().OnProgress(-2);
    ASSERT_EQ(installer_.installs.size(), 1u);
    EXPECT_EQ(installer_.installs[0].first, fs::path(hand_over_.package_path));
    EXPECT_EQ(installer_.installs[0].second, fs::path(hand_over_.target_folder));
    EXPECT_EQ(view_.closes, 0);
    Flow().OnTick();
    EXPECT_EQ(view_.closes, 1);
}

TEST_F(FlowTest, AShortFileShowsTheFailureAndTheWindowStays) {
    poster_.windows.clear();
    Flow().OnTick();
    test::WriteBytes(hand_over_.package_path, std::string(kPackageSize - 1, 'p'));
    Flow().OnProgress(-1);
    EXPECT_EQ(dialogs_.failures, 1);
    EXPECT_TRUE(installer_.installs.empty());
    // No stall message follows a settled download; the user closes the window.
    for (int i = 0; i < 100; ++i) Flow().OnTick();
    EXPECT_EQ(view_.closes, 0);
    EXPECT_EQ(dialogs_.timeouts, 0);

    // A missing file is a mismatch as well.
    fs::remove(hand_over_.package_path);
    Flow().OnProgress(-1);
    EXPECT_EQ(dialogs_.failures, 2);
}

TEST_F(FlowTest, ADownloadSilentForAMinuteTimesOut) {
    poster_.windows.clear();
    Flow().OnTick();  // download starts
    for (int i = 0; i < 30; ++i) Flow().OnTick();
    Flow().OnProgress(10);  // a notification starts the minute again
    for (int i = 0; i < kIdleTickLimit; ++i) Flow().OnTick();
    EXPECT_EQ(dialogs_.timeouts, 0);
    EXPECT_EQ(view_.closes, 0);
    Flow().OnTick();
    EXPECT_EQ(dialogs_.timeouts, 1);
    EXPECT_EQ(view_.closes, 1);
    for (int i = 0; i < 100; ++i) Flow().OnTick();
    EXPECT_EQ(dialogs_.timeouts, 1);
}

// What cannot be verified at all is refused as soon as the user agreed: the main program is not
// closed, Fetchel never starts, and the download-failure message is the one thing the user sees.
TEST_F(FlowTest, AnUpdateThatCannotBeVerifiedIsRefusedBeforeTheMainProgramCloses) {
    const std::string base = "<!--[1.0704.01][http://h/TmpNewVer.jar][" + std::to_string(kPackageSize) + "]";
    const std::string good = *SignToBase64(Package(), TestKeys().private_pem);
    std::string stray_bits = good;
    // The last character before "==" carries 2 bits of the last byte and 4 unused ones: set one.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    stray_bits[85] = alphabet[alphabet.find(stray_bits[85]) ^ 1];
    struct Case {
        std::string page;
        bool remove_key;
        const char* what;
    };
    const std::vector<Case> cases{
        {base + "-->", false, "no fourth value"},
        {base + "[]-->", false, "an empty fourth value"},
        {base + "[" + good.substr(0, 86) + "]-->", false, "no padding"},
        {base + "[" + good.substr(0, 84) + "==]-->", false, "too short"},
        {base + "[" + good.substr(0, 40) + " " + good.substr(41) + "]-->", false, "a blank inside"},
        {base + "[" + stray_bits + "]-->", false, "not the canonical form"},
        {base + "[" + good + "]-->", true, "no key file"},
    };
    for (const auto& c : cases) {
        if (c.remove_key) fs::remove(dir_ / "support" / "update-key.pem");
        fetcher_.page = c.page;
        flow_.reset();
        dialogs_ = FakeDialogs{};
        view_ = FakeView{};
        Flow().OnTick();
        EXPECT_EQ(dialogs_.questions, 1) << c.what;
        EXPECT_EQ(dialogs_.failures, 1) << c.what;
        EXPECT_EQ(view_.closes, 1) << c.what;
        for (int i = 0; i < 3; ++i) Flow().OnTick();
        EXPECT_EQ(ClosePosts(), 0) << c.what;
        EXPECT_EQ(starter_.Count(), 0) << c.what;
        EXPECT_EQ(view_.shown, 0) << c.what;
    }
    // Declining an unsigned update is just a decline: no message.
    fetcher_.page = base + "-->";
    flow_.reset();
    dialogs_ = FakeDialogs{};
    dialogs_.answer = false;
    Flow().OnTick();
    EXPECT_EQ(dialogs_.failures, 0);
}

// After the download, a package that the signature does not cover byte for byte is not unpacked.
TEST_F(FlowTest, ADownloadThatTheSignatureDoesNotCoverIsNotUnpacked) {
    poster_.windows.clear();
    const auto other_keys = *GenerateKeyPair();
    std::string changed = Package();
    changed[1234] = 'q';
    struct Case {
        std::string file;
        std::string signature;
        const char* what;
    };
    const std::vector<Case> cases{
        {changed, *SignToBase64(Package(), TestKeys().private_pem), "one byte changed"},
        {Package(), *SignToBase64(Package(), other_keys.private_pem), "signed with another key"},
        {changed, *SignToBase64(changed, other_keys.private_pem), "another package signed with another key"},
        {Package(), *SignToBase64(Package() + "x", TestKeys().private_pem), "the signature of another file"},
    };
    for (const auto& c : cases) {
        fetcher_.page = "<!--[1.0704.01][http://h/TmpNewVer.jar][" + std::to_string(kPackageSize) + "][" +
                        c.signature + "]-->";
        flow_.reset();
        dialogs_ = FakeDialogs{};
        Flow().OnTick();
        ASSERT_TRUE(Flow().download_started()) << c.what;
        test::WriteBytes(hand_over_.package_path, c.file);
        Flow().OnProgress(100);
        Flow().OnProgress(-1);
        EXPECT_EQ(dialogs_.failures, 1) << c.what;
        EXPECT_TRUE(installer_.installs.empty()) << c.what;
    }
    // The key file gone between the question and the end of the download: refused as well.
    fetcher_.page = "<!--[1.0704.01][http://h/TmpNewVer.jar][" + std::to_string(kPackageSize) + "][" +
                    *SignToBase64(Package(), TestKeys().private_pem) + "]-->";
    flow_.reset();
    dialogs_ = FakeDialogs{};
    Flow().OnTick();
    test::WriteBytes(hand_over_.package_path, Package());
    fs::remove(dir_ / "support" / "update-key.pem");
    Flow().OnProgress(-1);
    EXPECT_EQ(dialogs_.failures, 1);
    EXPECT_TRUE(installer_.installs.empty());
}

}  // namespace
}  // namespace velmor::updater
