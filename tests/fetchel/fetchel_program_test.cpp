// Runs the built program against a loopback HTTP server and local files, with a real mailbox
// receiving its notifications.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "test_http_server.h"
#include "velmor/platform/mailbox.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

extern char** environ;

namespace velmor::test {
namespace {

namespace fs = std::filesystem;
using platform::Mailbox;
using platform::WindowMessage;
using Clock = std::chrono::steady_clock;

struct Outcome {
    int exit_status = -1;
    std::vector<WindowMessage> messages;
    std::string console;  // everything the program wrote to stdout and stderr
    std::chrono::milliseconds duration{0};

    std::vector<std::int64_t> values() const {
        std::vector<std::int64_t> result;
        for (const auto& message : messages) result.push_back(message.lParam);
        return result;
    }
};

fs::path FetchelPath() {
    return BuiltProgramFolder() / "support" / "fetchel";
}

// Starts fetchel with `arguments`, collects what reaches `mailbox` while it runs (the queue is
// short, so it is drained all the time) and waits for the exit. `on_message` may close the mailbox.
// `wrapper` is a command line that ends by running the program named after it (such as unshare).
Outcome RunFetchel(const std::vector<std::string>& arguments, std::unique_ptr<Mailbox>* mailbox = nullptr,
                   const std::function<void(const WindowMessage&)>& on_message = {},
                   const std::vector<std::string>& wrapper = {}) {
    TempDir console_dir;
    const fs::path console_file = console_dir / "console";
    std::vector<std::string> argv_storage = wrapper;
    argv_storage.push_back(FetchelPath().string());
    argv_storage.insert(argv_storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& item : argv_storage) argv.push_back(item.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, console_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    Outcome run;
    pid_t pid = 0;
    const auto start = Clock::now();
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(error);
        return run;
    }
    const auto drain = [&] {
        while (mailbox && *mailbox) {
            const auto message = (*mailbox)->Receive();
            if (!message) break;
            run.messages.push_back(*message);
            if (on_message) on_message(*message);
        }
    };
    int status = 0;
    for (;;) {
        if (mailbox && *mailbox) {
            pollfd watch{(*mailbox)->NativeDescriptor(), POLLIN, 0};
            ::poll(&watch, 1, 5);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        drain();
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (Clock::now() - start > std::chrono::seconds(120)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "fetchel did not end";
            break;
        }
    }
    drain();
    run.duration = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.console = ReadBytes(console_file);
    return run;
}

std::string Handle(const Mailbox& mailbox) {
    return std::to_string(mailbox.Handle());
}

class FetchelRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(FetchelPath())) << FetchelPath();
        mailbox_ = platform::OpenMailbox();
        ASSERT_TRUE(mailbox_);
    }

    // Runs with all six items: window, offset 0, size, wParam 0; checks the common promises.
    Outcome Fetch(const std::string& source, const fs::path& output, std::int64_t size) {
        Outcome run = RunFetchel({source, output.string(), Handle(*mailbox_), "0", std::to_string(size), "0"},
                                 &mailbox_);
        EXPECT_EQ(run.console, "") << "Fetchel must print nothing";
        for (const auto& message : run.messages) {
            EXPECT_EQ(message.message, platform::kWmUser);
            EXPECT_EQ(message.wParam, 0);
        }
        return run;
    }

    using Values = std::vector<std::int64_t>;
    TestHttpServer server_;
    TempDir dir_;
    std::unique_ptr<Mailbox> mailbox_;
};

TEST_F(FetchelRun, DownloadPostsPercentagesThenCompleteAndSuccess) {
    const Outcome run = Fetch(server_.Url("/bytes/250000"), dir_ / "out", 250000);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.values(), (Values{40, 81, 100, -1}));
    EXPECT_EQ(ReadBytes(dir_ / "out"), PatternBytes(250000));

    // The request asks for a fresh copy, under the program's own name.
    const auto headers = server_.LastRequestHeaders();
    EXPECT_EQ(headers.count("User-Agent") ? headers.at("User-Agent") : "",
              "Fetchel - download an internet file");
    EXPECT_EQ(headers.count("Cache-Control") ? headers.at("Cache-Control") : "", "no-cache");
    EXPECT_EQ(headers.count("Pragma") ? headers.at("Pragma") : "", "no-cache");
}

