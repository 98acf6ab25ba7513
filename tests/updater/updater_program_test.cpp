// The built Updater as Velmor starts it, against a loopback update page: updaters of one program
// folder do not pile up their questions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "test_http_server.h"
#include "velmor/common/text_file.h"
#include "velmor/test/child_process.h"
#include "velmor/test/temp_dir.h"

namespace velmor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class UpdaterProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        // An installed product of its own, so the test shares its updater with nobody.
        fs::create_directories(product() / "support");
        fs::copy_file(test::BuiltProgramFolder() / "support" / "updater", product() / "support" / "updater");
        // A private runtime folder: the updaters' claims and mailboxes live there.
        fs::create_directories(runtime());
        ::chmod(runtime().c_str(), 0700);
        // An update is on offer, so every updater that gets as far as the page asks the question.
        server_.Publish(
            "/update", std::make_shared<const std::string>(
                           "<html><!--[1.0703.02][" + server_.Url("/package.jar") + "][1234]--></html>\r\n"));
        const fs::path support = product() / "support";
        const std::string line = "[KQ][" + product().string() + "][" + support.string() + "][" +
                                 (support / "TmpNewVer.jar").string() + "][1.0703.01][" +
                                 server_.Url("/update") + "][0]";
        ASSERT_TRUE(WriteLineFile(hand_over(), line));
    }

    fs::path product() const { return dir_ / "product"; }
    fs::path runtime() const { return dir_ / "run"; }
    fs::path hand_over() const { return product() / "support" / "UpdateInfo.tmp"; }

    // An updater started as Velmor starts it; `answer` "" leaves the question to the (absent) user.
    std::unique_ptr<test::ChildProcess> StartUpdater(const std::string& answer) {
        return std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"/usr/bin/env", "XDG_RUNTIME_DIR=" + runtime().string(),
                                     "QT_QPA_PLATFORM=offscreen", "VELMOR_UPDATER_ANSWER=" + answer,
                                     (product() / "support" / "updater").string(), hand_over().string()});
    }

    test::TempDir dir_;
    test::TestHttpServer server_;
};

TEST_F(UpdaterProgramTest, ASecondUpdaterEndsSilentlyWhileTheFirstWaitsForTheAnswer) {
    auto first = StartUpdater("");
    ASSERT_TRUE(first->started());
    // Having read the page, the first one shows the question and waits there: nobody answers.
    ASSERT_TRUE(test::WaitUntil([&] { return server_.RequestCount() == 1; }, 30s));

    auto second = StartUpdater("");
    EXPECT_EQ(second->Wait(20s), std::optional<int>(0));
    // It ended before reading the page, so before asking anything.
    EXPECT_EQ(server_.RequestCount(), 1);
    EXPECT_EQ(first->Wait(0ms), std::nullopt) << "the first updater must still be waiting";

    // Once the first has gone, the next start asks again (here answered "cancel" for it).
    first->Kill();
    auto third = StartUpdater("cancel");
    EXPECT_EQ(third->Wait(30s), std::optional<int>(0));
    EXPECT_EQ(server_.RequestCount(), 2);
}

}  // namespace
}  // namespace velmor
