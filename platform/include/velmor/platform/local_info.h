#pragma once

#include <string>
#include <string_view>

namespace velmor::platform {

// What the main window's information box shows about this machine.
struct LocalInfo {
    std::string address;        // one IPv4 address of an interface that is up, loopback last; "" if none
    std::string domain;         // the DNS domain, "" when there is none
    std::string host_name;      // the host name; "" when it cannot be read
    std::string address6 = {};  // a global IPv6 address of an interface that is up; "" if none
};

LocalInfo ReadLocalInfo();

// The DNS domain: the part of the host's canonical name after its first dot, else the "domain" or
// first "search" entry of /etc/resolv.conf, else "".
std::string GetLocalDomainName();

// The domain that a resolv.conf text names: the last "domain" line wins over "search" lines, as in
// the resolver; "" when there is neither.
std::string DomainFromResolvConf(std::string_view text);

}  // namespace velmor::platform
