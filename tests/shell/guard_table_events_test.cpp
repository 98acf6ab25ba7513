// The table timer fed by velmor-guard's event stream: a stand-in guard on a Unix socket of the
// test's own answers the subscription, sends event frames and hangs up.

#include "velmor/engine/guard_table_events.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "velmor/guard/guard_events.h"
#include "velmor/shell/monitor_service.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/event_loop.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

using namespace std::chrono_literals;

guard::EventRecord Connected(std::uint16_t port) {
    guard::EventRecord e;
    e.cookie = port;
    e.family = 2;
    e.old_state = 3;
    e.new_state = 1;
    e.local_port = 80;
    e.remote_port = port;
    e.local = {10, 77, 0, 1};
    e.remote = {10, 77, 0, 2};
    return e;
}

guard::EventRecord Closed(std::uint16_t port) {
    guard::EventRecord e = Connected(port);
    e.old_state = 1;
    e.new_state = 7;
    return e;
}

std::vector<std::uint8_t> Frame(std::vector<guard::EventRecord> events, std::uint32_t lost = 0) {
    guard::EventBatch batch;
    batch.events = std::move(events);
    batch.lost = lost;
    return guard::EncodeEvents(batch);
}

// One client at a time: accepts, reads the request, answers with `reply`, then sends what Send()
// is given until Close().
class FakeGuard {
public:
    explicit FakeGuard(const std::filesystem::path& path) : path_(path.string()) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 4), 0);
    }
    ~FakeGuard() {
        if (thread_.joinable()) thread_.join();
        Close();
        ::close(listener_);
    }

    // Serves the next client in the background: the reply to its request and `then` with it.
    void Answer(guard::Result result, std::vector<std::uint8_t> then = {}) {
        thread_ = std::thread([this, result, then = std::move(then)] {
            client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            std::vector<std::uint8_t> buffer(64);
            const ssize_t n = ::recv(client_, buffer.data(), buffer.size(), 0);
            buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            guard::Request request;
            std::size_t consumed = 0;
            if (guard::ParseRequest(buffer, request, consumed) == guard::ParseStatus::Complete) {
                subscribed = request.op == guard::Op::Subscribe;
            }
            guard::Reply reply;
            reply.op = request.op;
            reply.result = result;
            auto bytes = guard::EncodeReply(reply);
            bytes.insert(bytes.end(), then.begin(), then.end());
            ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        });
    }
    void Served() { thread_.join(); }
    void Send(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void Close() {
        if (client_ >= 0) ::close(client_);
        client_ = -1;
    }

    bool subscribed = false;

private:
    std::string path_;
    int listener_ = -1;
    int client_ = -1;
    std::thread thread_;
};

class GuardTableEventsTest : public ::testing::Test {
protected:
    GuardTableEventsTest() {
        auto fake_table = std::make_unique<test::FakeConnectionTable>();
        auto fake_counters = std::make_unique<test::FakeSocketCounters>();
        table = fake_table.get();
        counters = fake_counters.get();
        MonitorParts parts;
        parts.table = std::move(fake_table);
        parts.counters = std::move(fake_counters);
        service = std::make_unique<MonitorService>(folder.path(), std::move(parts), dialogs);
        service->SetHost(&host);
        service->CreateFolders();
        service->Cycle().SetSafetyNet(std::chrono::minutes(10));
    }

    std::uint64_t Ticks() { return service->Cycle().GetStats().ticks; }
    static bool RunUntil(const std::function<bool()>& done) { return test::ProcessEventsUntil(done); }
    std::unique_ptr<guard::GuardEventStream> Stream() {
        return guard::MakeGuardEventStream((socket_folder.path() / "guard.sock").string());
    }

    test::TempDir folder;
    test::TempDir socket_folder;
    FakeGuard guard{socket_folder.path() / "guard.sock"};
    test::FakeMonitorHost host;
    test::ScriptedDialogs dialogs;
    test::FakeConnectionTable* table = nullptr;
    test::FakeSocketCounters* counters = nullptr;
    std::unique_ptr<MonitorService> service;
};

TEST_F(GuardTableEventsTest, AGuardWithoutEventsLeavesTheCounterGate) {
    guard.Answer(guard::Result::NotAvailable);
    EXPECT_FALSE(service->UseGuardEvents(Stream()));
    guard.Served();
    EXPECT_TRUE(guard.subscribed);
    EXPECT_EQ(service->GuardEvents(), nullptr);
    EXPECT_EQ(service->Waker(), nullptr);
    // No guard at all.
    EXPECT_FALSE(service->UseGuardEvents(guard::MakeGuardEventStream((folder.path() / "none").string())));
    EXPECT_EQ(service->Waker(), nullptr);
}

