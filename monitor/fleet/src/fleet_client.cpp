#include "velmor/fleet/fleet_client.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "lapi_http.h"
#include "velmor/fleet/alert_journal.h"
#include "velmor/fleet/lapi_messages.h"
#include "velmor/platform/address_text.h"

namespace velmor::fleet {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kQueueCapacity = 10000;
constexpr std::size_t kAlertsPerRequest = 100;

// 1 s, 2 s, 4 s ... 60 s between attempts while the API is down or refuses us.
class Backoff final {
public:
    std::chrono::seconds Next() {
        const auto delay = delay_;
        delay_ = std::min(delay_ * 2, std::chrono::seconds(60));
        return delay;
    }
    void Reset() { delay_ = std::chrono::seconds(1); }

private:
    std::chrono::seconds delay_{1};
};

std::string ReplyProblem(const HttpReply& reply) {
    if (reply.status == 0) return "CrowdSec Local API에 연결할 수 없습니다: " + reply.error;
    std::string text = "CrowdSec Local API가 HTTP " + std::to_string(reply.status) + "로 답했습니다";
    const std::string message = ParseErrorMessage(reply.body);
    return message.empty() ? text + "." : text + ": " + message;
}

}  // namespace

struct FleetClient::Worker {
    FleetSettings settings;
    std::filesystem::path journal_path;
    bool usable = false;

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stop = false;
    std::atomic<bool> stopping{false};
    std::deque<Intruder> inbox;  // reported, not yet in the journal
    std::size_t inbox_dropped = 0;
    std::vector<DecisionBatch> batches;
    std::function<void()> wake;
    FleetStatus status;
    std::string push_error, pull_error;

    std::thread thread;

    void Run();
    void SetErrors(const std::string* push, const std::string* pull);
};

void FleetClient::Worker::SetErrors(const std::string* push, const std::string* pull) {
    std::lock_guard lock(mutex);
    if (push) push_error = *push;
    if (pull) pull_error = *pull;
    status.last_error = !push_error.empty() ? push_error : pull_error;
}

