#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <string>

#include "velmor/platform/socket_counters.h"

namespace velmor::platform {
namespace {

// The next whitespace-separated token of `text` from `position`, or "" at the end.
std::string_view NextToken(std::string_view text, std::size_t& position) {
    while (position < text.size() && (text[position] == ' ' || text[position] == '\t')) ++position;
    const std::size_t start = position;
    while (position < text.size() && text[position] != ' ' && text[position] != '\t') ++position;
    return text.substr(start, position - start);
}

bool ToNumber(std::string_view token, std::uint64_t& value) {
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    return error == std::errc() && end == token.data() + token.size() && !token.empty();
}

// The rest of the first line that starts with `prefix`, searching from `from`; `next` is where the
// line after it starts.
bool FindLine(std::string_view text, std::string_view prefix, std::size_t from, std::string_view& line,
              std::size_t& next) {
    for (std::size_t start = from; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view candidate = text.substr(start, end - start);
        if (candidate.starts_with(prefix)) {
            line = candidate.substr(prefix.size());
            next = end + 1;
            return true;
        }
        start = end + 1;
    }
    return false;
}

// "name value name value ..." after a line's prefix, as in "TCP: inuse 5 orphan 0 tw 2".
bool PairValue(std::string_view line, std::string_view name, std::uint64_t& value) {
    std::size_t position = 0;
    for (std::string_view token = NextToken(line, position); !token.empty();
         token = NextToken(line, position)) {
        const std::string_view number = NextToken(line, position);
        if (token == name) return ToNumber(number, value);
    }
    return false;
}

// A file of /proc kept open and read again from its start: the kernel regenerates the text on
// every read at offset 0, and keeping the descriptor saves the path walk of an open.
class ProcFile final {
public:
    explicit ProcFile(const char* name) {
        // /proc/net follows the namespace of the process's main thread; thread-self follows the thread
        // that opens it, which is what a caller inside a namespace expects.
        std::string path = std::string("/proc/thread-self/net/") + name;
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            path = std::string("/proc/net/") + name;
            fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        }
    }
    ~ProcFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    ProcFile(const ProcFile&) = delete;
    ProcFile& operator=(const ProcFile&) = delete;

    // The whole text into `buffer`; false when it cannot be read.
    template <std::size_t N>
    bool Read(std::array<char, N>& buffer, std::string_view& text) const {
        if (fd_ < 0) return false;
        std::size_t length = 0;
        while (length < buffer.size()) {
            const ssize_t got =
                ::pread(fd_, buffer.data() + length, buffer.size() - length, static_cast<off_t>(length));
            if (got < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (got == 0) break;
            length += static_cast<std::size_t>(got);
        }
        text = std::string_view(buffer.data(), length);
        return length > 0;
    }

private:
    int fd_ = -1;
};

class LinuxSocketCounters final : public SocketCounterSource {
public:
    explicit LinuxSocketCounters(std::chrono::milliseconds opens_refresh) : opens_refresh_(opens_refresh) {}

    bool Read(SocketCounters& counters) override {
        std::string_view text;
        if (!sockstat_.Read(buffer_, text) || !ParseSockstat(text, counters) ||
            !sockstat6_.Read(buffer_, text) || !ParseSockstat6(text, counters)) {
            return false;
        }
        // snmp costs several times the two others together (the kernel formats every protocol's
        // counters), so it is read again only after opens_refresh_; in between its last values stand.
        const auto now = std::chrono::steady_clock::now();
        if (!have_opens_ || now - opens_read_ >= opens_refresh_) {
            if (!snmp_.Read(buffer_, text) || !ParseSnmp(text, opens_)) {
                have_opens_ = false;
                return false;
            }
            have_opens_ = true;
            opens_read_ = now;
        }
        counters.active_opens = opens_.active_opens;
        counters.passive_opens = opens_.passive_opens;
        counters.attempt_fails = opens_.attempt_fails;
        counters.estab_resets = opens_.estab_resets;
        return true;
    }

private:
    std::chrono::milliseconds opens_refresh_;
    SocketCounters opens_;
    bool have_opens_ = false;
    std::chrono::steady_clock::time_point opens_read_{};
    ProcFile sockstat_{"sockstat"};
    ProcFile sockstat6_{"sockstat6"};
    ProcFile snmp_{"snmp"};
    std::array<char, 8192> buffer_{};
};

}  // namespace

bool ParseSockstat(std::string_view text, SocketCounters& counters) {
    std::string_view tcp;
    std::string_view udp;
    std::size_t next = 0;
    return FindLine(text, "TCP:", 0, tcp, next) && PairValue(tcp, "inuse", counters.tcp_in_use) &&
           PairValue(tcp, "tw", counters.tcp_time_wait) && FindLine(text, "UDP:", 0, udp, next) &&
           PairValue(udp, "inuse", counters.udp_in_use);
}

bool ParseSockstat6(std::string_view text, SocketCounters& counters) {
    std::string_view tcp;
    std::string_view udp;
    std::size_t next = 0;
    return FindLine(text, "TCP6:", 0, tcp, next) && PairValue(tcp, "inuse", counters.tcp6_in_use) &&
           FindLine(text, "UDP6:", 0, udp, next) && PairValue(udp, "inuse", counters.udp6_in_use);
}

bool ParseSnmp(std::string_view text, SocketCounters& counters) {
    // "Tcp:" comes twice: a line of names, then a line of values in the same order.
    std::string_view names;
    std::string_view values;
    std::size_t next = 0;
    if (!FindLine(text, "Tcp:", 0, names, next) || !FindLine(text, "Tcp:", next, values, next)) return false;
    struct Wanted {
        std::string_view name;
        std::uint64_t* field;
        bool found;
    };
    std::array<Wanted, 4> wanted{{{"ActiveOpens", &counters.active_opens, false},
                                  {"PassiveOpens", &counters.passive_opens, false},
                                  {"AttemptFails", &counters.attempt_fails, false},
                                  {"EstabResets", &counters.estab_resets, false}}};
    std::size_t name_position = 0;
    std::size_t value_position = 0;
    for (std::string_view name = NextToken(names, name_position); !name.empty();
         name = NextToken(names, name_position)) {
        const std::string_view value = NextToken(values, value_position);
        for (Wanted& item : wanted) {
            if (name == item.name) item.found = ToNumber(value, *item.field);
        }
    }
    for (const Wanted& item : wanted) {
        if (!item.found) return false;
    }
    return true;
}

std::unique_ptr<SocketCounterSource> MakeSystemSocketCounters(std::chrono::milliseconds opens_refresh) {
    return std::make_unique<LinuxSocketCounters>(opens_refresh);
}

}  // namespace velmor::platform
