// End-to-end: a copy of velmor with a file capability, started by an ordinary user (nobody), runs
// in secure-execution mode and takes Qt plugins only from the system's Qt plugin folder. Marker
// plugins wait in the program folder, in a folder named by QT_PLUGIN_PATH and in one named by a
// qt.conf beside the program; the environment and the command line ask for them by name. The
// same copy without the capability loads them, which shows that the traps work. Both runs are
// in a network namespace of the test's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QLibraryInfo>
#include <filesystem>
#include <string>
#include <vector>

#include "velmor/test/child_process.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kNobody = "65534";

class PluginGuard : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "CANNOT RUN: needs root for setcap, setpriv and namespaces";
        ASSERT_TRUE(net.ok());
        fs::permissions(root.path(), fs::perms(0755));
        program = root / "P";
        env_plugins = root / "env-plugins";
        conf_plugins = root / "conf-plugins";
        out = root / "out";
        for (const fs::path& folder : {program, env_plugins, conf_plugins}) {
            PlaceMarkers(folder);
        }
        fs::create_directories(out);
        fs::permissions(out, fs::perms(0777));
        fs::copy_file(BuiltProgramFolder() / "velmor", program / "velmor");
        fs::create_directories(program / "run");
        fs::permissions(program / "run", fs::perms(0700));
        // A qt.conf that would move the plugin folder, had Qt read it.
        WriteBytes(program / "qt.conf", "[Paths]\nPlugins=" + conf_plugins.string() + "\n");
        // The program folder belongs to the user who runs it, as in the attack.
        ASSERT_EQ(
            RunShell("chown -R " + std::string(kNobody) + ":" + kNobody + " '" + program.string() + "'"), 0);
    }

    static void PlaceMarkers(const fs::path& folder) {
        const fs::path built = VELMOR_MARKER_PLUGINS;
        fs::create_directories(folder / "imageformats");
        fs::create_directories(folder / "generic");
        fs::copy_file(built / "image/libvelmor_marker_image.so",
                      folder / "imageformats/libvelmor_marker_image.so");
        fs::copy_file(built / "generic/libvelmor_marker_generic.so",
                      folder / "generic/libvelmor_marker_generic.so");
        fs::permissions(folder, fs::perms(0755));
    }

    // Runs the program folder's velmor as nobody until its window has been shown and hidden, then
    // ends it with SIGTERM. Returns the "event plugin-paths" line.
    std::string RunAsNobody() {
        ChildProcess velmor({"ip",
                             "netns",
                             "exec",
                             net.local(),
                             "setpriv",
                             "--reuid=65534",
                             "--regid=65534",
                             "--clear-groups",
                             "--inh-caps=-all",
                             "env",
                             "-i",
                             "QT_QPA_PLATFORM=offscreen",
                             "QT_PLUGIN_PATH=" + env_plugins.string(),
                             "QT_QPA_GENERIC_PLUGINS=velmormarker",
                             "QT_QPA_PLATFORMTHEME=velmormarker",
                             "VELMOR_TEST_PLUGIN_MARKER=" + Marker(),
                             "VELMOR_TEST_TRAY=1",
                             "VELMOR_DEBUG_LOG=1",
                             "VELMOR_TEST_PAUSE_DIVISOR=20",
                             "XDG_RUNTIME_DIR=" + (program / "run").string(),
                             "HOME=" + out.string(),
                             (program / "velmor").string(),
                             "-plugin",
                             "velmormarker",
                             "-platformpluginpath",
                             (env_plugins / "generic").string()});
        EXPECT_TRUE(velmor.started());
        std::string paths;
        std::string seen;
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < end) {
            const auto line = velmor.ReadLine(200ms);
            if (!line) continue;
            seen += *line + "\n";
            if (line->starts_with("event plugin-paths ")) paths = line->substr(19);
            if (*line == "event window hidden") break;
        }
        EXPECT_NE(seen.find("event window hidden"), std::string::npos) << seen;
        ::kill(velmor.pid(), SIGTERM);
        EXPECT_EQ(velmor.Wait(10s), 0) << seen;
        return paths;
    }

    std::string Marker() const { return (out / "marker").string(); }
    bool Marked() const { return fs::exists(out / "marker"); }

    TestNetwork net;
    TempDir root;
    fs::path program, env_plugins, conf_plugins, out;
};

TEST_F(PluginGuard, WithoutRightsTheTrapsAreSprung) {
    const std::string paths = RunAsNobody();
    EXPECT_TRUE(Marked()) << "no marker plugin was loaded at all: the test would prove nothing";
    EXPECT_NE(paths.find(env_plugins.string()), std::string::npos) << paths;
    EXPECT_NE(paths.find(program.string()), std::string::npos) << paths;
}

TEST_F(PluginGuard, InSecureExecutionModeOnlyTheSystemFolderCounts) {
    ASSERT_EQ(RunShell("setcap cap_net_bind_service+ep '" + (program / "velmor").string() + "'"), 0);
    const std::string paths = RunAsNobody();
    EXPECT_FALSE(Marked()) << "a marker plugin was loaded";
    EXPECT_EQ(paths, QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString());
}

}  // namespace
}  // namespace velmor::test
