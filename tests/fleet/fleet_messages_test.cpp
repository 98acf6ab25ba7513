#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "velmor/fleet/alert_journal.h"
#include "velmor/fleet/fleet_settings.h"
#include "velmor/fleet/lapi_messages.h"
#include "velmor/test/temp_dir.h"

namespace velmor::fleet {
namespace {

using std::chrono::seconds;

// Replies as crowdsec 1.4.6 wrote them, with a few entries a bouncer must pass over added.
constexpr std::string_view kStream = R"({"deleted":[{"duration":"-1.143629516s","id":2,"origin":"cscli",
  "scenario":"manual 'ban' from 'velmor-cscli'","scope":"Range","type":"ban","value":"10.9.0.0/24"}],
  "new":[{"duration":"719h59m58.991419967s","id":1,"origin":"velmor","scenario":"velmor/bait-port-80",
  "scope":"Ip","type":"ban","value":"10.1.2.3"},
  {"duration":"4h","id":3,"origin":"CAPI","scenario":"crowdsecurity/ssh-bf","scope":"ip","type":"ban","value":"2001:db8::7"},
  {"duration":"4h","id":4,"origin":"cscli","scenario":"x","scope":"Ip","type":"captcha","value":"10.1.2.4"},
  {"duration":"4h","id":5,"origin":"cscli","scenario":"x","scope":"Country","type":"ban","value":"FR"},
  {"duration":"4h","id":6,"origin":"cscli","scenario":"x","scope":"Ip","type":"ban","value":"10.0.0.0/8"},
  {"duration":"soon","id":7,"origin":"cscli","scenario":"x","scope":"Ip","type":"ban","value":"10.1.2.5"},
  {"duration":"4h","id":8,"origin":"cscli","scenario":"x","scope":"Ip","type":"ban","value":17}]})";

std::vector<std::int64_t> Ids(const std::vector<Decision>& decisions) {
    std::vector<std::int64_t> ids;
    for (const Decision& decision : decisions) ids.push_back(decision.id);
    return ids;
}

TEST(FleetMessages, GoDurationsAsTheApiWritesThem) {
    EXPECT_EQ(ParseGoDuration("719h59m58.991419967s"), seconds(719 * 3600 + 59 * 60 + 58));
    EXPECT_EQ(ParseGoDuration("-1.143629516s"), seconds(-1));
    EXPECT_EQ(ParseGoDuration("1m30s"), seconds(90));
    EXPECT_EQ(ParseGoDuration("1500ms"), seconds(1));
    EXPECT_EQ(ParseGoDuration("2\xC2\xB5s"), seconds(0));
    EXPECT_EQ(ParseGoDuration("0"), seconds(0));
    for (std::string_view bad : {"", "-", "h", "4", "4x", ".s", "1..5s", "4h-1m", "99999999999h"})
        EXPECT_EQ(ParseGoDuration(bad), std::nullopt) << bad;
}

TEST(FleetMessages, StreamKeepsBansOnAddressesAndRangesOnly) {
    const auto batch = ParseDecisionStream(kStream, true, {});
    ASSERT_TRUE(batch);
    EXPECT_TRUE(batch->startup);
    EXPECT_EQ(Ids(batch->added), (std::vector<std::int64_t>{1, 3}));
    ASSERT_EQ(Ids(batch->deleted), (std::vector<std::int64_t>{2}));
    EXPECT_EQ(batch->deleted[0].scope, "Range");
    EXPECT_EQ(batch->added[0].duration, seconds(2591998));
    EXPECT_EQ(batch->added[0].origin, "velmor");

    // Origins by name, scenarios by prefix.
    EXPECT_EQ(Ids(ParseDecisionStream(kStream, false, {{"CAPI"}, {}})->added),
              (std::vector<std::int64_t>{3}));
    EXPECT_EQ(Ids(ParseDecisionStream(kStream, false, {{}, {"velmor/", "crowdsecurity/http"}})->added),
              (std::vector<std::int64_t>{1}));

    const auto empty = ParseDecisionStream(R"({"deleted":null,"new":null})", false, {});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->added.empty() && empty->deleted.empty());
    EXPECT_TRUE(ParseDecisionStream("{}", false, {}));
    for (std::string_view bad : {"", "[]", "null", R"({"new":{}})", R"({"deleted":"x"})", R"({"new":[)"})
        EXPECT_FALSE(ParseDecisionStream(bad, false, {})) << bad;
}

