#pragma once

#include <QFile>
#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "velmor/engine/monitoring_cycle.h"
#include "velmor/shell/bait_listener.h"
#include "velmor/shell/monitor_service.h"
#include "velmor/shell/traffic_service.h"

namespace velmor::shell {

struct HeadlessOptions {
    bool auto_block = true;
    bool block_internet = false;
    bool hidden = false;  // pace like the hidden window (100 ms pause after every tick)
    bool quiet = false;   // no event lines on standard output
};

// A cell as the headless output prints it: control characters (tab, line ends, escape and the
// rest below 0x20, and 0x7f) and the backslash become \xNN, so that no cell can split a line or
// drive the terminal. UTF-8 text passes unchanged.
std::string EscapeControlCharacters(std::string_view text);

// Parses the headless monitor's flags; false (with a message in `error`) on an unknown flag.
[[nodiscard]] bool ParseHeadlessOptions(int argc, char** argv, HeadlessOptions& options, std::string& error);

// The headless monitor's answers to the cycle's questions: the flags already say what the user
// wants, so questions are answered Yes; what it tells goes to standard error.
class HeadlessDialogs final : public Dialogs {
public:
    void Tell(std::string_view text, Icon icon) override;
    bool AskYesNo(std::string_view text) override;
    std::optional<std::string> AskText(std::string_view prompt, std::string_view default_text) override;
};

// Runs the monitor without a window. It reads commands, one per line, on standard input and
// answers on standard output:
//   list            the address list, one row per line: ip, count, verdict, info, programs (most
//                   recent first, ", " between), bytes received, bytes sent (tab separated; "-"
//                   where attribution or counts do not reach)
//   ports           the port list: ip, port, program
//   connections     every socket, one per line: protocol, local, remote, state, pid, program, path,
//                   bytes received, bytes sent
//   stats           ticks, table reads, full passes, teardowns; lookup ticks, answers collected
//                   and lookup helper starts
//   toggle ADDRESS  turns a listed address from blocked to allowed or back (the double-click)
//   guard           "guard none", or "guard connected" and what the guard holds
//   fleet           the shared decisions: push/pull on or off, the API, queued, sent and dropped alerts, the
//                   last exchanges and error, one "source" line per source, the spans the guard holds
//   lists           one line per source: "source", name, entries, refused, last update (seconds)
//   lists import NAME FILE   a block list file as the named list (bad lines named)
//   lists remove NAME
//   lists export FILE        Velmor's own rules as a list file (a backup)
//   lists import-rules FILE  such a backup (or a plain block list) back into the rules
//   auto-block on|off, block-internet on|off, quit
// Every answer ends with a line "end". Alerts print as "event tray Invader_ICON".
class HeadlessHost final : public QObject, public engine::MonitorHost {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HeadlessHost)
public:
    // `service` (built by the caller, outliving the host) runs with this host on top.
    HeadlessHost(MonitorService& service, const HeadlessOptions& options);
    ~HeadlessHost() override;

    // engine::MonitorHost
    bool IsWindowVisible() const override { return !options_.hidden; }
    void UpdateTrayIcon(engine::TrayIconChange change) override;
    // Told once per address on standard error.
    void ExemptAddressMet(std::string_view address, rules::Exemption why) override;
    MonitorService& Service() { return service_; }
    TrafficService& Traffic() { return *traffic_; }
    const BaitListener& Bait() const { return bait_; }
    // Runs one command line; returns false for "quit".
    bool RunCommand(const std::string& line);

private:
    void OnInput();
    void PrintGuard();
    void PrintFleet();
    void PrintSources();
    void RunLists(const std::string& arguments);
    void Toggle(const std::string& address);

    HeadlessOptions options_;
    MonitorService& service_;
    std::unique_ptr<TrafficService> traffic_;
    BaitListener bait_;
    QFile input_;
    std::unique_ptr<QSocketNotifier> input_notifier_;
    std::string pending_input_;
    std::set<std::string, std::less<>> exempt_noticed_;
};

}  // namespace velmor::shell
