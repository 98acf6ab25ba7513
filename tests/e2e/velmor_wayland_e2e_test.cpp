// End-to-end on a Wayland desktop: sway on its headless backend, its bar swaybar as the
// StatusNotifierItem host (the tray of Wayland desktops), a D-Bus session bus of the test's own,
// and the real velmor program on Qt's wayland platform, inside a network namespace of the test's
// own. The desktop runs as user nobody (sway refuses root). The tray icon is clicked the way
// swaybar clicks it, through the item's Activate and ContextMenu methods on the bus (the headless
// backend has no pointer device); keys come through the virtual keyboard (wtype). What the
// compositor shows is read back with swaymsg. VELMOR_WAYLAND_SCREENSHOTS=FOLDER keeps grim's
// pictures of the desktop there.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "velmor/platform/terminal.h"
#include "velmor/test/child_process.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kDesktopUser = "65534";

std::string Shell(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
        ::pclose(pipe);
    }
    return output;
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// One window of the compositor's tree.
struct Window {
    std::string name;
    bool visible = false;
    bool focused = false;
};

class VelmorOnWayland : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"sway", "swaybar", "swaymsg", "dbus-daemon", "dbus-send", "wtype", "grim"}) {
            ASSERT_TRUE(platform::FindExecutable(tool)) << tool << " is missing (scripts/install-deps.sh)";
        }
        ASSERT_TRUE(fs::exists("/usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqwayland-generic.so") ||
                    !Shell("ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so").empty())
            << "Qt's wayland platform is missing (qt6-wayland, scripts/install-deps.sh)";
        ASSERT_TRUE(net.ok());
        // Everything of the desktop belongs to its user: the runtime folder, the home, the program.
        for (const fs::path& dir : {runtime.path(), home.path(), folder.path()}) {
            ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
        }
        fs::permissions(runtime.path(), fs::perms::owner_all);
        fs::permissions(home.path(), fs::perms(0755));
        fs::permissions(folder.path(), fs::perms(0755));
        fs::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
        ASSERT_EQ(::chown((folder / "velmor").c_str(), 65534, 65534), 0);
    }

    void TearDown() override {
        // Only the processes this test started, by their id, the program first.
        program.reset();
        compositor.reset();
        bus.reset();
    }

    // A command as the desktop's user, with the desktop's environment.
    std::vector<std::string> AsDesktopUser(std::vector<std::string> command) const {
        std::vector<std::string> full{"setpriv",
                                      "--reuid",
                                      kDesktopUser,
                                      "--regid",
                                      kDesktopUser,
                                      "--clear-groups",
                                      "env",
                                      "HOME=" + home.path().string(),
                                      "XDG_RUNTIME_DIR=" + runtime.path().string(),
                                      "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (runtime / "bus").string()};
        if (!sway_socket.empty()) full.push_back("SWAYSOCK=" + sway_socket);
        if (!wayland_display.empty()) full.push_back("WAYLAND_DISPLAY=" + wayland_display);
        full.insert(full.end(), command.begin(), command.end());
        return full;
    }
    std::string Desktop(const std::string& command) const {
        std::string line;
        for (const std::string& word : AsDesktopUser({"sh", "-c", command})) line += Quoted(word) + " ";
        return Shell(line);
    }

    // The bus, and sway with a bar whose tray is on (`tray`) or with no bar at all.
    void StartDesktop(bool tray) {
        bus = std::make_unique<ChildProcess>(AsDesktopUser(
            {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + (runtime / "bus").string()}));
        ASSERT_TRUE(bus->started());
        ASSERT_TRUE(WaitUntil([&] { return fs::exists(runtime / "bus"); }, 10s)) << "no session bus";
        std::ofstream config(runtime / "sway.config");
        config << "output HEADLESS-1 resolution 1280x800\n";
        if (tray) config << "bar {\n    position bottom\n    status_command echo velmor-test\n}\n";
        config.close();
        compositor = std::make_unique<ChildProcess>(
            AsDesktopUser({"env", "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
                           "sh", "-c", "exec sway -c \"$0\" >\"$1\" 2>&1", (runtime / "sway.config").string(),
                           (runtime / "sway.log").string()}));
        ASSERT_TRUE(compositor->started());
        ASSERT_TRUE(WaitUntil(
            [&] {
                for (const auto& entry : fs::directory_iterator(runtime.path())) {
                    const std::string name = entry.path().filename().string();
                    if (name.starts_with("sway-ipc.") && name.ends_with(".sock"))
                        sway_socket = entry.path().string();
                    if (name.starts_with("wayland-") && !name.ends_with(".lock")) wayland_display = name;
                }
                return !sway_socket.empty() && !wayland_display.empty() &&
                       Desktop("swaymsg -t get_version").find("1.") != std::string::npos;
            },
            20s))
            << "sway did not start: " << Shell("cat " + Quoted((runtime / "sway.log").string()));
        if (tray) {
            ASSERT_TRUE(WaitUntil([&] { return HasTrayHost(); }, 20s)) << "swaybar offers no tray";
        }
    }

    bool HasTrayHost() const {
        return Desktop(
                   "dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                   "org.freedesktop.DBus.ListNames")
                   .find("\"org.kde.StatusNotifierWatcher\"") != std::string::npos;
    }

    // The items the tray shows, as "service/path".
    std::vector<std::string> TrayItems() const {
        const std::string reply = Desktop(
            "dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher "
            "org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher "
            "string:RegisteredStatusNotifierItems");
        std::vector<std::string> items;
        const std::regex item_re("string \"([^\"]+)\"");
        for (std::sregex_iterator it(reply.begin(), reply.end(), item_re), end; it != end; ++it)
            items.push_back((*it)[1]);
        return items;
    }

    // What the bar does on a click on the item: Activate (left button) or ContextMenu (right).
    void ClickTrayItem(const std::string& item, const std::string& method) {
        const auto slash = item.find('/');
        Desktop("dbus-send --session --print-reply --dest=" + item.substr(0, slash) + " " +
                item.substr(slash) + " org.kde.StatusNotifierItem." + method + " int32:1260 int32:790");
    }

    std::vector<Window> Windows() const {
        // Every node that belongs to a process is an application window: "visible focused name".
        const std::string listing = Desktop(
            "swaymsg -t get_tree | python3 -c '"
            "import json, sys\n"
            "def walk(node):\n"
            "    if node.get(\"pid\"): print(int(node[\"visible\"]), int(node[\"focused\"]), "
            "node[\"name\"])\n"
            "    for child in node[\"nodes\"] + node[\"floating_nodes\"]: walk(child)\n"
            "walk(json.load(sys.stdin))'");
        std::vector<Window> windows;
        std::istringstream lines(listing);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() < 4) continue;
            windows.push_back({line.substr(4), line[0] == '1', line[2] == '1'});
        }
        return windows;
    }
    std::optional<Window> MainWindow() const {
        for (const auto& window : Windows())
            if (window.name.starts_with("Torvane")) return window;
        return std::nullopt;
    }

    void StartVelmor() {
        std::vector<std::string> command{"ip", "netns", "exec", net.local()};
        std::vector<std::string> velmor{"QT_QPA_PLATFORM=wayland", "VELMOR_DEBUG_LOG=1",
                                        "VELMOR_TEST_PAUSE_DIVISOR=2"};
#if defined(__SANITIZE_ADDRESS__)
        // Qt's Wayland client and its D-Bus tray keep allocations to the end of the process, and the
        // system libraries' frames give the leak check no stack to tell them from Velmor's own. The
        // leak check of Velmor's code runs in the offscreen and X11 tests; here every other check
        // stays on.
        velmor.push_back("ASAN_OPTIONS=detect_leaks=0:abort_on_error=1");
#endif
        velmor.push_back((folder / "velmor").string());
        for (const std::string& word : AsDesktopUser(velmor)) command.push_back(word);
        program = std::make_unique<ChildProcess>(command);
        ASSERT_TRUE(program->started());
    }
    bool WaitForEvent(const std::string& wanted, std::chrono::milliseconds timeout = 20s) {
        return events.WaitFor(*program, wanted, timeout);
    }

    void Screenshot(const std::string& name) {
        const char* keep = std::getenv("VELMOR_WAYLAND_SCREENSHOTS");
        if (keep == nullptr || *keep == '\0') return;
        const fs::path picture = runtime / name;
        Desktop("grim " + Quoted(picture.string()));
        std::error_code error;
        fs::copy_file(picture, fs::path(keep) / name, fs::copy_options::overwrite_existing, error);
        EXPECT_FALSE(error) << "screenshot " << name << ": " << error.message();
    }

    TestNetwork net;
    TempDir runtime;
    TempDir home;
    TempDir folder;
    std::string sway_socket;
    std::string wayland_display;
    std::unique_ptr<ChildProcess> bus;
    std::unique_ptr<ChildProcess> compositor;
    std::unique_ptr<ChildProcess> program;
    LineLog events;
};

