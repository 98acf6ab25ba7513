// An update from the update page to the restarted product, on loopback over https: the nginx site
// published and signed by deploy/publish.sh with a package made by velmor-pack, a certificate from
// a test CA, a stand-in main window with a mailbox, and the real Updater and Fetchel in a product
// folder of their own. The Updater and Fetchel trust the system's certificate store; they run in a
// private mount namespace whose store holds only the test CA (the machine's store is not touched).
#include <arpa/inet.h>
#include <fcntl.h>
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
    Child(std::vector<std::string> argv, std::vector<std::string> environment = {},
          const fs::path& output = {}) {
        pid_ = ::fork();
        if (pid_ == 0) {
            for (const auto& item : environment) ::putenv(const_cast<char*>(item.c_str()));
            if (!output.empty()) {
                const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
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

int Shell(const std::string& command) {
    return std::system(command.c_str());
}

std::string Quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

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
        ASSERT_EQ(::geteuid(), 0u) << "CANNOT RUN: needs root for a private mount namespace";
        // nginx's workers read the site as an unprivileged user.
        ::chmod(dir_.path().c_str(), 0755);
        port_ = FreeLoopbackPort();
        base_ = "https://127.0.0.1:" + std::to_string(port_);
        MakeCertificates();

        // The maker's release key pair, made for this test only.
        ASSERT_EQ(Shell(std::string(VELMOR_PACK_PROGRAM) + " keygen " + Quoted(dir_ / "release.key") + " " +
                        Quoted(dir_ / "release-public.pem") + " >/dev/null"),
                  0);

        // The new release: a restart probe that records where it runs, a data file, and new copies
        // of the Updater and Fetchel themselves (the running Updater replaces its own file).
        WriteBytes(release() / "probe.sh", "#!/bin/sh\npwd > \"$1\"\n");
        WriteBytes(release() / "version.txt", kNewVersion);
        WriteBytes(release() / "help" / "help.htm", "<html>새 도움말</html>");
        const fs::path built = velmor::test::BuiltProgramFolder() / "support";
        for (const char* program : {"updater", "fetchel"}) {
            // Bytes after the end of an ELF program change the file, not the program.
            WriteBytes(release() / "support" / program,
                       ReadBytes(built / program) + "\nrelease " + kNewVersion);
        }
        fs::copy_file(dir_ / "release-public.pem", release() / "support" / "update-key.pem");
        ASSERT_EQ(Publish(dir_ / "site", dir_ / "release.key", release()), 0);
        StartNginx(dir_ / "site");

        // The installed product: the real Updater and Fetchel and the release public key.
        fs::create_directories(product() / "support");
        for (const char* program : {"updater", "fetchel"})
            fs::copy_file(built / program, product() / "support" / program);
        fs::copy_file(dir_ / "release-public.pem", product() / "support" / "update-key.pem");
        WriteBytes(product() / "version.txt", kOldVersion);
    }

    // A test CA, and a certificate it signs for 127.0.0.1; the CA alone goes into the private store.
    void MakeCertificates() {
        fs::create_directories(store());
        const std::string ca = Quoted(dir_ / "ca.pem");
        const std::string ca_key = Quoted(dir_ / "ca.key");
        const std::string commands =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj "
            "'/CN=Velmor test CA' -keyout " +
            ca_key + " -out " + ca +
            " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 "
            "-keyout " +
            Quoted(dir_ / "server.key") + " -out " + Quoted(dir_ / "server.csr") +
            " && printf 'subjectAltName=IP:127.0.0.1\\n' > " + Quoted(dir_ / "san.ext") +
            " && openssl x509 -req -days 1 -in " + Quoted(dir_ / "server.csr") + " -CA " + ca + " -CAkey " +
            ca_key + " -CAcreateserial -extfile " + Quoted(dir_ / "san.ext") + " -out " +
            Quoted(dir_ / "server.pem") + " && cp " + ca + " " + Quoted(store() / "ca-certificates.crt");
        ASSERT_EQ(Shell("(" + commands + ") >/dev/null 2>&1"), 0) << "openssl could not make the test CA";
    }

    int Publish(const fs::path& site, const fs::path& key, const fs::path& from) {
        const std::string publish = (SourceDir() / "deploy" / "publish.sh").string() +
                                    " -p " VELMOR_PACK_PROGRAM " -k " + Quoted(key) +
                                    " -l 'probe.sh started.txt' " + Quoted(site) + " " + kNewVersion + " " +
                                    base_ + " " + Quoted(from) + " 2>/dev/null";
        return Shell(publish);
    }

    void StartNginx(const fs::path& site) {
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
            << (prefix / "scgi").string() << ";\n  include " << (site / "published.map").string()
            << ";\n  server {\n    listen 127.0.0.1:" << port_ << " ssl;\n    ssl_certificate "
            << (dir_ / "server.pem").string() << ";\n    ssl_certificate_key "
            << (dir_ / "server.key").string() << ";\n    root " << (site / "site").string()
            << ";\n    access_log " << (prefix / "agents.log").string() << " agents;\n    include "
            << (SourceDir() / "deploy" / "nginx" / "velmor-update-locations.conf").string() << ";\n  }\n}\n";
        nginx_ = std::make_unique<Child>(std::vector<std::string>{"/usr/sbin/nginx", "-p", prefix.string(),
                                                                  "-c", (prefix / "nginx.conf").string(),
                                                                  "-g", "daemon off;"});
        ASSERT_TRUE(WaitFor([&] { return Accepts(port_); }, 10s)) << ReadIfThere(prefix / "error.log");
    }

    fs::path product() const { return dir_ / "product"; }
    fs::path release() const { return dir_ / "release"; }
    fs::path store() const { return dir_ / "store"; }
    fs::path site_package() const {
        return dir_ / "site" / "site" / "client" / (std::string("TmpNewVer-") + kNewVersion + ".jar");
    }

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

    // The Updater of the product, answering the question with OK, in the private certificate store.
    std::unique_ptr<Child> StartUpdater(const fs::path& hand_over) {
        return std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh",
                                     "-c", "mount --bind \"$0\" /etc/ssl/certs && exec \"$@\"",
                                     store().string(), (product() / "support" / "updater").string(),
                                     hand_over.string()},
            std::vector<std::string>{"VELMOR_UPDATER_ANSWER=ok", "QT_QPA_PLATFORM=offscreen"},
            dir_ / "updater.out");
    }

    int RunUpdater(const fs::path& hand_over, std::chrono::seconds limit) {
        return StartUpdater(hand_over)->Wait(limit);
    }

    std::string UpdaterOutput() const { return ReadIfThere(dir_ / "updater.out"); }

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
    EXPECT_EQ(RunUpdater(WriteHandOver(kOldVersion, handle), 60s), 0) << UpdaterOutput();
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_at).count();

    // The main window was asked to close exactly once and went.
    EXPECT_EQ(main_window->Wait(5s), 0);
    EXPECT_EQ(ReadIfThere(dir_ / "closes"), "1");
    // The package came down whole over https, was unpacked over the product, and the product
    // started there.
    EXPECT_EQ(ReadIfThere(product() / "support" / "TmpNewVer.jar"), ReadIfThere(site_package()));
    EXPECT_EQ(ReadBytes(product() / "version.txt"), kNewVersion);
    EXPECT_EQ(ReadBytes(product() / "help" / "help.htm"), "<html>새 도움말</html>");
    ASSERT_TRUE(WaitFor([&] { return !ReadIfThere(product() / "started.txt").empty(); }, 5s));
    EXPECT_EQ(ReadIfThere(product() / "started.txt"), fs::canonical(product()).string() + "\n");
    // The running Updater replaced its own program file, and Fetchel's.
    for (const char* program : {"updater", "fetchel"}) {
        EXPECT_EQ(ReadIfThere(product() / "support" / program), ReadIfThere(release() / "support" / program))
            << program;
    }
    const std::string agents = ReadIfThere(dir_ / "nginx" / "agents.log");
    EXPECT_NE(agents.find(std::string("/client/update.jsp?proid=KQ&ver=") + kOldVersion + " \"Updater\""),
              std::string::npos)
        << agents;
    EXPECT_NE(agents.find(".jar \"Fetchel - download an internet file\""), std::string::npos) << agents;
    std::cout << "update from page to restart: " << seconds << " s\n";

    // The restarted product hands over its new version to the new Updater: no update, no
    // question, no close.
    fs::remove(product() / "started.txt");
    auto new_window = StartMainWindow(handle);
    EXPECT_EQ(RunUpdater(WriteHandOver(kNewVersion, handle), 20s), 0);
    EXPECT_EQ(new_window->Wait(500ms), -1);  // still running
    EXPECT_FALSE(fs::exists(dir_ / "closes"));
    EXPECT_FALSE(fs::exists(product() / "started.txt"));
}