TEST(FleetMessages, LoginAndAlertReplies) {
    EXPECT_EQ(ParseLoginToken(R"({"code":200,"expire":"2026-12-09T18:51:58Z","token":"eyJ.a-b_c"})"),
              "eyJ.a-b_c");
    for (std::string_view bad : {R"({"code":200})", R"({"token":""})", R"({"token":"a\r\nX-Evil: 1"})",
                                 R"({"token":5})", "[]", "token"})
        EXPECT_EQ(ParseLoginToken(bad), std::nullopt) << bad;
    EXPECT_EQ(ParseErrorMessage(R"({"code":401,"message":"incorrect Username or Password"})"),
              "incorrect Username or Password");
    EXPECT_EQ(ParseErrorMessage("<html>"), "");
    EXPECT_EQ(ParseAlertsReply(R"(["1","2"])"), 2u);
    EXPECT_EQ(ParseAlertsReply(R"({"message":"x"})"), std::nullopt);
}

TEST(FleetMessages, AlertCarriesEveryFieldTheApiRequiresAndOneBan) {
    const std::vector<Intruder> intruders{
        {"192.0.2.7", std::chrono::sys_days(std::chrono::year(2026) / 12 / 9) + seconds(3725)},
        {"2001:db8::9", {}}};
    const auto alerts = nlohmann::json::parse(AlertsRequestBody(intruders));
    ASSERT_EQ(alerts.size(), 2u);
    const auto& alert = alerts[0];
    for (const char* field :
         {"scenario", "scenario_hash", "scenario_version", "message", "events_count", "start_at", "stop_at",
          "capacity", "leakspeed", "simulated", "events", "source"})
        EXPECT_TRUE(alert.contains(field)) << field;
    EXPECT_EQ(alert["start_at"], "2026-12-09T01:02:05Z");
    EXPECT_EQ(alert["source"]["scope"], "Ip");
    EXPECT_EQ(alert["source"]["value"], "192.0.2.7");
    ASSERT_EQ(alert["decisions"].size(), 1u);
    const auto& ban = alert["decisions"][0];
    EXPECT_EQ(ban["origin"], "velmor");
    EXPECT_EQ(ban["type"], "ban");
    EXPECT_EQ(ban["scope"], "Ip");
    EXPECT_EQ(ban["value"], "192.0.2.7");
    EXPECT_EQ(ban["duration"], "720h");
    EXPECT_EQ(ban["scenario"], "velmor/bait-port-80");
    EXPECT_EQ(alerts[1]["decisions"][0]["value"], "2001:db8::9");
    EXPECT_EQ(alerts[1]["start_at"], "1970-01-01T00:00:00Z");
}