TEST_F(FetchelRun, MessageNumberAndWParamComeFromTheCommandLine) {
    const Outcome run = RunFetchel(
        {server_.Url("/bytes/5000"), (dir_ / "out").string(), Handle(*mailbox_), "7", "5000", "-9"},
        &mailbox_);
    ASSERT_EQ(run.messages.size(), 2u);
    EXPECT_EQ(run.messages[0], (WindowMessage{platform::kWmUser + 7, -9, 100}));
    EXPECT_EQ(run.messages[1], (WindowMessage{platform::kWmUser + 7, -9, -1}));
}

TEST_F(FetchelRun, BlockMultiplesAndOneByteMore) {
    // All announced as 200 reads' worth; only full 1024-byte reads count.
    const std::int64_t announced = 1024 * 200;
    for (const std::int64_t size : {1024 * 200, 1024 * 200 + 1, 1024 * 200 - 1, 1024 * 3}) {
        SCOPED_TRACE(size);
        const fs::path out = dir_ / ("out" + std::to_string(size));
        const Outcome run = Fetch(server_.Url("/bytes/" + std::to_string(size)), out, announced);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(ReadBytes(out), PatternBytes(size));
        if (size >= 1024 * 200) {
            EXPECT_EQ(run.values(), (Values{50, 100, 100, -1}));
        } else if (size > 1024 * 100) {
            EXPECT_EQ(run.values(), (Values{50, 100, -1}));
        } else {
            EXPECT_EQ(run.values(), (Values{100, -1}));
        }
    }
}

TEST_F(FetchelRun, WithoutExpectedSizeOnlyTheOutcomeIsPosted) {
    const Outcome run = Fetch(server_.Url("/bytes/500000"), dir_ / "out", 0);
    EXPECT_EQ(run.values(), (Values{-1}));
    EXPECT_EQ(ReadBytes(dir_ / "out").size(), 500000u);
}

TEST_F(FetchelRun, SchemeInCapitalsIsFetched) {
    const std::string url = "HTTP://127.0.0.1:" + std::to_string(server_.port()) + "/bytes/3000";
    const Outcome run = Fetch(url, dir_ / "out", 3000);
    EXPECT_EQ(run.values(), (Values{100, -1}));
    EXPECT_EQ(ReadBytes(dir_ / "out"), PatternBytes(3000));
}

TEST_F(FetchelRun, HttpsGoesThroughTheInternetReader) {
    // A plain TCP listener records what arrives: a TLS handshake proves the https route; it then
    // hangs up, so the download fails. A local file named like the address proves the source was
    // not opened as a path instead.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    std::atomic<int> first_byte{-1};
    std::thread peer([&] {
        pollfd watch{listener, POLLIN, 0};
        if (::poll(&watch, 1, 10000) <= 0) return;
        const int connection = ::accept(listener, nullptr, nullptr);
        unsigned char byte = 0;
        if (::recv(connection, &byte, 1, 0) == 1) first_byte = byte;
        ::close(connection);
    });

    const fs::path work = dir_ / "work";
    fs::create_directories(work);
    WriteBytes(work / ("https:/127.0.0.1:" + port) / "file", "local decoy");
    const fs::path old_dir = fs::current_path();
    fs::current_path(work);
    const Outcome run = Fetch("https://127.0.0.1:" + port + "/file", dir_ / "out", 11);
    fs::current_path(old_dir);
    peer.join();
    ::close(listener);

    EXPECT_EQ(first_byte.load(), 0x16) << "expected a TLS handshake record";
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.values(), (Values{-2}));
    EXPECT_EQ(ReadBytes(dir_ / "out"), "");
}

// An https server whose certificate Fetchel trusts: Fetchel trusts the system's certificate store,
// and in a private mount namespace of its own that store holds only a certificate made for this
// test. The machine's store is not touched.
class FetchelTlsRun : public FetchelRun {
protected:
    void SetUp() override {
        FetchelRun::SetUp();
        ASSERT_EQ(::geteuid(), 0u) << "CANNOT RUN: needs root for a private mount namespace";
        fs::create_directories(store());
        const std::string make_certificate =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext "
            "subjectAltName=IP:127.0.0.1"
            " -keyout '" +
            (dir_ / "key.pem").string() + "' -out '" + (store() / "ca-certificates.crt").string() +
            "' >/dev/null 2>&1";
        ASSERT_EQ(RunShell(make_certificate), 0) << "openssl could not make a test certificate";
        tls_ = std::make_unique<TestHttpServer>((store() / "ca-certificates.crt").string(),
                                                (dir_ / "key.pem").string());
    }

    fs::path store() const { return dir_ / "store"; }