TEST_F(VelmorOnWayland, TheTrayIconAppearsAClickRestoresAndTheTrayQuitEnds) {
    StartDesktop(/*tray=*/true);
    StartVelmor();
    ASSERT_TRUE(WaitForEvent("event window hidden")) << events.Text();
    std::vector<std::string> items;
    ASSERT_TRUE(WaitUntil([&] { return (items = TrayItems()).size() == 1; }, 10s)) << "no icon in the tray";
    const std::string item = items.front();
    Screenshot("wayland-tray.png");

    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        if (cycle > 0) {
            // The close request the compositor sends for the window's close box.
            Desktop("swaymsg '[app_id=velmor] kill'");
            ASSERT_TRUE(WaitForEvent("event window hidden")) << events.Text();
            ASSERT_TRUE(WaitUntil([&] { return !MainWindow(); }, 10s)) << "the close box hides";
        }
        ClickTrayItem(item, "Activate");
        ASSERT_TRUE(WaitUntil(
            [&] {
                const auto main = MainWindow();
                return main && main->visible && main->focused;
            },
            10s))
            << "a left click on the icon brings the window back\n"
            << events.Text();
        events.clear();
    }
    Screenshot("wayland-restored.png");

    // Right click: the quit prompt; Enter answers with its default, Yes.
    ClickTrayItem(item, "ContextMenu");
    ASSERT_TRUE(WaitUntil([&] { return Windows().size() == 2; }, 10s)) << "no quit prompt";
    // The first key only makes the virtual keyboard known to the program.
    Desktop("wtype -k Shift_L -s 500 -k Return");
    ASSERT_TRUE(WaitForEvent("event program ends")) << events.Text();
    EXPECT_EQ(program->Wait(10s), 0) << "a quit from the tray ends the process cleanly";
}

