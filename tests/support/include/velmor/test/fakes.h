#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "velmor/common/clock.h"
#include "velmor/common/ui_services.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_counters.h"

namespace velmor::test {

// A host-order port as a row's port field holds it: network order in the low two bytes (htons).
std::uint32_t PortField(int port);

// Builds a row from readable parts: "10.1.2.3" and host-order ports.
platform::TcpRow MakeRow(const std::string& local_address, int local_port, const std::string& remote_address,
                         int remote_port, std::uint32_t state = 5);

// The same for an IPv6 connection: "fd00:77::1" and host-order ports.
platform::TcpRow MakeRow6(const std::string& local_address, int local_port, const std::string& remote_address,
                          int remote_port, std::uint32_t state = 5);

// A connection table the test fills by hand; records every teardown request.
class FakeConnectionTable final : public platform::ConnectionTable {
public:
    std::vector<platform::TcpRow> tcp_rows;
    // What reads report beside the rows (inode, byte counts); rows past its end report none.
    std::vector<platform::SocketDetail> tcp_details;
    std::uint32_t udp_rows = 0;
    bool fail_reads = false;
    int tcp_reads = 0;
    // Every destroyed connection, as the row that was in the table for it.
    std::vector<platform::TcpRow> destroyed;
    // When set, destroyed rows leave the table (a kernel that accepted the request).
    bool destroy_removes = false;
    // Called at each teardown request, before it takes effect.
    std::function<void()> on_destroy;

    bool ReadTcp(platform::TcpTable& table) override;
    bool ReadUdp(platform::UdpTable& table) override;
    void Destroy(std::span<const platform::SocketId> ids) override;

    // The cookie of the socket in row `index`, as its reads report it: the low half is the row's
    // position (a teardown names its row by it), the high half tells sockets apart that held the
    // same position (one that took the place of a removed row is another socket).
    std::uint64_t Cookie(std::size_t index);

private:
    std::map<std::vector<std::uint32_t>, std::uint32_t> socket_numbers_;
};

class FakeSocketCounters final : public platform::SocketCounterSource {
public:
    platform::SocketCounters value;
    bool fail = false;
    bool Read(platform::SocketCounters& counters) override {
        counters = value;
        return !fail;
    }
};

class FakeClock final : public Clock {
public:
    LocalDate today{2026, 12, 8};
    std::chrono::steady_clock::time_point now{};
    LocalDate Today() const override { return today; }
    std::chrono::steady_clock::time_point Now() const override { return now; }
    void Advance(std::chrono::milliseconds by) { now += by; }
};

// Answers questions from a script and records every box shown.
class ScriptedDialogs final : public Dialogs {
public:
    struct Shown {
        std::string kind;  // "tell", "ask", "input"
        std::string text;  // the message, question or prompt
        Icon icon = Icon::Information;
        std::string default_text;  // input boxes only
    };
    std::deque<bool> yes_no_answers;                      // default: No
    std::deque<std::optional<std::string>> text_answers;  // see accept_defaults
    // When the scripted text answers have run out: OK with the box's default text (true) or
    // Cancel (false).
    bool accept_defaults = false;
    std::vector<Shown> shown;

    void Tell(std::string_view text, Icon icon) override;
    bool AskYesNo(std::string_view text) override;
    std::optional<std::string> AskText(std::string_view prompt, std::string_view default_text) override;
};

class FakeClipboard final : public Clipboard {
public:
    std::string text = "(untouched)";
    int clears = 0;
    void Clear() override {
        text.clear();
        ++clears;
    }
    void SetText(std::string_view value) override { text = value; }
};

// Records every address it is asked to open.
class FakeBrowser final : public Browser {
public:
    std::vector<std::string> opened;
    bool succeed = true;
    bool Open(std::string_view url) override {
        opened.emplace_back(url);
        return succeed;
    }
};

}  // namespace velmor::test