    Outcome FetchTrusting(const std::string& source, const fs::path& output, std::int64_t size) {
        const std::vector<std::string> private_store{"unshare",
                                                     "--mount",
                                                     "--propagation",
                                                     "private",
                                                     "sh",
                                                     "-c",
                                                     "mount --bind \"$0\" /etc/ssl/certs && exec \"$@\"",
                                                     store().string()};
        return RunFetchel({source, output.string(), Handle(*mailbox_), "0", std::to_string(size), "0"},
                          &mailbox_, {}, private_store);
    }

    std::unique_ptr<TestHttpServer> tls_;
};

TEST_F(FetchelTlsRun, HttpsDownloadWithATestCertificate) {
    const Outcome run = FetchTrusting(tls_->Url("/redirect/250000"), dir_ / "out", 250000);
    EXPECT_EQ(run.console, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.values(), (Values{40, 81, 100, -1}));
    EXPECT_EQ(ReadBytes(dir_ / "out"), PatternBytes(250000));

    // Without the test certificate in the store the server is not trusted: nothing is copied.
    const Outcome untrusted = Fetch(tls_->Url("/bytes/250000"), dir_ / "untrusted", 250000);
    EXPECT_EQ(untrusted.values(), (Values{-2}));
    EXPECT_EQ(ReadBytes(dir_ / "untrusted"), "");
}

// A certificate that the store trusts but that names another host is refused: host names are
// verified, not only the chain.
TEST_F(FetchelTlsRun, ATrustedCertificateForAnotherHostIsRefused) {
    const std::string make_certificate =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=other.example -addext "
        "subjectAltName=DNS:other.example -keyout '" +
        (dir_ / "other.key").string() + "' -out '" + (dir_ / "other.pem").string() +
        "' >/dev/null 2>&1 && cat '" + (dir_ / "other.pem").string() + "' >> '" +
        (store() / "ca-certificates.crt").string() + "'";
    ASSERT_EQ(RunShell(make_certificate), 0) << "openssl could not make a test certificate";
    TestHttpServer other((dir_ / "other.pem").string(), (dir_ / "other.key").string());
    const Outcome run = FetchTrusting(other.Url("/bytes/1000"), dir_ / "other", 1000);
    EXPECT_EQ(run.values(), (Values{-2}));
    EXPECT_EQ(ReadBytes(dir_ / "other"), "");
    // The same store still trusts the right host.
    const Outcome right = FetchTrusting(tls_->Url("/bytes/1000"), dir_ / "right", 1000);
    EXPECT_EQ(right.values(), (Values{100, -1}));
}

std::string QueryEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') {
            out.push_back(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    return out;
}

// A redirect may keep or raise the scheme, never lower it: nothing that a plain-http server would
// send is taken once the transfer is on https, not even after a detour.
TEST_F(FetchelTlsRun, ARedirectNeverLowersTheSchemeFromHttpsToHttp) {
    const std::string plain_target = server_.Url("/bytes/1000");
    const int plain_requests = server_.RequestCount();
    Outcome run = FetchTrusting(tls_->Url("/away?to=" + QueryEscaped(plain_target)), dir_ / "down", 1000);
    EXPECT_EQ(run.values(), (Values{-2}));
    EXPECT_EQ(ReadBytes(dir_ / "down"), "");
    // http -> https -> http: the second hop lowers the scheme.
    const std::string detour = tls_->Url("/away?to=" + QueryEscaped(plain_target));
    run = FetchTrusting(server_.Url("/away?to=" + QueryEscaped(detour)), dir_ / "detour", 1000);
    EXPECT_EQ(run.values(), (Values{-2}));
    EXPECT_EQ(ReadBytes(dir_ / "detour"), "");
    // The plain server saw the first hop of the detour only, never a request for the content.
    EXPECT_EQ(server_.RequestCount(), plain_requests + 1);

    // http -> https raises the scheme and is followed; https -> https is kept.
    run = FetchTrusting(server_.Url("/away?to=" + QueryEscaped(tls_->Url("/redirect/250000"))), dir_ / "up",
                        250000);
    EXPECT_EQ(run.values(), (Values{40, 81, 100, -1}));
    EXPECT_EQ(ReadBytes(dir_ / "up"), PatternBytes(250000));
}

TEST_F(FetchelRun, FtpSourceIsALocalPathThatCannotBeOpened) {
    const Outcome run = Fetch("ftp://127.0.0.1/file", dir_ / "out", 1000);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.values(), (Values{-2}));
    EXPECT_TRUE(fs::exists(dir_ / "out"));
    EXPECT_EQ(fs::file_size(dir_ / "out"), 0u);
}