TEST(FleetSettingsFile, SavedPrivatelyAndReadBack) {
    test::TempDir folder;
    FleetSettings settings;
    settings.api_url = "https://192.0.2.10:8080";
    settings.machine_id = "desk";
    settings.machine_password = "s3cret = with spaces";
    settings.bouncer_key = "0123abcd";
    settings.push = settings.pull = true;
    settings.origins = {"velmor", "cscli"};
    settings.scenarios = {"velmor/"};
    settings.poll_interval = seconds(7);
    const auto path = folder / "fleet.conf";
    test::WriteBytes(path, "old");
    ::chmod(path.c_str(), 0644);
    ASSERT_TRUE(SaveFleetSettings(path, settings));
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    std::string error;
    const auto loaded = LoadFleetSettings(path, error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(loaded->api_url, settings.api_url);
    EXPECT_EQ(loaded->machine_password, settings.machine_password);
    EXPECT_EQ(loaded->bouncer_key, settings.bouncer_key);
    EXPECT_TRUE(loaded->push && loaded->pull);
    EXPECT_EQ(loaded->origins, settings.origins);
    EXPECT_EQ(loaded->scenarios, settings.scenarios);
    EXPECT_EQ(loaded->poll_interval, seconds(7));
    EXPECT_EQ(SettingsProblem(*loaded), "");

    EXPECT_FALSE(ParseFleetSettings("# c\n\npush = yes\npull = maybe\n", error));
    EXPECT_NE(error.find("4번째 줄"), std::string::npos) << error;
    EXPECT_FALSE(ParseFleetSettings("api_url\n", error));
    EXPECT_FALSE(LoadFleetSettings(folder / "missing.conf", error));
}

TEST(FleetSettingsFile, ProblemsNamedWithoutTheSecrets) {
    FleetSettings settings;
    EXPECT_EQ(SettingsProblem(settings), "") << "nothing on, nothing needed";
    settings.push = true;
    settings.machine_id = "desk";
    settings.machine_password = "hunter2-secret";
    const auto problem_with = [&](std::string url) {
        settings.api_url = std::move(url);
        const std::string problem = SettingsProblem(settings);
        EXPECT_EQ(problem.find("hunter2-secret"), std::string::npos);
        return problem;
    };
    for (const char* usable : {"http://127.0.0.1:8080", "http://[::1]:8080/", "http://127.0.0.2",
                               "https://lapi.example:8443", "https://192.0.2.10"})
        EXPECT_EQ(problem_with(usable), "") << usable;
    for (const char* refused :
         {"", "http://192.0.2.10:8080", "http://localhost.example:8080", "ftp://127.0.0.1", "https://",
          "http://127.0.0.1:0", "http://127.0.0.1:8080/v1", "https://u@host"})
        EXPECT_NE(problem_with(refused), "") << refused;

    settings.api_url = "https://192.0.2.10";
    settings.ca_file = "/nonexistent/ca.pem";
    EXPECT_NE(SettingsProblem(settings), "");
    settings.ca_file.clear();
    settings.machine_password.clear();
    EXPECT_NE(SettingsProblem(settings), "");
    settings.push = false;
    settings.pull = true;
    EXPECT_NE(SettingsProblem(settings), "") << "pulling needs the bouncer key";
    settings.bouncer_key = "k";
    EXPECT_EQ(SettingsProblem(settings), "");
    settings.poll_interval = seconds(0);
    EXPECT_NE(SettingsProblem(settings), "");
}

TEST(FleetAlertJournal, KeepsWhatIsUnsentAcrossRestartsWithinItsCapacity) {
    test::TempDir folder;
    const auto path = folder / "velmor" / "alerts.journal";  // a folder not made yet
    const auto at = [](int s) { return std::chrono::system_clock::time_point(seconds(s)); };
    {
        AlertJournal journal(path, 3);
        const std::vector<Intruder> first{{"192.0.2.1", at(1)}, {"192.0.2.2", at(2)}};
        journal.Add(first);
        journal.Remove(1);
        const std::vector<Intruder> more{{"192.0.2.3", at(3)}, {"192.0.2.4", at(4)}, {"2001:db8::5", at(5)}};
        journal.Add(more);
        EXPECT_EQ(journal.dropped(), 1u);
    }
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    AlertJournal reopened(path, 3);
    ASSERT_EQ(reopened.pending().size(), 3u);
    EXPECT_EQ(reopened.pending()[0].address, "192.0.2.3");
    EXPECT_EQ(reopened.pending()[2].address, "2001:db8::5");
    EXPECT_EQ(reopened.pending()[2].when, at(5));

    // A line torn by a crash and lines that are no journal's are passed over.
    const auto replayed =
        AlertJournal::Replay("A 192.0.2.9 9\nA bogus 1\nZ 1\nX 7x\nA 192.0.2.8 8\nA 192.0.2", 10);
    ASSERT_EQ(replayed.size(), 2u);
    EXPECT_EQ(replayed[1].address, "192.0.2.8");

    // Many sends later the file is rewritten to what is pending.
    for (int i = 0; i < 1200; ++i) {
        const std::vector<Intruder> one{{"198.51.100.1", at(i)}};
        reopened.Add(one);
        reopened.Remove(1);
    }
    EXPECT_LT(std::filesystem::file_size(path), 16000u);
    const AlertJournal compacted(path, 3);
    ASSERT_EQ(compacted.pending().size(), reopened.pending().size());
    EXPECT_EQ(compacted.pending().back().when, at(1199));
}

}  // namespace
}  // namespace velmor::fleet
