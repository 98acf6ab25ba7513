#include "velmor/platform/mailbox.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mailbox_notifier.h"
#include "velmor/test/child_process.h"
#include "velmor/test/event_loop.h"
#include "velmor/test/temp_dir.h"

namespace velmor::platform {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_un FileAddress(WindowHandle handle, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = MailboxSocketFile(handle).string();
    std::memcpy(address.sun_path, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    return address;
}

// Sends raw bytes to a mailbox the way a foreign program could.
bool SendRaw(WindowHandle handle, const void* bytes, std::size_t size) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    socklen_t length = 0;
    const sockaddr_un address = FileAddress(handle, length);
    const bool ok = ::sendto(fd, bytes, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address),
                             length) == static_cast<ssize_t>(size);
    ::close(fd);
    return ok;
}

// A datagram to the abstract name "velmor-hwnd-H" of the first build's mailboxes.
bool SendAbstract(WindowHandle handle) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "velmor-hwnd-" + std::to_string(handle);
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const unsigned char bytes[24] = {0x10};
    const bool ok = ::sendto(fd, bytes, sizeof bytes, MSG_DONTWAIT,
                             reinterpret_cast<const sockaddr*>(&address), length) == 24;
    ::close(fd);
    return ok;
}

std::vector<WindowMessage> ReceiveAll(Mailbox& mailbox) {
    std::vector<WindowMessage> messages;
    while (auto message = mailbox.Receive()) messages.push_back(*message);
    return messages;
}

TEST(Mailbox, HandlesAreDistinctAndNameTheirMailbox) {
    auto first = OpenMailbox();
    auto second = OpenMailbox();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->Handle(), second->Handle());
    for (const auto* box : {first.get(), second.get()}) {
        EXPECT_EQ(box->Handle() / 64, ::getpid());
        EXPECT_GE(box->Handle() % 64, 1);
        EXPECT_LT(box->Handle(), WindowHandle{1} << 31);
        EXPECT_TRUE(IsWindow(box->Handle()));
    }

    // Messages go to the mailbox they were posted to, each queue in its own order.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(PostWindowMessage(first->Handle(), {kWmUser, 1, i}));
        ASSERT_TRUE(PostWindowMessage(second->Handle(), {kWmClose, 2, -i}));
    }
    const auto a = ReceiveAll(*first);
    const auto b = ReceiveAll(*second);
    ASSERT_EQ(a.size(), 5u);
    ASSERT_EQ(b.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(a[i], (WindowMessage{kWmUser, 1, i}));
        EXPECT_EQ(b[i], (WindowMessage{kWmClose, 2, -i}));
    }
}

TEST(Mailbox, WireFormatIsTwentyFourBytesInHostOrder) {
    // A message written by hand in the documented layout is read back field by field ...
    auto mailbox = OpenMailbox();
    ASSERT_TRUE(mailbox);
    unsigned char bytes[24];
    const std::int32_t number = kWmUser + 7;
    const std::int32_t zero = 0;
    const std::int64_t w = -5'000'000'000;
    const std::int64_t l = 0x0123456789abcdef;
    std::memcpy(bytes, &number, 4);
    std::memcpy(bytes + 4, &zero, 4);
    std::memcpy(bytes + 8, &w, 8);
    std::memcpy(bytes + 16, &l, 8);
    ASSERT_TRUE(SendRaw(mailbox->Handle(), bytes, sizeof bytes));
    EXPECT_EQ(mailbox->Receive(), (WindowMessage{kWmUser + 7, w, l}));

    // ... and a posted message arrives on a plain socket in that same layout.
    const WindowHandle handle = (WindowHandle{::getpid()} * 64 + 63);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    socklen_t length = 0;
    const sockaddr_un address = FileAddress(handle, length);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), length), 0) << std::strerror(errno);
    EXPECT_TRUE(IsWindow(handle));
    ASSERT_TRUE(PostWindowMessage(handle, {kWmClose, -1, -2}));
    unsigned char received[64];
    ASSERT_EQ(::recv(fd, received, sizeof received, MSG_DONTWAIT), 24);
    std::int32_t got_number = 0, got_zero = 1;
    std::int64_t got_w = 0, got_l = 0;
    std::memcpy(&got_number, received, 4);
    std::memcpy(&got_zero, received + 4, 4);
    std::memcpy(&got_w, received + 8, 8);
    std::memcpy(&got_l, received + 16, 8);
    EXPECT_EQ(got_number, kWmClose);
    EXPECT_EQ(got_zero, 0);
    EXPECT_EQ(got_w, -1);
    EXPECT_EQ(got_l, -2);
    ::close(fd);
    EXPECT_FALSE(IsWindow(handle));
}