void FleetClient::Worker::Run() {
    AlertJournal journal(journal_path, kQueueCapacity);
    LapiHttp http(settings.api_url, settings.ca_file, [this] { return stopping.load(); });
    const DecisionFilter filter{settings.origins, settings.scenarios};
    const std::string login_body = nlohmann::json{{"machine_id", settings.machine_id},
                                                  {"password", settings.machine_password},
                                                  {"scenarios", {std::string(kAlertScenario)}}}
                                       .dump();
    std::optional<std::string> token;
    bool token_is_fresh = false;
    bool pulled_once = false;
    Backoff push_backoff, pull_backoff;
    Clock::time_point next_push = Clock::now(), next_pull = Clock::now();
    const bool push = usable && settings.push, pull = usable && settings.pull;

    // A failed attempt waits from its end: a request that ran into its time-out is no reason to hurry.
    const auto push_once = [&] {
        const auto fail = [&](const std::string& problem, bool auth) {
            {
                std::lock_guard lock(mutex);
                status.push_auth_failed = auth;
            }
            SetErrors(&problem, nullptr);
            next_push = Clock::now() + push_backoff.Next();
        };
        if (!token) {
            const HttpReply reply = http.Post("/v1/watchers/login", {}, login_body);
            if (stopping) return;
            if (reply.status == 401 || reply.status == 403)
                return fail("CrowdSec 로그인에 실패했습니다: 기계 이름이나 비밀번호가 맞지 않습니다.", true);
            if (reply.status != 200) return fail(ReplyProblem(reply), false);
            token = ParseLoginToken(reply.body);
            if (!token) return fail("CrowdSec Local API의 로그인 답을 읽을 수 없습니다.", false);
            token_is_fresh = true;
        }
        const std::size_t count = std::min(journal.pending().size(), kAlertsPerRequest);
        const std::vector<Intruder> batch(journal.pending().begin(),
                                          journal.pending().begin() + static_cast<std::ptrdiff_t>(count));
        const HttpReply reply =
            http.Post("/v1/alerts", {"Authorization: Bearer " + *token}, AlertsRequestBody(batch));
        if (stopping) return;
        if (reply.status == 401) {
            // The token ran out: log in again at once, unless it was new (then the API is confused).
            token.reset();
            if (token_is_fresh) return fail(ReplyProblem(reply), false);
            return;
        }
        token_is_fresh = false;
        if (reply.status != 200 && reply.status != 201) return fail(ReplyProblem(reply), false);
        if (!ParseAlertsReply(reply.body)) return fail("CrowdSec Local API의 답을 읽을 수 없습니다.", false);
        journal.Remove(count);
        push_backoff.Reset();
        {
            std::lock_guard lock(mutex);
            status.push_auth_failed = false;
            status.sent_alerts += count;
            status.last_push = std::chrono::system_clock::now();
        }
        const std::string none;
        SetErrors(&none, nullptr);
    };

    const auto pull_once = [&] {
        const auto now = Clock::now();
        const bool startup = !pulled_once;
        const HttpReply reply =
            http.Get(startup ? "/v1/decisions/stream?startup=true" : "/v1/decisions/stream",
                     {"X-Api-Key: " + settings.bouncer_key});
        if (stopping) return;
        const auto fail = [&](const std::string& problem, bool auth) {
            {
                std::lock_guard lock(mutex);
                status.pull_auth_failed = auth;
            }
            SetErrors(nullptr, &problem);
            next_pull = Clock::now() + pull_backoff.Next();
        };
        if (reply.status == 401 || reply.status == 403)
            return fail("CrowdSec Local API가 바운서 API 키를 받아들이지 않습니다.", true);
        if (reply.status != 200) return fail(ReplyProblem(reply), false);
        auto batch = ParseDecisionStream(reply.body, startup, filter);
        if (!batch) return fail("CrowdSec Local API의 결정 목록을 읽을 수 없습니다.", false);
        pulled_once = true;
        pull_backoff.Reset();
        next_pull = now + settings.poll_interval;
        std::function<void()> wake_now;
        {
            std::lock_guard lock(mutex);
            status.pull_auth_failed = false;
            status.last_pull = std::chrono::system_clock::now();
            if (batch->startup || !batch->added.empty() || !batch->deleted.empty()) {
                batches.push_back(std::move(*batch));
                wake_now = wake;
            }
        }
        const std::string none;
        SetErrors(nullptr, &none);
        if (wake_now) wake_now();
    };

    const auto count_queue = [&] {
        std::lock_guard lock(mutex);
        status.queued_alerts = journal.pending().size() + inbox.size();
        status.dropped_alerts = journal.dropped() + inbox_dropped;
    };
    for (;;) {
        std::vector<Intruder> arrived;
        {
            std::lock_guard lock(mutex);
            if (stop) break;
            arrived.assign(inbox.begin(), inbox.end());
            inbox.clear();
        }
        journal.Add(arrived);
        count_queue();
        if (push && !journal.pending().empty() && Clock::now() >= next_push) push_once();
        if (pull && Clock::now() >= next_pull) pull_once();
        count_queue();
        auto until = Clock::time_point::max();
        if (pull) until = std::min(until, next_pull);
        if (push && !journal.pending().empty()) until = std::min(until, next_push);
        std::unique_lock lock(mutex);
        changed.wait_until(lock, until, [&] { return stop || (push && !inbox.empty()); });
    }
}

FleetClient::FleetClient(FleetSettings settings, std::filesystem::path journal_path)
    : worker_(std::make_unique<Worker>()) {
    Worker& worker = *worker_;
    const std::string problem = SettingsProblem(settings);
    worker.usable = problem.empty();
    worker.status.push_on = worker.usable && settings.push;
    worker.status.pull_on = worker.usable && settings.pull;
    worker.status.last_error = problem;
    worker.settings = std::move(settings);
    worker.journal_path = std::move(journal_path);
    worker.thread = std::thread([&worker] { worker.Run(); });
}

FleetClient::~FleetClient() {
    {
        std::lock_guard lock(worker_->mutex);
        worker_->stop = true;
    }
    worker_->stopping = true;
    worker_->changed.notify_all();
    worker_->thread.join();
}

void FleetClient::ReportIntruder(std::string address, std::chrono::system_clock::time_point when) {
    if (!worker_->settings.push) return;
    auto canonical = platform::CanonicalAddressText(address);
    if (!canonical) return;
    {
        std::lock_guard lock(worker_->mutex);
        if (worker_->inbox.size() >= kQueueCapacity) {
            worker_->inbox.pop_front();
            ++worker_->inbox_dropped;
        } else {
            ++worker_->status.queued_alerts;
        }
        worker_->inbox.push_back({std::move(*canonical), when});
    }
    worker_->changed.notify_all();
}

std::vector<DecisionBatch> FleetClient::TakeDecisions() {
    std::lock_guard lock(worker_->mutex);
    return std::exchange(worker_->batches, {});
}

FleetStatus FleetClient::Status() const {
    std::lock_guard lock(worker_->mutex);
    return worker_->status;
}

void FleetClient::SetWake(std::function<void()> wake) {
    std::lock_guard lock(worker_->mutex);
    worker_->wake = std::move(wake);
}

}  // namespace velmor::fleet