// Someone between the user and the update server, or in it, serves his own release and signs it
// with his own key: the Updater downloads it, refuses it, and his program never runs.
TEST_F(UpdateEndToEnd, AReleaseSignedWithAnotherKeyIsRefusedAndNeverRuns) {
    ASSERT_EQ(Shell(std::string(VELMOR_PACK_PROGRAM) + " keygen " + Quoted(dir_ / "attacker.key") + " " +
                    Quoted(dir_ / "attacker.pem") + " >/dev/null"),
              0);
    const fs::path evil = dir_ / "evil";
    WriteBytes(evil / "probe.sh", "#!/bin/sh\necho owned > \"$1\"\n");
    WriteBytes(evil / "version.txt", "attacker");
    // His release goes where the real one was, over the same https site.
    ASSERT_EQ(Publish(dir_ / "site", dir_ / "attacker.key", evil), 0);

    std::string handle;
    auto main_window = StartMainWindow(handle);
    auto updater = StartUpdater(WriteHandOver(kOldVersion, handle));
    ASSERT_TRUE(
        WaitFor([&] { return UpdaterOutput().find("다운로드할 수 없습니다.") != std::string::npos; }, 60s))
        << UpdaterOutput();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(ReadIfThere(product() / "support" / "TmpNewVer.jar"), ReadIfThere(site_package()));
    EXPECT_EQ(ReadBytes(product() / "version.txt"), kOldVersion);
    EXPECT_FALSE(fs::exists(product() / "probe.sh"));
    EXPECT_FALSE(fs::exists(product() / "started.txt"));
    // The failure leaves the window open until the user closes it.
    EXPECT_EQ(updater->Wait(200ms), -1);
}

