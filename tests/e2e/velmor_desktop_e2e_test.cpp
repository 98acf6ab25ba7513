// End-to-end on a real X11 desktop: Xvfb on a display number of its own choosing, the openbox
// window manager, a tint2 panel with a system tray, and the real velmor program (inside a network
// namespace of the test's own, so its monitor never touches the machine's connections). The tray
// icon is clicked with xdotool inside the panel; the window's states are read back with xprop,
// xwininfo, xdotool and wmctrl, as the window manager and the panel see them.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "velmor/platform/terminal.h"
#include "velmor/test/child_process.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

struct CommandResult {
    int status = -1;
    std::string output;
};

CommandResult RunCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

class VelmorOnARealDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "openbox", "tint2", "xdotool", "xprop", "xwininfo", "wmctrl"}) {
            ASSERT_TRUE(platform::FindExecutable(tool)) << tool << " is missing (scripts/install-deps.sh)";
        }
        ASSERT_TRUE(net.ok());
        std::filesystem::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
        std::filesystem::create_directories(home / "config");

        // Xvfb picks a free display number and writes it on the given descriptor; anything else it
        // may print there is passed over.
        xvfb = std::make_unique<ChildProcess>(std::vector<std::string>{
            "Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        ASSERT_TRUE(xvfb->started());
        ASSERT_TRUE(WaitUntil(
            [&] {
                const auto line = xvfb->ReadLine(200ms);
                if (line && !line->empty() && line->find_first_not_of("0123456789") == std::string::npos) {
                    display = ":" + *line;
                }
                return !display.empty();
            },
            20s))
            << "Xvfb did not report its display";

        // The window manager gets a second chance if it ended by itself; its own words are kept
        // for the failure message. Its first start on a fresh machine may wait for fonts.
        bool managed = false;
        for (int attempt = 0; attempt < 2 && !managed; ++attempt) {
            window_manager = StartQuietly("openbox --sm-disable", "openbox.log");
            bool ended = false;
            managed = WaitUntil(
                          [&] {
                              ended = window_manager->Wait(0ms).has_value();
                              return ended || X("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") !=
                                                  std::string::npos;
                          },
                          45s) &&
                      !ended;
        }
        ASSERT_TRUE(managed)
            << "openbox did not start on " << display << "; xprop says: "
            << RunCommand("(DISPLAY=" + display + " xprop -root _NET_SUPPORTING_WM_CHECK 2>&1)").output
            << "openbox says: " << ReadLog("openbox.log");
        panel = StartQuietly("tint2");
        ASSERT_TRUE(WaitUntil([&] { return !Words(X("xdotool search --class tint2")).empty(); }, 20s))
            << "tint2 did not start";
    }

    void TearDown() override {
        // Only the processes this test started, by their id, the program first.
        program.reset();
        panel.reset();
        window_manager.reset();
        xvfb.reset();
    }

    // A desktop program on the test's display, its output in `log_name` inside the test's home
    // folder (or thrown away).
    std::unique_ptr<ChildProcess> StartQuietly(const std::string& command, const std::string& log_name = "") {
        const std::string log = log_name.empty() ? std::string("/dev/null") : (home / log_name).string();
        auto child = std::make_unique<ChildProcess>(
            std::vector<std::string>{"env", "DISPLAY=" + display, "HOME=" + home.path().string(),
                                     "XDG_CONFIG_HOME=" + (home / "config").string(), "sh", "-c",
                                     "exec " + command + " >>'" + log + "' 2>&1 </dev/null"});
        EXPECT_TRUE(child->started()) << command;
        return child;
    }

    std::string ReadLog(const std::string& log_name) {
        std::error_code error;
        if (!std::filesystem::exists(home / log_name, error)) return "(nothing)";
        return RunCommand("cat '" + (home / log_name).string() + "'").output;
    }

    // An X client command on the test's display; its standard output.
    std::string X(const std::string& command) {
        return RunCommand("DISPLAY=" + display + " " + command).output;
    }

    void StartVelmor() {
        program = std::make_unique<ChildProcess>(std::vector<std::string>{
            "ip", "netns", "exec", net.local(), "env", "DISPLAY=" + display, "QT_QPA_PLATFORM=xcb",
            "HOME=" + home.path().string(), "VELMOR_DEBUG_LOG=1", "VELMOR_TEST_PAUSE_DIVISOR=2",
            (folder / "velmor").string()});
        ASSERT_TRUE(program->started());
    }

    bool WaitForEvent(const std::string& wanted, std::chrono::milliseconds timeout = 20s) {
        return events.WaitFor(*program, wanted, timeout);
    }
    std::string Events() const { return events.Text(); }

    std::vector<std::string> ProgramWindows(const std::string& options) {
        return Words(X("xdotool search --all --pid " + std::to_string(program->pid()) + " " + options));
    }

    // The main window (its native window may be made anew, so it is looked up each time).
    std::string MainWindow() {
        const auto found = ProgramWindows("--name Torvane");
        return found.empty() ? std::string() : found.front();
    }

    bool Mapped(const std::string& window) {
        return X("xwininfo -id " + window).find("IsViewable") != std::string::npos;
    }

    struct Seen {
        bool mapped = false;
        bool normal_state = false;
        bool hidden_state = false;
        bool skip_taskbar = false;
        bool above = false;
        bool on_current_desktop = false;
        bool active = false;
        bool on_top_of_stack = false;
        bool in_task_list = false;
    };

    Seen Look(const std::string& window) {
        Seen seen;
        seen.mapped = Mapped(window);
        const std::string props = X("xprop -id " + window + " WM_STATE _NET_WM_STATE _NET_WM_DESKTOP");
        seen.normal_state = props.find("window state: Normal") != std::string::npos;
        seen.hidden_state = props.find("_NET_WM_STATE_HIDDEN") != std::string::npos;
        seen.skip_taskbar = props.find("_NET_WM_STATE_SKIP_TASKBAR") != std::string::npos;
        seen.above = props.find("_NET_WM_STATE_ABOVE") != std::string::npos;
        std::smatch match;
        const std::regex desktop_re(R"(_NET_WM_DESKTOP\(CARDINAL\) = (\d+))");
        const std::string root =
            X("xprop -root _NET_CURRENT_DESKTOP _NET_ACTIVE_WINDOW _NET_CLIENT_LIST_STACKING");
        const std::regex current_re(R"(_NET_CURRENT_DESKTOP\(CARDINAL\) = (\d+))");
        std::smatch current;
        if (std::regex_search(props, match, desktop_re) && std::regex_search(root, current, current_re)) {
            seen.on_current_desktop = match[1] == current[1] || match[1] == "4294967295";
        }
        const auto id = std::stoul(window);
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%lx", id);
        const std::regex active_re(R"(_NET_ACTIVE_WINDOW\(WINDOW\): window id # (0x[0-9a-f]+))");
        std::smatch active;
        seen.active = std::regex_search(root, active, active_re) && active[1] == hex;
        // The last entry of the stacking list is the window on top.
        const auto stacking_at = root.find("_NET_CLIENT_LIST_STACKING");
        if (stacking_at != std::string::npos) {
            const std::string stacking = root.substr(stacking_at);
            const auto last = stacking.rfind("0x");
            seen.on_top_of_stack = last != std::string::npos &&
                                   stacking.substr(last, stacking.find_first_of(", \n", last) - last) == hex;
        }
        // What a task list shows: wmctrl lists managed windows; the panel skips those marked.
        seen.in_task_list = X("wmctrl -l").find(hex) != std::string::npos && !seen.skip_taskbar;
        return seen;
    }

    static bool Restored(const Seen& seen) {
        return seen.mapped && seen.normal_state && !seen.hidden_state && seen.skip_taskbar && seen.above &&
               seen.on_current_desktop && seen.active && seen.on_top_of_stack;
    }

    static std::string Describe(const Seen& s) {
        std::ostringstream out;
        out << "mapped=" << s.mapped << " normal=" << s.normal_state << " hidden=" << s.hidden_state
            << " skip_taskbar=" << s.skip_taskbar << " above=" << s.above
            << " current_desktop=" << s.on_current_desktop << " active=" << s.active
            << " on_top=" << s.on_top_of_stack;
        return out.str();
    }

    void Click(const std::string& window, int button) {
        X("xdotool mousemove --window " + window + " 8 8 click " + std::to_string(button));
    }

    TestNetwork net;
    TempDir folder;
    TempDir home;
    std::string display;
    std::unique_ptr<ChildProcess> xvfb;
    std::unique_ptr<ChildProcess> window_manager;
    std::unique_ptr<ChildProcess> panel;
    std::unique_ptr<ChildProcess> program;
    LineLog events;
};

