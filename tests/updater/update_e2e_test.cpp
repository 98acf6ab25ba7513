// An update from the update page to the restarted product, on loopback: the nginx site published by
// deploy/publish.sh with a package made by velmor-pack, a stand-in main window with a mailbox, and
// the real Updater and Fetchel in a product folder of their own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "velmor/test/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using velmor::test::ReadBytes;
using velmor::test::TempDir;
using velmor::test::WriteBytes;
using namespace std::chrono_literals;

const char* kNewVersion = "1.0704.01";
const char* kOldVersion = "1.0703.01";

fs::path SourceDir() {
    return std::getenv("VELMOR_SOURCE_DIR");
}

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// A child process of the test, ended and reaped when it goes out of scope.
class Child final {
public:
    Child(std::vector<std::string> argv, std::vector<std::string> environment = {}) {
        pid_ = ::fork();
        if (pid_ == 0) {
            for (const auto& item : environment) ::putenv(const_cast<char*>(item.c_str()));
            std::vector<char*> args;
            for (auto& item : argv) args.push_back(item.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits up to `limit` for the child to end; its exit status, or -1 when it is still running.
    int Wait(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        do {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < end);
        return -1;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string ReadIfThere(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

class UpdateEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        // nginx's workers read the site as an unprivileged user.
        ::chmod(dir_.path().c_str(), 0755);
        port_ = FreeLoopbackPort();
        base_ = "http://127.0.0.1:" + std::to_string(port_);

        // The new release: a restart probe that records where it runs, and a data file.
        WriteBytes(dir_ / "release" / "probe.sh", "#!/bin/sh\npwd > \"$1\"\n");
        WriteBytes(dir_ / "release" / "version.txt", kNewVersion);
        WriteBytes(dir_ / "release" / "help" / "help.htm", "<html>새 도움말</html>");
        const std::string publish = (SourceDir() / "deploy" / "publish.sh").string() +
                                    " -p " VELMOR_PACK_PROGRAM " -l 'probe.sh started.txt' '" +
                                    (dir_ / "site").string() + "' " + kNewVersion + " " + base_ + " '" +
                                    (dir_ / "release").string() + "' 2>/dev/null";
        ASSERT_EQ(std::system(publish.c_str()), 0);

        const fs::path prefix = dir_ / "nginx";
        fs::create_directories(prefix / "logs");
        std::ofstream(prefix / "nginx.conf")
            << "worker_processes 1;\npid " << (prefix / "nginx.pid").string() << ";\nerror_log "
            << (prefix / "error.log").string() << ";\nevents { worker_connections 64; }\nhttp {\n"
            << "  access_log " << (prefix / "access.log").string() << ";\n"
            << "  log_format agents '$request_uri \"$http_user_agent\"';\n"
            << "  client_body_temp_path " << (prefix / "body").string() << ";\n  proxy_temp_path "
            << (prefix / "proxy").string() << ";\n  fastcgi_temp_path " << (prefix / "fcgi").string()
            << ";\n  uwsgi_temp_path " << (prefix / "uwsgi").string() << ";\n  scgi_temp_path "
            << (prefix / "scgi").string() << ";\n  include " << (dir_ / "site" / "published.map").string()
            << ";\n  server {\n    listen 127.0.0.1:" << port_ << ";\n    root "
            << (dir_ / "site" / "site").string() << ";\n    access_log " << (prefix / "agents.log").string()
            << " agents;\n    include "
            << (SourceDir() / "deploy" / "nginx" / "velmor-update-locations.conf").string() << ";\n  }\n}\n";
        nginx_ = std::make_unique<Child>(std::vector<std::string>{"/usr/sbin/nginx", "-p", prefix.string(),
                                                                  "-c", (prefix / "nginx.conf").string(),
                                                                  "-g", "daemon off;"});
        ASSERT_TRUE(WaitFor([&] { return Accepts(port_); }, 10s)) << ReadIfThere(prefix / "error.log");

        // The installed product: the real Updater and Fetchel in its support folder.
        fs::create_directories(product() / "support");
        const fs::path built = velmor::test::BuiltProgramFolder() / "support";
        for (const char* program : {"updater", "fetchel"})
            fs::copy_file(built / program, product() / "support" / program);
        WriteBytes(product() / "version.txt", kOldVersion);
    }

    fs::path product() const { return dir_ / "product"; }

    // The hand-over file as the main program writes it at start.
    fs::path WriteHandOver(const std::string& version, const std::string& handle) {
        const fs::path support = product() / "support";
        const std::string line = "\"[KQ][" + product().string() + "][" + support.string() + "][" +
                                 (support / "TmpNewVer.jar").string() + "][" + version + "][" + base_ +
                                 "/client/update.jsp?proid=KQ&ver=" + version + "][" + handle + "]\"\r\n";
        WriteBytes(support / "UpdateInfo.tmp", line);
        return support / "UpdateInfo.tmp";
    }

    std::unique_ptr<Child> StartMainWindow(std::string& handle) {
        fs::remove(dir_ / "handle");
        fs::remove(dir_ / "closes");
        auto window = std::make_unique<Child>(std::vector<std::string>{
            STAND_IN_MAIN_WINDOW, (dir_ / "handle").string(), (dir_ / "closes").string()});
        EXPECT_TRUE(WaitFor([&] { return fs::exists(dir_ / "handle"); }, 5s));
        handle = ReadIfThere(dir_ / "handle");
        return window;
    }

    int RunUpdater(const fs::path& hand_over, std::chrono::seconds limit) {
        Child updater({(product() / "support" / "updater").string(), hand_over.string()},
                      {"VELMOR_UPDATER_ANSWER=ok", "QT_QPA_PLATFORM=offscreen"});
        return updater.Wait(limit);
    }

    TempDir dir_;
    int port_ = 0;
    std::string base_;
    std::unique_ptr<Child> nginx_;
};

TEST_F(UpdateEndToEnd, AnOlderVersionIsUpdatedAndRestartedAndTheNewOneFindsNoUpdate) {
    std::string handle;
    auto main_window = StartMainWindow(handle);
    ASSERT_FALSE(handle.empty());
    const auto started_at = std::chrono::steady_clock::now();
    EXPECT_EQ(RunUpdater(WriteHandOver(kOldVersion, handle), 60s), 0);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_at).count();

    // The main window was asked to close exactly once and went.
    EXPECT_EQ(main_window->Wait(5s), 0);
    EXPECT_EQ(ReadIfThere(dir_ / "closes"), "1");
    // The package came down whole, was unpacked over the product, and the product started there.
    const fs::path package =
        dir_ / "site" / "site" / "client" / (std::string("TmpNewVer-") + kNewVersion + ".jar");
    EXPECT_EQ(ReadIfThere(product() / "support" / "TmpNewVer.jar"), ReadIfThere(package));
    EXPECT_EQ(ReadBytes(product() / "version.txt"), kNewVersion);
    EXPECT_EQ(ReadBytes(product() / "help" / "help.htm"), "<html>새 도움말</html>");
    ASSERT_TRUE(WaitFor([&] { return !ReadIfThere(product() / "started.txt").empty(); }, 5s));
    EXPECT_EQ(ReadIfThere(product() / "started.txt"), fs::canonical(product()).string() + "\n");
    const std::string agents = ReadIfThere(dir_ / "nginx" / "agents.log");
    EXPECT_NE(agents.find(std::string("/client/update.jsp?proid=KQ&ver=") + kOldVersion + " \"Updater\""),
              std::string::npos)
        << agents;
    EXPECT_NE(agents.find(".jar \"Fetchel - download an internet file\""), std::string::npos) << agents;
    std::cout << "update from page to restart: " << seconds << " s\n";

    // The restarted product hands over its new version: no update, no question, no close.
    fs::remove(product() / "started.txt");
    auto new_window = StartMainWindow(handle);
    EXPECT_EQ(RunUpdater(WriteHandOver(kNewVersion, handle), 20s), 0);
    EXPECT_EQ(new_window->Wait(500ms), -1);  // still running
    EXPECT_FALSE(fs::exists(dir_ / "closes"));
    EXPECT_FALSE(fs::exists(product() / "started.txt"));
}

TEST_F(UpdateEndToEnd, AMissingHandOverEndsAtOnce) {
    EXPECT_EQ(RunUpdater(product() / "support" / "UpdateInfo.tmp", 10s), 0);
}

}  // namespace