// A page without a signature is refused as soon as the user agreed: the main program keeps
// running and nothing is downloaded.
TEST_F(UpdateEndToEnd, AnUnsignedPageIsRefusedBeforeTheMainProgramCloses) {
    const fs::path page = dir_ / "site" / "site" / "client" / "update.html";
    std::string text = ReadBytes(page);
    const auto fourth = text.rfind('[');
    text.erase(fourth, text.find(']', fourth) - fourth + 1);
    WriteBytes(page, text);

    std::string handle;
    auto main_window = StartMainWindow(handle);
    EXPECT_EQ(RunUpdater(WriteHandOver(kOldVersion, handle), 30s), 0);
    EXPECT_NE(UpdaterOutput().find("다운로드할 수 없습니다."), std::string::npos) << UpdaterOutput();
    EXPECT_EQ(main_window->Wait(500ms), -1);  // still running
    EXPECT_FALSE(fs::exists(dir_ / "closes"));
    EXPECT_FALSE(fs::exists(product() / "support" / "TmpNewVer.jar"));
    EXPECT_EQ(ReadBytes(product() / "version.txt"), kOldVersion);
}

// Without the test CA the site's certificate is not trusted, and an update never begins.
TEST_F(UpdateEndToEnd, AnUntrustedCertificateFindsNoUpdate) {
    std::string handle;
    auto main_window = StartMainWindow(handle);
    Child updater({(product() / "support" / "updater").string(), WriteHandOver(kOldVersion, handle).string()},
                  {"VELMOR_UPDATER_ANSWER=ok", "QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(updater.Wait(30s), 0);
    EXPECT_EQ(main_window->Wait(500ms), -1);
    EXPECT_FALSE(fs::exists(dir_ / "closes"));
    EXPECT_FALSE(fs::exists(product() / "support" / "TmpNewVer.jar"));
}

TEST_F(UpdateEndToEnd, AMissingHandOverEndsAtOnce) {
    EXPECT_EQ(RunUpdater(product() / "support" / "UpdateInfo.tmp", 10s), 0);
}

// A hand-over that is no small regular file is not read: a link to an endless device, a FIFO
// without a writer, and an oversized file all end the Updater at once.
TEST_F(UpdateEndToEnd, AHandOverThatIsNoShortRegularFileEndsAtOnce) {
    const fs::path support = product() / "support";
    fs::create_symlink("/dev/zero", support / "zero.tmp");
    ASSERT_EQ(::mkfifo((support / "fifo.tmp").c_str(), 0600), 0);
    std::string handle;
    auto main_window = StartMainWindow(handle);
    const fs::path good = WriteHandOver(kOldVersion, handle);
    WriteBytes(support / "big.tmp", ReadBytes(good) + std::string(9000, ' '));
    fs::create_symlink(good, support / "link.tmp");
    for (const char* name : {"zero.tmp", "fifo.tmp", "big.tmp", "link.tmp"}) {
        EXPECT_EQ(RunUpdater(support / name, 10s), 0) << name;
    }
    EXPECT_EQ(main_window->Wait(200ms), -1);
    EXPECT_FALSE(fs::exists(dir_ / "closes"));
}

}  // namespace