TEST_F(VelmorOnARealDesktop, TrayClicksAlwaysRestoreTopmostOffTheTaskListAndTrayQuitEndsCleanly) {
    StartVelmor();
    ASSERT_TRUE(WaitForEvent("event window mapped")) << Events();
    // After load and during the first show (one second here): off the task list.
    {
        const std::string main = MainWindow();
        ASSERT_FALSE(main.empty());
        ASSERT_TRUE(WaitUntil([&] { return Look(main).skip_taskbar; }, 10s)) << Describe(Look(main));
        EXPECT_FALSE(Look(main).in_task_list);
    }
    ASSERT_TRUE(WaitForEvent("event window hidden")) << Events();

    // The tray icon is the program's only window mapped while the main window is hidden.
    std::string icon;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto visible = ProgramWindows("--onlyvisible");
            if (visible.size() != 1) return false;
            icon = visible.front();
            return true;
        },
        20s))
        << "no tray icon inside the panel";

    int restored = 0;
    constexpr int kCycles = 20;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        if (cycle > 0) {
            // The close box: the window manager asks the window to close.
            const std::string main = MainWindow();
            X("wmctrl -i -c " + main);
            ASSERT_TRUE(WaitForEvent("event window hidden")) << Events();
            ASSERT_TRUE(WaitUntil([&] { return !Mapped(main); }, 10s)) << "the close box hides";
            // Now and then the user has moved to another desktop meanwhile.
            if (cycle % 5 == 0) X("wmctrl -s " + std::to_string((cycle / 5) % 4));
        }
        // Clicks 1 to 3 s apart in the report: here as fast as the program hides and restores.
        Click(icon, 1);
        std::string main;
        const bool ok = WaitUntil(
            [&] {
                main = MainWindow();
                return !main.empty() && Restored(Look(main));
            },
            10s);
        if (ok) {
            ++restored;
        } else {
            WaitForEvent("(the events so far)", 500ms);
            ADD_FAILURE() << Describe(Look(MainWindow())) << "\n" << Events();
        }
        events.clear();
        EXPECT_FALSE(Look(main).in_task_list);
    }
    EXPECT_EQ(restored, kCycles);

    // Right click: the quit prompt; Enter answers with its default, Yes.
    const std::string main = MainWindow();
    Click(icon, 3);
    std::string prompt;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& window : ProgramWindows("--onlyvisible")) {
                if (window != icon && window != main) prompt = window;
            }
            return !prompt.empty();
        },
        10s))
        << "no quit prompt";
    X("xdotool windowactivate --sync " + prompt + " key --clearmodifiers Return");
    ASSERT_TRUE(WaitForEvent("event program ends")) << Events();
    EXPECT_EQ(program->Wait(10s), 0) << "a quit from the tray ends the process cleanly";
}

}  // namespace
}  // namespace velmor::test
