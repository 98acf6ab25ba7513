// A stand-in for the main window in the update test: it opens a mailbox, tells its handle through a
// file, and ends on WM_CLOSE, lingering a moment to count any further close message it receives.
// usage: stand_in_main_window HANDLE_FILE RECORD_FILE
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "velmor/platform/mailbox.h"

namespace {

void WriteText(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".part";
    std::ofstream(temporary, std::ios::trunc) << text;
    std::rename(temporary.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    auto mailbox = velmor::platform::OpenMailbox();
    if (!mailbox) return 1;
    WriteText(argv[1], std::to_string(mailbox->Handle()));
    using Clock = std::chrono::steady_clock;
    const auto give_up = Clock::now() + std::chrono::seconds(120);
    auto end = Clock::time_point::max();
    int closes = 0;
    while (Clock::now() < std::min(end, give_up)) {
        pollfd watch{mailbox->NativeDescriptor(), POLLIN, 0};
        ::poll(&watch, 1, 50);
        while (auto message = mailbox->Receive()) {
            if (message->message != velmor::platform::kWmClose) continue;
            WriteText(argv[2], std::to_string(++closes));
            if (closes == 1) end = Clock::now() + std::chrono::milliseconds(1500);
        }
    }
    return 0;
}