TEST(Mailbox, PostToGoneOrInvalidHandleFailsAtOnce) {
    auto mailbox = OpenMailbox();
    ASSERT_TRUE(mailbox);
    const WindowHandle gone = mailbox->Handle();
    mailbox.reset();

    const auto start = Clock::now();
    EXPECT_FALSE(IsWindow(gone));
    EXPECT_FALSE(PostWindowMessage(gone, {kWmClose, 0, 0}));
    for (const WindowHandle invalid :
         {WindowHandle{0}, WindowHandle{-1}, WindowHandle{1} << 31, gone + (WindowHandle{1} << 40)}) {
        EXPECT_FALSE(IsWindow(invalid)) << invalid;
        EXPECT_FALSE(PostWindowMessage(invalid, {kWmUser, 0, 0})) << invalid;
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

TEST(Mailbox, APostWaitsBrieflyForRoomAndAllTheWaitsTogetherAreBounded) {
    auto mailbox = OpenMailbox();
    ASSERT_TRUE(mailbox);
    int accepted = 0;
    while (accepted < 1000 && PostWindowMessage(mailbox->Handle(), {kWmUser, 0, accepted})) ++accepted;
    ASSERT_LT(accepted, 1000) << "the queue never filled";

    // A post to the full queue waits a few milliseconds for room, then fails.
    auto start = Clock::now();
    EXPECT_FALSE(PostWindowMessage(mailbox->Handle(), {kWmUser, 0, -1}));
    const auto one_wait = Clock::now() - start;
    EXPECT_GE(one_wait, std::chrono::milliseconds(5));
    EXPECT_LT(one_wait, std::chrono::milliseconds(100));

    // A receiver that never reads costs the poster about a second in all, then nothing.
    start = Clock::now();
    for (int i = 0; i < 300; ++i) EXPECT_FALSE(PostWindowMessage(mailbox->Handle(), {kWmUser, 0, -1}));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    start = Clock::now();
    EXPECT_FALSE(PostWindowMessage(mailbox->Handle(), {kWmUser, 0, -1}));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2));
    // The mailbox itself still exists; a full queue is not a gone window.
    EXPECT_TRUE(IsWindow(mailbox->Handle()));

    // What was accepted arrives complete and in order; afterwards posting works again.
    const auto messages = ReceiveAll(*mailbox);
    ASSERT_EQ(static_cast<int>(messages.size()), accepted);
    for (int i = 0; i < accepted; ++i) EXPECT_EQ(messages[i].lParam, i);
    EXPECT_TRUE(PostWindowMessage(mailbox->Handle(), {kWmUser, 0, 99}));
    EXPECT_EQ(mailbox->Receive()->lParam, 99);
}

TEST(Mailbox, AReceiverSlowerThanThePosterStillGetsEveryMessage) {
    auto mailbox = OpenMailbox();
    ASSERT_TRUE(mailbox);
    constexpr int kCount = 500;
    std::vector<WindowMessage> received;
    std::thread receiver([&] {
        const auto give_up = Clock::now() + std::chrono::seconds(20);
        while (received.size() < kCount && Clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (auto message = mailbox->Receive()) received.push_back(*message);
        }
    });
    int posted = 0;
    for (int i = 0; i < kCount; ++i) posted += PostWindowMessage(mailbox->Handle(), {kWmUser, 0, i}) ? 1 : 0;
    receiver.join();
    EXPECT_EQ(posted, kCount);
    ASSERT_EQ(received.size(), std::size_t{kCount});
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(received[i].lParam, i);
}

