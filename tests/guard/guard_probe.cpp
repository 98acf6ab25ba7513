// A guard client for the tests: runs its commands over one connection to the guard, so a test can
// act as another user (setpriv) or keep a session open.
//   guard_probe SOCKET COMMAND...   commands: status, add ADDR, remove ADDR, clear, internet on|off,
//                                   exempt RANGE, strike on|off, bait (prints "bait PORT", keeps the
//                                   listener open), hold (runs the commands of standard input, one
//                                   per line, until it ends)
// Exit status: 0 all done, 3 no guard (or refused), 4 a command failed, 2 usage.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "velmor/guard/guard_link.h"

namespace {

int LocalPort(int fd) {
    sockaddr_in6 where{};
    socklen_t size = sizeof where;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size) != 0) return -1;
    return ntohs(where.sin6_port);
}

bool Run(velmor::guard::GuardLink& link, std::vector<std::string>& words, std::size_t& i) {
    const std::string command = words[i++];
    auto next = [&]() { return i < words.size() ? words[i++] : std::string(); };
    if (command == "status") {
        const auto s = link.Status();
        if (!s) return false;
        std::cout << "status packet_filter=" << s->packet_filter << " teardown=" << s->teardown
                  << " bait=" << s->bait << " internet=" << s->block_internet << " v4=" << s->blocked_v4
                  << " v6=" << s->blocked_v6 << " first_strike=" << s->first_strike
                  << " armed=" << s->first_strike_armed << " struck=" << s->struck << std::endl;
        return true;
    }
    if (command == "add" || command == "remove") {
        const std::vector<std::string> one = {next()};
        return command == "add" ? link.UpdateBlocked(false, one, {}) : link.UpdateBlocked(false, {}, one);
    }
    if (command == "clear") return link.UpdateBlocked(true, {}, {});
    if (command == "internet") return link.SetBlockInternet(next() == "on");
    if (command == "exempt") {
        const std::vector<std::string> one = {next()};
        return link.UpdateExempt(false, one, {});
    }
    if (command == "strike") return link.SetFirstStrike(next() == "on");
    if (command == "bait") {
        // Held open until the probe ends: the handshakes on it complete in the kernel's queue.
        const int fd = link.TakeBaitSocket();
        if (fd < 0) return false;
        std::cout << "bait " << LocalPort(fd) << std::endl;
        return true;
    }
    if (command == "owners") {
        // owners COOKIE INODE: one line "owner PID NAME" for the socket when the guard names it.
        velmor::guard::SocketRef socket;
        socket.cookie = std::stoull(next());
        socket.inode = std::stoull(next());
        std::vector<velmor::guard::OwnerRecord> owners;
        if (!link.Owners(std::span(&socket, 1), owners)) return false;
        for (const auto& owner : owners) std::cout << "owner " << owner.pid << ' ' << owner.name << std::endl;
        return true;
    }
    std::cerr << "guard_probe: unknown command " << command << '\n';
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    auto link = velmor::guard::MakeGuardLink(argv[1]);
    if (!link->Connect()) {
        std::cout << "refused" << std::endl;
        return 3;
    }
    std::vector<std::string> words(argv + 2, argv + argc);
    for (std::size_t i = 0; i < words.size();) {
        if (words[i] == "hold") {
            ++i;
            std::string line;
            while (std::getline(std::cin, line)) {
                std::istringstream split(line);
                std::vector<std::string> parts;
                for (std::string w; split >> w;) parts.push_back(w);
                if (parts.empty()) continue;
                std::size_t j = 0;
                std::cout << (Run(*link, parts, j) ? "ok" : "failed") << std::endl;
            }
            continue;
        }
        if (!Run(*link, words, i)) return 4;
    }
    return 0;
}
