#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "velmor/test/netns_files.h"

namespace velmor::test {

// Three network namespaces made by the test, for a monitored host that meets SYNs whose handshake
// never completes, from sources the test chooses, among them its own gateway and DNS server:
//
//   monitored (10.78.0.1, fd00:78::1)
//     | default route via 10.78.0.254, and for IPv6 via the link-local fe80::fe
//     | resolv.conf (through `ip netns exec`): nameserver 10.78.0.53
//   gateway (10.78.0.254 and 10.78.0.53 on that link, fe80::fe and fd00:78::fe), forwards
//     | 10.79.0.0/16 and fd00:79::/64 to
//   client: every address of 10.79.0.0/16 and fd00:79::/64 is its own (AnyIP: local routes on lo)
//
// A forged SYN is a real connect() from a socket bound to the source in the namespace that holds
// it (the client, or the gateway for its own addresses), whose SYN-ACKs that namespace's own nft
// rule drops by address and port: the SYNs arrive at the monitored host and sit there as request
// sockets (SYN_RECV) until they time out; no packet leaves for any other host. A handshake from
// another port of the same address completes as usual (the control). Nothing runs in the machine's
// own namespace; the destructor removes all three namespaces and every socket in them.
class SynTestBed final {
public:
    static constexpr const char* kMonitoredAddress = "10.78.0.1";
    static constexpr const char* kMonitoredAddress6 = "fd00:78::1";
    static constexpr const char* kGatewayAddress = "10.78.0.254";
    static constexpr const char* kGatewayAddress6 = "fd00:78::fe";
    static constexpr const char* kGatewayLinkLocal6 = "fe80::fe";
    static constexpr const char* kResolverAddress = "10.78.0.53";

    SynTestBed();
    ~SynTestBed();
    SynTestBed(const SynTestBed&) = delete;
    SynTestBed& operator=(const SynTestBed&) = delete;

    // False when the namespaces could not be made; the constructor has then failed the test.
    bool ok() const { return ok_; }
    const std::string& monitored() const { return monitored_; }
    const std::string& gateway() const { return gateway_; }
    const std::string& client() const { return client_; }
    // The monitored namespace's resolver file, as `ip netns exec` lays it over /etc/resolv.conf.
    std::string ResolverFile() const;

    // Address `index` (0..65023) of the client's IPv4 range, 10.79.0.1 on; of its IPv6 range,
    // fd00:79::1 on.
    static std::string ClientAddress(int index);
    static std::string ClientAddress6(int index);

    // Sends SYNs from each of `sources` (client addresses, or the gateway's kGatewayAddress,
    // kResolverAddress, kGatewayAddress6) to the monitored host's `port`, in the source's family,
    // and never completes those handshakes. The connecting sockets are the bed's until the end.
    // False (with the reason as a test failure) when one could not be sent.
    bool ForgeSyns(const std::vector<std::string>& sources, int port);
    // A completed handshake from `source` to the monitored host's `port`: the connected descriptor,
    // which the caller owns, or -1.
    int Handshake(const std::string& source, int port);

    // One ping from the monitored namespace to `address` answered within a second.
    bool Ping(const std::string& address) const;
    // How many sockets of the monitored namespace on local `port` are in `state` as `ss` names it
    // ("syn-recv", "established").
    int CountOnPort(const std::string& state, int port) const;

private:
    bool ok_ = false;
    std::string monitored_, gateway_, client_;
    std::unique_ptr<NamespaceEtcFiles> etc_;
    // Descriptors of the forged connections, closed at the end.
    std::vector<int> forged_;
};

}  // namespace velmor::test