TEST(Mailbox, DatagramsOfOtherSizesAreDropped) {
    auto mailbox = OpenMailbox();
    ASSERT_TRUE(mailbox);
    unsigned char bytes[100] = {};
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, std::size_t{23}, std::size_t{25}, std::size_t{100}}) {
        ASSERT_TRUE(SendRaw(mailbox->Handle(), bytes, size)) << size;
    }
    ASSERT_TRUE(PostWindowMessage(mailbox->Handle(), {kWmUser, 3, 4}));
    ASSERT_TRUE(SendRaw(mailbox->Handle(), bytes, 48));  // two messages in one datagram is still wrong
    EXPECT_EQ(ReceiveAll(*mailbox), (std::vector<WindowMessage>{{kWmUser, 3, 4}}));
}

TEST(Mailbox, AnotherUserCanNeitherReachNorPassTheSameUserCheck) {
    ASSERT_EQ(::geteuid(), 0u) << "CANNOT RUN: needs root to run the sender under another user id";
    auto mailbox = OpenMailbox();
    ASSERT_TRUE(mailbox);
    const WindowHandle handle = mailbox->Handle();

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A socket connected while still root passes the folder; what it sends after the sender
        // turned into user "nobody" carries nobody's credentials.
        const int connected = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        socklen_t length = 0;
        const sockaddr_un address = FileAddress(handle, length);
        if (::connect(connected, reinterpret_cast<const sockaddr*>(&address), length) != 0) ::_exit(3);
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
        // As nobody, the mailbox cannot even be found ...
        if (PostWindowMessage(handle, {kWmClose, 0, 0}) || IsWindow(handle)) ::_exit(4);
        // ... and a datagram through the socket opened before is dropped unread.
        unsigned char bytes[24] = {0x10};
        ::_exit(::send(connected, bytes, sizeof bytes, 0) == 24 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(mailbox->Receive(), std::nullopt);

    ASSERT_TRUE(PostWindowMessage(handle, {kWmClose, 0, 1}));
    EXPECT_EQ(mailbox->Receive(), (WindowMessage{kWmClose, 0, 1}));
}

// Sets XDG_RUNTIME_DIR for one test and puts the old value back.
class RuntimeFolder final {
public:
    explicit RuntimeFolder(const std::filesystem::path& folder) {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) old_ = old;
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    }
    ~RuntimeFolder() {
        if (old_) {
            ::setenv("XDG_RUNTIME_DIR", old_->c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }

private:
    std::optional<std::string> old_;
};

TEST(Mailbox, IsASocketFileInTheUsersPrivateFolder) {
    test::TempDir runtime;
    RuntimeFolder use(runtime.path());
    auto mailbox = OpenMailbox();
    ASSERT_TRUE(mailbox);
    const auto file = MailboxSocketFile(mailbox->Handle());
    EXPECT_EQ(file, runtime / ("velmor/hwnd-" + std::to_string(mailbox->Handle())));
    struct stat status {};
    ASSERT_EQ(::lstat(file.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    ASSERT_EQ(::lstat((runtime / "velmor").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_EQ(status.st_uid, ::getuid());
    // Nothing answers on the old abstract name any more.
    EXPECT_FALSE(SendAbstract(mailbox->Handle()));

    // A closed mailbox takes its file along.
    const WindowHandle handle = mailbox->Handle();
    mailbox.reset();
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(IsWindow(handle));
}

TEST(Mailbox, StaleSocketFilesCountAsGone) {
    test::TempDir runtime;
    RuntimeFolder use(runtime.path());
    // Every handle of this process is taken by a file whose socket no longer exists, as after a
    // crash of an earlier process with the same id.
    std::vector<WindowHandle> stale;
    for (int n = 1; n <= 63; ++n) {
        const WindowHandle handle = WindowHandle{::getpid()} * 64 + n;
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        socklen_t length = 0;
        const sockaddr_un address = FileAddress(handle, length);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), length), 0) << std::strerror(errno);
        ::close(fd);
        stale.push_back(handle);
    }
    for (const WindowHandle handle : stale) {
        EXPECT_FALSE(IsWindow(handle));
        EXPECT_FALSE(PostWindowMessage(handle, {kWmClose, 0, 0}));
    }
    auto mailbox = OpenMailbox();
    ASSERT_TRUE(mailbox) << "a stale file must not block its handle";
    EXPECT_TRUE(IsWindow(mailbox->Handle()));
    ASSERT_TRUE(PostWindowMessage(mailbox->Handle(), {kWmUser, 5, 6}));
    EXPECT_EQ(mailbox->Receive(), (WindowMessage{kWmUser, 5, 6}));
}

TEST(Mailbox, AFloodFromAnotherUserDoesNotReachIt) {
    ASSERT_EQ(::geteuid(), 0u) << "CANNOT RUN: needs root to start the flood as another user";
    // The runtime folder itself is open to everyone here, so only the private folder inside it
    // stands between the flood and the mailbox.
    test::TempDir runtime;
    std::filesystem::permissions(runtime.path(), std::filesystem::perms(0755));
    RuntimeFolder use(runtime.path());
    auto mailbox = OpenMailbox();
    ASSERT_TRUE(mailbox);
    const WindowHandle handle = mailbox->Handle();
    const std::string file = MailboxSocketFile(handle).string();
    // User "nobody" sends 24-byte datagrams as fast as it can for two seconds, to the socket file
    // and to the abstract name the mailboxes used to have, and counts what the kernel took.
    const std::string script =
        "use Socket; socket(my $s, PF_UNIX, SOCK_DGRAM, 0) or die; my $m = chr(16) . (chr(0) x 23);"
        "my @to = (pack_sockaddr_un($ARGV[0]), pack_sockaddr_un(chr(0) . $ARGV[1])); my $n = 0;"
        "$| = 1; print \"flooding\\n\"; my $end = time + 2;"
        "while (time < $end) { for my $a (@to) { $n++ if defined send($s, $m, 0, $a); } }"
        "print \"reached $n\\n\";";
    test::ChildProcess flood({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "perl", "-e",
                              script, file, "velmor-hwnd-" + std::to_string(handle)});
    ASSERT_TRUE(flood.started());
    ASSERT_EQ(flood.ReadLine(std::chrono::seconds(10)), "flooding");
    // The user's own posts all arrive while the flood runs.
    int delivered = 0;
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(PostWindowMessage(handle, {kWmUser, 1, i})) << i;
        const auto message = mailbox->Receive();
        ASSERT_TRUE(message) << i;
        EXPECT_EQ(message->lParam, i);
        ++delivered;
    }
    EXPECT_EQ(delivered, 300);
    EXPECT_EQ(flood.ReadLine(std::chrono::seconds(10)), "reached 0");
    EXPECT_EQ(flood.Wait(std::chrono::seconds(10)), 0);
    EXPECT_EQ(mailbox->Receive(), std::nullopt);
}

// Runs the event loop until `done` holds or two seconds pass.
bool RunUntil(const std::function<bool()>& done) {
    return test::ProcessEventsUntil(done, std::chrono::seconds(2));
}

TEST(MailboxNotifier, DeliversThroughTheEventLoopInOrder) {
    MailboxNotifier notifier;
    ASSERT_TRUE(notifier.isOpen());
    std::vector<WindowMessage> received;
    QObject::connect(&notifier, &MailboxNotifier::messageReceived, [&](qint32 message, qint64 w, qint64 l) {
        received.push_back({message, w, l});
    });
    // More than one wake-up's worth would overflow the kernel queue, so post in rounds.
    std::vector<WindowMessage> sent;
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 8; ++i) {
            sent.push_back({kWmUser, round, i});
            ASSERT_TRUE(PostWindowMessage(notifier.handle(), sent.back()));
        }
        const unsigned char junk[10] = {};
        SendRaw(notifier.handle(), junk, sizeof junk);
        ASSERT_TRUE(RunUntil([&] { return received.size() == sent.size(); }));
    }
    EXPECT_EQ(received, sent);
}

TEST(MailboxNotifier, HandlerMayDeleteTheNotifier) {
    auto* notifier = new MailboxNotifier;
    ASSERT_TRUE(notifier->isOpen());
    const WindowHandle handle = notifier->handle();
    int calls = 0;
    QObject::connect(notifier, &MailboxNotifier::messageReceived, [&](qint32, qint64, qint64) {
        ++calls;
        delete notifier;  // a window that closes on WM_CLOSE
    });
    ASSERT_TRUE(PostWindowMessage(handle, {kWmClose, 0, 0}));
    ASSERT_TRUE(PostWindowMessage(handle, {kWmClose, 0, 0}));
    ASSERT_TRUE(RunUntil([&] { return calls > 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(IsWindow(handle));
}

}  // namespace
}  // namespace velmor::platform