TEST_F(FetchelRun, TwoArgumentsCopyAndPostNothing) {
    WriteBytes(dir_ / "source", PatternBytes(70000));
    Outcome run = RunFetchel({(dir_ / "source").string(), (dir_ / "local-copy").string()}, &mailbox_);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.console, "");
    EXPECT_EQ(ReadBytes(dir_ / "local-copy"), PatternBytes(70000));
    run = RunFetchel({server_.Url("/bytes/70000"), (dir_ / "web-copy").string()}, &mailbox_);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(ReadBytes(dir_ / "web-copy"), PatternBytes(70000));
    // Three items with window 0 post nothing either.
    run = RunFetchel({server_.Url("/bytes/70000"), (dir_ / "zero").string(), "0"}, &mailbox_);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_TRUE(mailbox_->Receive() == std::nullopt);
}

TEST_F(FetchelRun, WrongArgumentCountEndsAtOnceWithoutAFile) {
    const std::string out = (dir_ / "out").string();
    const std::string source = server_.Url("/bytes/10");
    const std::string window = Handle(*mailbox_);
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{}, {out}, {source, out, window, "0", "10", "0", "extra"}}) {
        const Outcome run = RunFetchel(arguments, &mailbox_);
        EXPECT_EQ(run.exit_status, 1) << arguments.size();
        EXPECT_EQ(run.console, "");
        EXPECT_TRUE(run.messages.empty());
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_EQ(server_.RequestCount(), 0);
}

TEST_F(FetchelRun, OutputInAMissingFolderFailsBeforeTheSourceIsOpened) {
    const Outcome run = Fetch(server_.Url("/bytes/1000"), dir_ / "missing" / "out", 1000);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.values(), (Values{-2}));
    EXPECT_EQ(server_.RequestCount(), 0);
}

TEST_F(FetchelRun, ConnectionLostHalfWayKeepsThePartAndFails) {
    const std::int64_t size = 1'000'000;
    const Outcome run = Fetch(server_.Url("/halfway/" + std::to_string(size)), dir_ / "out", size);
    EXPECT_EQ(run.exit_status, 0);
    const std::string kept = ReadBytes(dir_ / "out");
    EXPECT_EQ(kept, PatternBytes(size / 2));
    // Percentages for the half that came, then failure; never 100.
    EXPECT_EQ(run.values(), (Values{10, 20, 30, 40, -2}));
}

TEST_F(FetchelRun, ErrorPageIsCopiedLikeContent) {
    const Outcome run = Fetch(server_.Url("/no/such/package.jar"), dir_ / "out", 4096);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.values(), (Values{100, -1}));
    EXPECT_EQ(ReadBytes(dir_ / "out"), TestHttpServer::NotFoundPage());
}

TEST_F(FetchelRun, RedirectIsFollowed) {
    const Outcome run = Fetch(server_.Url("/redirect/300000"), dir_ / "out", 300000);
    EXPECT_EQ(run.values(), (Values{34, 68, 100, -1}));
    EXPECT_EQ(ReadBytes(dir_ / "out"), PatternBytes(300000));
}

TEST_F(FetchelRun, WindowGoneBeforeTheEndTransferStillFinishes) {
    const std::int64_t size = 4'000'000;
    int seen_after_close = 0;
    bool closed = false;
    Outcome run = RunFetchel({server_.Url("/gate/" + std::to_string(size)), (dir_ / "out").string(),
                              Handle(*mailbox_), "0", std::to_string(size), "0"},
                             &mailbox_, [&](const WindowMessage&) {
                                 if (closed) ++seen_after_close;
                                 // The first percentage arrives while the server holds back the second
                                 // half; the window goes away, then the rest is sent.
                                 mailbox_.reset();
                                 closed = true;
                                 server_.OpenGate();
                             });
    EXPECT_TRUE(closed);
    EXPECT_EQ(seen_after_close, 0);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(ReadBytes(dir_ / "out"), PatternBytes(size));
    // The final notifications do not wait for a window that is gone.
    EXPECT_LT(run.duration, std::chrono::seconds(5));
}

