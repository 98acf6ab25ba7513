#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "velmor/platform/end_signals.h"

namespace velmor::platform {
namespace {

int pipe_ends[2] = {-1, -1};

// Only async-signal-safe calls: one byte per signal (a full pipe already holds a pending end).
void OnEndSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(pipe_ends[1], &byte, 1);
    errno = saved;
}

int SetUp() {
    if (::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    struct sigaction action {};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
    return pipe_ends[0];
}

}  // namespace

int EndSignalDescriptor() {
    static const int descriptor = SetUp();
    return descriptor;
}

int TakeEndSignal() {
    if (pipe_ends[0] < 0) return 0;
    int last = 0;
    unsigned char bytes[64];
    for (;;) {
        const ssize_t n = ::read(pipe_ends[0], bytes, sizeof bytes);
        if (n > 0) {
            last = bytes[n - 1];
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return last;
    }
}

}  // namespace velmor::platform
