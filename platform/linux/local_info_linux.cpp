#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "velmor/platform/local_info.h"

namespace velmor::platform {
namespace {

std::string FirstIpv4Address() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return {};
    std::string found;
    std::string loopback;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if ((entry->ifa_flags & IFF_UP) == 0) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
        if ((entry->ifa_flags & IFF_LOOPBACK) != 0) {
            if (loopback.empty()) loopback = text;
        } else {
            found = text;
            break;
        }
    }
    ::freeifaddrs(list);
    return found.empty() ? loopback : found;
}

// Link-local (fe80::/10), loopback and IPv4-mapped addresses are not the machine's address for
// others; a globally routed one (2000::/3) wins over other global-scope ones (unique local fd00::/8).
std::string GlobalIpv6Address() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return {};
    std::string routed;
    std::string other;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) continue;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
        if (IN6_IS_ADDR_LINKLOCAL(&address) || IN6_IS_ADDR_LOOPBACK(&address) ||
            IN6_IS_ADDR_V4MAPPED(&address) || IN6_IS_ADDR_UNSPECIFIED(&address) ||
            IN6_IS_ADDR_MULTICAST(&address)) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET6, &address, text, sizeof text) == nullptr) continue;
        if ((address.s6_addr[0] & 0xE0) == 0x20) {
            routed = text;
            break;
        }
        if (other.empty()) other = text;
    }
    ::freeifaddrs(list);
    return routed.empty() ? other : routed;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::string DomainOfCanonicalName(const std::string& host) {
    if (host.empty()) return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return {};
    std::string domain;
    if (result != nullptr && result->ai_canonname != nullptr) {
        const std::string canonical = result->ai_canonname;
        const auto dot = canonical.find('.');
        if (dot != std::string::npos && dot + 1 < canonical.size()) domain = canonical.substr(dot + 1);
    }
    ::freeaddrinfo(result);
    return domain;
}

}  // namespace

std::string DomainFromResolvConf(std::string_view text) {
    std::string domain;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string keyword;
        std::string first;
        if (!(words >> keyword >> first)) continue;
        if (keyword == "domain" || keyword == "search") domain = first;
    }
    return domain;
}

std::string GetLocalDomainName() {
    std::string domain = DomainOfCanonicalName(HostName());
    if (!domain.empty()) return domain;
    std::ifstream file("/etc/resolv.conf", std::ios::binary);
    if (!file) return {};
    std::ostringstream text;
    text << file.rdbuf();
    return DomainFromResolvConf(text.str());
}

LocalInfo ReadLocalInfo() {
    return LocalInfo{FirstIpv4Address(), GetLocalDomainName(), HostName(), GlobalIpv6Address()};
}

}  // namespace velmor::platform
