#include <sys/socket.h>

#include <charconv>
#include <fstream>
#include <string>

#include "velmor/platform/listen_backlog.h"

namespace velmor::platform {

int MaxListenBacklog() {
    // /proc/sys/net shows the namespace of the thread that opens it.
    std::ifstream in("/proc/sys/net/core/somaxconn");
    std::string text;
    int value = 0;
    if (in >> text) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size()) value = 0;
    }
    return value > SOMAXCONN ? value : SOMAXCONN;
}

}  // namespace velmor::platform