// Every notification received must be one of the expected ones, in order; the queue may have
// dropped some percentages, but never the last two.
void ExpectPercentagesOf(const std::vector<std::int64_t>& values, std::int64_t block,
                         std::int64_t counted_reads, std::int64_t size) {
    std::vector<std::int64_t> expected;
    for (std::int64_t n = 100; n <= counted_reads; n += 100)
        expected.push_back(std::max<std::int64_t>(1, n * block * 100 / size));
    ASSERT_GE(values.size(), 2u);
    EXPECT_EQ(values[values.size() - 2], 100);
    EXPECT_EQ(values.back(), -1);
    std::size_t next = 0;
    for (std::size_t i = 0; i + 2 < values.size(); ++i) {
        while (next < expected.size() && expected[next] != values[i]) ++next;
        ASSERT_LT(next, expected.size())
            << "unexpected or out-of-order percentage " << values[i] << " at " << i;
        ++next;
    }
    // Percentages from past 21 MB of reading arrived (and were checked above).
    EXPECT_GT(*std::max_element(values.begin(), values.end() - 2), 33);
}

// A window of its own pace, independent of the loop that waits for Fetchel: it takes one message
// per `pause` until the outcome arrives, or stops reading for good after `stop_after` messages.
class PacedReceiver {
public:
    explicit PacedReceiver(std::chrono::milliseconds pause,
                           std::size_t stop_after = std::numeric_limits<std::size_t>::max())
        : mailbox_(platform::OpenMailbox()) {
        if (!mailbox_) return;
        thread_ = std::thread([this, pause, stop_after] {
            const auto give_up = Clock::now() + std::chrono::seconds(120);
            while (!stop_ && values_.size() < stop_after && Clock::now() < give_up) {
                std::this_thread::sleep_for(pause);
                const auto message = mailbox_->Receive();
                if (!message) continue;
                values_.push_back(message->lParam);
                if (message->lParam < 0) break;
            }
            done_reading_ = true;
        });
    }
    ~PacedReceiver() { Finish(); }
    PacedReceiver(const PacedReceiver&) = delete;
    PacedReceiver& operator=(const PacedReceiver&) = delete;

    bool open() const { return mailbox_ != nullptr; }
    std::string handle() const { return Handle(*mailbox_); }
    // Waits for the outcome (at most a few seconds) and returns everything taken.
    std::vector<std::int64_t> Finish() {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (thread_.joinable() && !done_reading_ && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return values_;
    }

private:
    std::unique_ptr<Mailbox> mailbox_;
    std::vector<std::int64_t> values_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_reading_{false};
    std::thread thread_;
};

TEST_F(FetchelRun, ASlowWindowGetsEveryPercentageOfALargeDownloadRightPast21MB) {
    const std::int64_t size = 64 * 1024 * 1024;
    // One message a millisecond: far slower than a loopback download posts them, so the queue fills.
    PacedReceiver window(std::chrono::milliseconds(1));
    ASSERT_TRUE(window.open());
    const Outcome run = RunFetchel({server_.Url("/bytes/" + std::to_string(size)), (dir_ / "out").string(),
                                    window.handle(), "0", std::to_string(size), "0"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(dir_ / "out")), size);
    // All 655 percentages of the 65,536 reads, exact past 21 MB where 32-bit arithmetic spoils them.
    Values expected;
    for (std::int64_t reads = 100; reads <= size / 1024; reads += 100)
        expected.push_back(std::max<std::int64_t>(1, reads * 102400 / size));
    expected.push_back(100);
    expected.push_back(-1);
    EXPECT_EQ(window.Finish(), expected);
}

TEST_F(FetchelRun, AWindowThatStopsReadingDoesNotHoldTheDownloadForLong) {
    const std::int64_t size = 64 * 1024 * 1024;
    PacedReceiver window(std::chrono::milliseconds(1), 5);
    ASSERT_TRUE(window.open());
    const Outcome run = RunFetchel({server_.Url("/bytes/" + std::to_string(size)), (dir_ / "out").string(),
                                    window.handle(), "0", std::to_string(size), "0"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(dir_ / "out")), size);
    // About a second of waits for room over all the percentages, then ten seconds for the last two.
    EXPECT_LT(run.duration, std::chrono::seconds(14));
    EXPECT_EQ(window.Finish().size(), 5u);
}

TEST_F(FetchelRun, LocalCopyCountsFourKilobyteReads) {
    const std::string bytes = PatternBytes(1'000'000);
    WriteBytes(dir_ / "source", bytes);
    Outcome run = Fetch((dir_ / "source").string(), dir_ / "out", 1'000'000);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.values(), (Values{40, 81, 100, -1}));
    EXPECT_EQ(ReadBytes(dir_ / "out"), bytes);