TEST_F(VelmorOnWayland, ATrayThatGoesBringsTheWindowBackAndATrayThatComesGetsTheIcon) {
    StartDesktop(/*tray=*/true);
    StartVelmor();
    ASSERT_TRUE(WaitForEvent("event window hidden")) << events.Text();
    ASSERT_TRUE(WaitUntil([&] { return TrayItems().size() == 1; }, 10s));
    // The bar stops offering a tray while the window is in it.
    Desktop("swaymsg 'bar bar-0 tray_output none'");
    ASSERT_TRUE(WaitUntil([&] { return !HasTrayHost(); }, 10s));
    ASSERT_TRUE(WaitForEvent("event tray none", 10s)) << events.Text();
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto main = MainWindow();
            return main && main->visible;
        },
        10s))
        << "the window must come back when its tray is gone";
    // And a tray again: the icon goes up in it.
    Desktop("swaymsg 'bar bar-0 tray_output *'");
    ASSERT_TRUE(WaitForEvent("event tray came", 10s)) << events.Text();
    EXPECT_TRUE(WaitUntil([&] { return TrayItems().size() == 1; }, 10s)) << "the icon is not in the new tray";
}

TEST_F(VelmorOnWayland, WithoutAnyTrayHostTheWindowStaysAndSaysHowToGetATray) {
    // Like GNOME on Wayland without its AppIndicator extension: no StatusNotifierItem host at all.
    StartDesktop(/*tray=*/false);
    ASSERT_FALSE(HasTrayHost());
    StartVelmor();
    ASSERT_TRUE(WaitForEvent("event tray none")) << events.Text();
    ASSERT_TRUE(WaitForEvent("event window mapped")) << events.Text();
    // Past the first show's two seconds (one here) the window is still there.
    EXPECT_FALSE(WaitForEvent("event window hidden", 3s));
    auto main = MainWindow();
    ASSERT_TRUE(main);
    EXPECT_TRUE(main->visible);
    Screenshot("wayland-no-tray.png");
    // The close box does not take it out of reach.
    Desktop("swaymsg '[app_id=velmor] kill'");
    EXPECT_FALSE(WaitForEvent("event window hidden", 2s)) << events.Text();
    main = MainWindow();
    ASSERT_TRUE(main) << "closed with no tray to come back from";
    EXPECT_TRUE(main->visible);
}

}  // namespace
}  // namespace velmor::test
