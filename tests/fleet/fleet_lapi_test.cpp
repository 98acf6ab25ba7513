#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "velmor/fleet/fleet_client.h"
#include "velmor/test/crowdsec_api.h"
#include "velmor/test/sockets.h"
#include "velmor/test/temp_dir.h"

namespace velmor::fleet {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPassword = "machine-password-0123456789";

// A Local API of its own for each test, with one machine and one bouncer.
class FleetLapi : public testing::Test {
protected:
    explicit FleetLapi(bool tls = false) : api_(folder_ / "lapi", tls) {}

    void SetUp() override {
        ASSERT_TRUE(api_.Start());
        ASSERT_TRUE(api_.AddMachine("desk", kPassword));
        key_ = api_.AddBouncer("velmor-desk");
        ASSERT_FALSE(key_.empty());
    }

    FleetSettings Settings(bool push, bool pull) const {
        FleetSettings settings;
        settings.api_url = api_.url();
        settings.ca_file = api_.ca_file().string();
        settings.machine_id = "desk";
        settings.machine_password = kPassword;
        settings.bouncer_key = key_;
        settings.push = push;
        settings.pull = pull;
        settings.poll_interval = 1s;
        return settings;
    }

    // Every batch the client hands over until `done` holds for what came so far, or the time is up.
    template <typename Done>
    bool Collect(FleetClient& client, std::vector<DecisionBatch>& seen, Done done,
                 std::chrono::seconds limit = 15s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            for (auto& batch : client.TakeDecisions()) seen.push_back(std::move(batch));
            if (done()) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    static const Decision* Find(const std::vector<DecisionBatch>& seen, const std::string& value,
                                bool deleted = false) {
        for (const auto& batch : seen)
            for (const auto& decision : deleted ? batch.deleted : batch.added)
                if (decision.value == value) return &decision;
        return nullptr;
    }

    test::TempDir folder_;
    test::CrowdsecApi api_;
    std::string key_;
};

TEST_F(FleetLapi, PushedIntruderComesBackAsTheFleetsBan) {
    FleetClient client(Settings(true, true), folder_ / "alerts.journal");
    std::atomic<int> wakes{0};
    client.SetWake([&] { ++wakes; });
    client.ReportIntruder("192.0.2.7", std::chrono::system_clock::now());
    client.ReportIntruder("2001:db8::7", std::chrono::system_clock::now());
    client.ReportIntruder("not an address", std::chrono::system_clock::now());
    std::vector<DecisionBatch> seen;
    ASSERT_TRUE(Collect(client, seen, [&] { return Find(seen, "192.0.2.7") && Find(seen, "2001:db8::7"); }))
        << client.Status().last_error;
    EXPECT_TRUE(seen.front().startup);
    const Decision& ban = *Find(seen, "192.0.2.7");
    EXPECT_EQ(ban.origin, "velmor");
    EXPECT_EQ(ban.scenario, "velmor/bait-port-80");
    EXPECT_EQ(ban.scope, "Ip");
    EXPECT_EQ(ban.type, "ban");
    EXPECT_GT(ban.duration, 719h);
    EXPECT_LE(ban.duration, 720h);
    EXPECT_GE(wakes.load(), 1);
    const FleetStatus status = client.Status();
    EXPECT_EQ(status.sent_alerts, 2u);
    EXPECT_EQ(status.queued_alerts, 0u);
    EXPECT_TRUE(status.push_on && status.pull_on);
    EXPECT_TRUE(status.last_push && status.last_pull);
    EXPECT_EQ(status.last_error, "");
}

TEST_F(FleetLapi, CscliRangesDeletionsAndExpiriesReachTheBouncer) {
    FleetClient client(Settings(false, true), folder_ / "alerts.journal");
    std::vector<DecisionBatch> seen;
    ASSERT_TRUE(Collect(client, seen, [&] { return !seen.empty(); }));
    ASSERT_TRUE(api_.Cscli({"decisions", "add", "--range", "10.9.0.0/24", "--duration", "4h"}));
    ASSERT_TRUE(api_.Cscli({"decisions", "add", "--ip", "198.51.100.9", "--duration", "3s"}));
    ASSERT_TRUE(
        Collect(client, seen, [&] { return Find(seen, "10.9.0.0/24") && Find(seen, "198.51.100.9"); }));
    EXPECT_EQ(Find(seen, "10.9.0.0/24")->scope, "Range");
    EXPECT_EQ(Find(seen, "10.9.0.0/24")->origin, "cscli");
    EXPECT_LE(Find(seen, "198.51.100.9")->duration, 3s);
    EXPECT_FALSE(seen.back().startup);

    // The short one expires by itself; the range goes when it is deleted.
    ASSERT_TRUE(Collect(client, seen, [&] { return Find(seen, "198.51.100.9", true); }));
    EXPECT_EQ(Find(seen, "10.9.0.0/24", true), nullptr);
    ASSERT_TRUE(api_.Cscli({"decisions", "delete", "--range", "10.9.0.0/24"}));
    ASSERT_TRUE(Collect(client, seen, [&] { return Find(seen, "10.9.0.0/24", true); }));
}

TEST_F(FleetLapi, NoAlertLostWhileTheApiIsDownNorAcrossARestart) {
    api_.Stop();
    const auto journal = folder_ / "alerts.journal";
    {
        FleetClient client(Settings(true, false), journal);
        client.ReportIntruder("192.0.2.21", std::chrono::system_clock::now());
        client.ReportIntruder("192.0.2.22", std::chrono::system_clock::now());
        std::this_thread::sleep_for(2500ms);
        const FleetStatus status = client.Status();
        EXPECT_EQ(status.queued_alerts, 2u);
        EXPECT_EQ(status.sent_alerts, 0u);
        EXPECT_NE(status.last_error, "");
        EXPECT_FALSE(status.push_auth_failed);
    }
    FleetClient client(Settings(true, true), journal);
    client.ReportIntruder("192.0.2.23", std::chrono::system_clock::now());
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(api_.Start());
    std::vector<DecisionBatch> seen;
    // Back-off grows to 4 s here at most, so everything arrives well within the limit.
    ASSERT_TRUE(Collect(client, seen, [&] {
        return Find(seen, "192.0.2.21") && Find(seen, "192.0.2.22") && Find(seen, "192.0.2.23");
    })) << client.Status().last_error;
    EXPECT_EQ(client.Status().sent_alerts, 3u);
    EXPECT_EQ(client.Status().last_error, "");
}

TEST_F(FleetLapi, WrongPasswordAndKeyAreReportedAndRetriedSlowly) {
    FleetSettings settings = Settings(true, true);
    settings.machine_password = "wrong-password-987654321";
    settings.bouncer_key = "0000wrongkey";
    const int logins_before = api_.CountRequests("POST /v1/watchers/login");
    const int pulls_before = api_.CountRequests("GET /v1/decisions/stream");
    {
        FleetClient client(settings, folder_ / "alerts.journal");
        client.ReportIntruder("192.0.2.31", std::chrono::system_clock::now());
        std::this_thread::sleep_for(5s);
        const FleetStatus status = client.Status();
        EXPECT_TRUE(status.push_auth_failed);
        EXPECT_TRUE(status.pull_auth_failed);
        EXPECT_NE(status.last_error, "");
        EXPECT_EQ(status.last_error.find("wrong-password"), std::string::npos);
        EXPECT_EQ(status.queued_alerts, 1u);
    }
    // Attempts at 0, 1, 3 s (and perhaps 7 s would be next): a handful, not hundreds.
    const int logins = api_.CountRequests("POST /v1/watchers/login") - logins_before;
    const int pulls = api_.CountRequests("GET /v1/decisions/stream") - pulls_before;
    EXPECT_GE(logins, 2);
    EXPECT_LE(logins, 4);
    EXPECT_GE(pulls, 2);
    EXPECT_LE(pulls, 4);
}

class FleetLapiTls : public FleetLapi {
protected:
    FleetLapiTls() : FleetLapi(true) {}
};

TEST_F(FleetLapiTls, HttpsWithItsOwnCa) {
    FleetClient client(Settings(true, true), folder_ / "alerts.journal");
    client.ReportIntruder("192.0.2.41", std::chrono::system_clock::now());
    std::vector<DecisionBatch> seen;
    ASSERT_TRUE(Collect(client, seen, [&] { return Find(seen, "192.0.2.41"); }))
        << client.Status().last_error;

    // Without the CA the certificate is refused.
    FleetSettings untrusted = Settings(false, true);
    untrusted.ca_file.clear();
    FleetClient refused(untrusted, folder_ / "other.journal");
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(refused.Status().last_pull);
    EXPECT_NE(refused.Status().last_error, "");
}

// Without an API: a listener that never answers, and a port where nobody listens.
TEST(FleetClientAlone, StopsAtOnceMidRequestAndBoundsItsQueue) {
    test::TempDir folder;
    const int silent = test::OpenListener("127.0.0.1", 0);
    ASSERT_GE(silent, 0);
    FleetSettings settings;
    settings.api_url = "http://127.0.0.1:" + std::to_string(test::LocalPort(silent));
    settings.bouncer_key = "k";
    settings.pull = true;
    {
        auto client = std::make_unique<FleetClient>(settings, folder / "a.journal");
        std::this_thread::sleep_for(500ms);
        const auto before = std::chrono::steady_clock::now();
        client.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    }
    test::CloseSocket(silent);

    const int closed = test::OpenListener("127.0.0.1", 0);
    settings.api_url = "http://127.0.0.1:" + std::to_string(test::LocalPort(closed));
    test::CloseSocket(closed);
    settings.pull = false;
    settings.push = true;
    settings.machine_id = "desk";
    settings.machine_password = "p";
    FleetClient client(settings, folder / "b.journal");
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 10050; ++i)
        client.ReportIntruder("10.7." + std::to_string(i / 256) + "." + std::to_string(i % 256), {});
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "reporting never waits for the network";
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (client.Status().dropped_alerts < 50 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(50ms);
    const FleetStatus status = client.Status();
    EXPECT_EQ(status.queued_alerts, 10000u);
    EXPECT_EQ(status.dropped_alerts, 50u);
    EXPECT_EQ(status.sent_alerts, 0u);
    EXPECT_NE(status.last_error, "");
}

}  // namespace
}  // namespace velmor::fleet