    // 99 full reads and the empty read that ends the loop make the hundredth counted read.
    WriteBytes(dir_ / "source99", bytes.substr(0, 99 * 4096));
    run = Fetch((dir_ / "source99").string(), dir_ / "out99", 99 * 4096);
    EXPECT_EQ(run.values(), (Values{101, 100, -1}));
    WriteBytes(dir_ / "source98", bytes.substr(0, 98 * 4096));
    run = Fetch((dir_ / "source98").string(), dir_ / "out98", 98 * 4096);
    EXPECT_EQ(run.values(), (Values{100, -1}));

    const std::int64_t large = 64 * 1024 * 1024;
    {
        std::string big(static_cast<std::size_t>(large), '\0');
        for (std::size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>(i / 4093);
        WriteBytes(dir_ / "big", big);
    }
    run = Fetch((dir_ / "big").string(), dir_ / "big-out", large);
    EXPECT_EQ(run.exit_status, 0);
    ExpectPercentagesOf(run.values(), 4096, large / 4096 + 1, large);
    EXPECT_EQ(ReadBytes(dir_ / "big-out"), ReadBytes(dir_ / "big"));
}

TEST_F(FetchelRun, PipeSourceIsCopiedThroughMemoryAndCountedLikeAFile) {
    // A named pipe cannot be copied inside the kernel, and its reads come back short whenever the
    // writer pauses; the counting must still be that of 4096-byte reads.
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string bytes = PatternBytes(1'000'000);
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return;
        for (std::size_t done = 0; done < bytes.size();) {
            const std::size_t piece = std::min<std::size_t>(bytes.size() - done, 1000 + done % 7919);
            const ssize_t written = ::write(fd, bytes.data() + done, piece);
            if (written <= 0) break;
            done += static_cast<std::size_t>(written);
            if (done % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::close(fd);
    });
    const Outcome run = Fetch(fifo.string(), dir_ / "out", 1'000'000);
    writer.join();
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.values(), (Values{40, 81, 100, -1}));
    EXPECT_EQ(ReadBytes(dir_ / "out"), bytes);
}

// A full disk is a failed transfer: /dev/full takes every byte into the program's buffer and
// refuses them when they are written out, at the latest when the file is closed.
TEST_F(FetchelRun, AFullOutputDeviceFailsTheTransferAndPrintsNothing) {
    ASSERT_TRUE(fs::exists("/dev/full"));
    WriteBytes(dir_ / "source", PatternBytes(600000));
    for (const std::string& source :
         {server_.Url("/bytes/100"), server_.Url("/bytes/600000"), (dir_ / "source").string()}) {
        SCOPED_TRACE(source);
        const Outcome run = Fetch(source, "/dev/full", 600000);
        EXPECT_EQ(run.exit_status, 0);
        const Values values = run.values();
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values.back(), -2);
        EXPECT_EQ(std::count(values.begin(), values.end(), -1), 0);
    }
}

TEST_F(FetchelRun, TheDebugLogNamesTheWriteFailureOnStandardErrorOnly) {
    const std::vector<std::string> arguments = {
        server_.Url("/bytes/100"), "/dev/full", Handle(*mailbox_), "0", "100", "0"};
    Outcome run = RunFetchel(arguments, &mailbox_, {}, {"env", "VELMOR_DEBUG_LOG=1"});
    EXPECT_EQ(run.values(), (Values{100, -2}));
    EXPECT_EQ(run.console, "fetchel: transfer: cannot write the output: No space left on device\n");
    // Sent to the system log, the trail stays off the console.
    run = RunFetchel(arguments, &mailbox_, {}, {"env", "VELMOR_DEBUG_LOG=syslog"});
    EXPECT_EQ(run.values(), (Values{100, -2}));
    EXPECT_EQ(run.console, "");
}

TEST_F(FetchelRun, LocalSourceThatCannotBeOpenedOrReadFails) {
    Outcome run = Fetch((dir_ / "absent").string(), dir_ / "out", 1000);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.values(), (Values{-2}));
    EXPECT_EQ(fs::file_size(dir_ / "out"), 0u);

    // A folder opens but cannot be read; reading /proc/self/mem at 0 fails with an I/O error.
    for (const std::string& source : {dir_.path().string(), std::string("/proc/self/mem")}) {
        run = Fetch(source, dir_ / "out2", 1000);
        EXPECT_EQ(run.exit_status, 0) << source;
        EXPECT_EQ(run.values(), (Values{-2})) << source;
    }
}

}  // namespace
}  // namespace velmor::test