TEST_F(GuardTableEventsTest, EventsWakeTheTimerAndAnEndedStreamBringsBackTheCounterGate) {
    // Events that follow the reply in the same read are kept for the first take.
    guard.Answer(guard::Result::Ok, Frame({Connected(40000)}));
    ASSERT_TRUE(service->UseGuardEvents(Stream()));
    guard.Served();
    ASSERT_NE(service->Waker(), nullptr);
    service->Start();
    ASSERT_TRUE(RunUntil([&] { return service->GuardEvents()->GetStats().events == 1; }));
    ASSERT_TRUE(RunUntil([&] { return Ticks() >= 1; }));

    // Events in two frames, the second split across two writes, and a report of lost ones.
    const auto quiet = Ticks();
    const int reads = table->tcp_reads;
    table->tcp_rows.push_back(test::MakeRow("10.77.0.1", 80, "10.77.0.2", 40001));
    counters->value.tcp_in_use += 1;
    const auto second = Frame({Connected(40002), Connected(40003)}, 5);
    auto bytes = Frame({Connected(40001)});
    bytes.insert(bytes.end(), second.begin(), second.begin() + 20);
    guard.Send(bytes);
    ASSERT_TRUE(RunUntil([&] { return Ticks() > quiet; }));
    EXPECT_GT(table->tcp_reads, reads);
    guard.Send(std::vector<std::uint8_t>(second.begin() + 20, second.end()));
    ASSERT_TRUE(RunUntil([&] { return service->GuardEvents()->GetStats().events == 4; }));
    EXPECT_EQ(service->GuardEvents()->GetStats().lost, 5u);
    EXPECT_EQ(service->Waker()->NewsWakes(), service->GuardEvents()->GetStats().takes);
    EXPECT_EQ(service->GuardEvents()->LastEvents().back(), Connected(40003));

    // The guard goes: the next tick drops the stream and the 1 ms counter gate ticks again.
    guard.Close();
    ASSERT_TRUE(RunUntil([&] { return service->GuardEvents() == nullptr; }));
    EXPECT_EQ(service->Waker(), nullptr);
    const auto after = Ticks();
    ASSERT_TRUE(RunUntil([&] { return Ticks() >= after + 20; }));
    service->Stop();
}

TEST_F(GuardTableEventsTest, ExpectedEventsWakeNothingButReachTheNextTick) {
    guard.Answer(guard::Result::Ok);
    auto stream = Stream();
    ASSERT_TRUE(stream->Subscribe());
    guard.Served();
    engine::GuardTableEvents events(std::move(stream));
    for (const std::uint64_t cookie : {40001u, 40004u, 40005u, 40006u}) events.ExpectClose(cookie);
    const auto take_when_readable = [&] {
        pollfd entry{events.Fd(), POLLIN, 0};
        EXPECT_EQ(::poll(&entry, 1, 5000), 1);
        return events.TakePending();
    };

    guard.Send(Frame({Closed(40001)}));
    EXPECT_FALSE(take_when_readable());
    guard.Send(Frame({Closed(40004), Connected(40002)}));
    EXPECT_TRUE(take_when_readable());
    guard.Send(Frame({Closed(40005)}, 1));
    EXPECT_TRUE(take_when_readable()) << "lost events are always news";
    std::vector<guard::EventRecord> news;
    EXPECT_TRUE(events.TakeNews(news));
    // What did come is given with the loss: its arrivals are filed from their events.
    EXPECT_EQ(news, (std::vector<guard::EventRecord>{Closed(40001), Closed(40004), Connected(40002),
                                                     Closed(40005)}));

    guard.Send(Frame({Closed(40006)}));
    EXPECT_FALSE(take_when_readable());
    EXPECT_FALSE(events.TakeNews(news));
    EXPECT_EQ(news, (std::vector<guard::EventRecord>{Closed(40006)}));
    guard.Send(Frame({Closed(40001)}));
    EXPECT_TRUE(take_when_readable()) << "a close is expected once";
}

TEST_F(GuardTableEventsTest, SomethingThatIsNoEventFrameEndsTheStreamAndItsDescriptorGoesQuiet) {
    guard.Answer(guard::Result::Ok);
    auto stream = Stream();
    ASSERT_TRUE(stream->Subscribe());
    guard.Served();
    const int fd = stream->Fd();
    guard::Reply stray;
    guard.Send(guard::EncodeReply(stray));
    pollfd entry{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 5000), 1);
    std::vector<guard::EventRecord> events;
    const auto taken = stream->Take(&events);
    EXPECT_TRUE(taken.hung_up);
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(stream->Live());
    // Same number, nothing to read: a watcher of it does not spin.
    EXPECT_EQ(stream->Fd(), fd);
    entry.revents = 0;
    EXPECT_EQ(::poll(&entry, 1, 50), 0);
    EXPECT_TRUE(stream->Take(nullptr).hung_up);
}

}  // namespace
}  // namespace velmor::shell
