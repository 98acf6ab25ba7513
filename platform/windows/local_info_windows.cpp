#include <winsock2.h>
#include <ws2tcpip.h>
// Separate block: iphlpapi.h needs the Winsock headers first.
#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "velmor/platform/local_info.h"
#include "velmor/platform/system_text.h"

namespace velmor::platform {
namespace {

// GetNetworkParams: the host name and the DNS domain as the system's network settings name them.
struct NetworkParams {
    std::string host_name;
    std::string domain;
};

NetworkParams ReadNetworkParams() {
    std::vector<unsigned char> buffer(sizeof(FIXED_INFO));
    ULONG size = static_cast<ULONG>(buffer.size());
    DWORD result = ::GetNetworkParams(reinterpret_cast<FIXED_INFO*>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.resize(size);
        result = ::GetNetworkParams(reinterpret_cast<FIXED_INFO*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) return {};
    const auto* info = reinterpret_cast<const FIXED_INFO*>(buffer.data());
    // Both in the ANSI code page.
    return NetworkParams{
        FromSystemText(std::string(info->HostName, ::strnlen(info->HostName, sizeof info->HostName))),
        FromSystemText(std::string(info->DomainName, ::strnlen(info->DomainName, sizeof info->DomainName)))};
}

struct Addresses {
    std::string ipv4;
    std::string ipv6;
};

std::string TextOf(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* bytes =
        address->sa_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    if (::inet_ntop(address->sa_family, bytes, text, sizeof text) == nullptr) return {};
    return text;
}

// The first IPv4 address of an adapter that is up, loopback last; and a global IPv6 address, a
// routed one (2000::/3) before any other (unique local fd00::/8), never link-local or loopback.
Addresses ReadAddresses() {
    std::vector<unsigned char> buffer(16 * 1024);
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = static_cast<ULONG>(buffer.size());
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        result = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                        reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
        if (result == ERROR_BUFFER_OVERFLOW) buffer.resize(size);
    }
    if (result != NO_ERROR) return {};
    Addresses found;
    std::string loopback;
    std::string other6;
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) continue;
        const bool is_loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
            const sockaddr* address = unicast->Address.lpSockaddr;
            if (address == nullptr) continue;
            if (address->sa_family == AF_INET) {
                const std::string text = TextOf(address);
                const bool loopback_address = text.rfind("127.", 0) == 0;
                if (is_loopback || loopback_address) {
                    if (loopback.empty()) loopback = text;
                } else if (found.ipv4.empty()) {
                    found.ipv4 = text;
                }
            } else if (address->sa_family == AF_INET6 && !is_loopback) {
                const auto& bytes = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
                const bool link_local = IN6_IS_ADDR_LINKLOCAL(&bytes);
                if (link_local || IN6_IS_ADDR_LOOPBACK(&bytes) || IN6_IS_ADDR_V4MAPPED(&bytes) ||
                    IN6_IS_ADDR_UNSPECIFIED(&bytes) || IN6_IS_ADDR_MULTICAST(&bytes)) {
                    continue;
                }
                if ((bytes.s6_addr[0] & 0xE0) == 0x20) {
                    if (found.ipv6.empty()) found.ipv6 = TextOf(address);
                } else if (other6.empty()) {
                    other6 = TextOf(address);
                }
            }
        }
    }
    if (found.ipv4.empty()) found.ipv4 = loopback;
    if (found.ipv6.empty()) found.ipv6 = other6;
    return found;
}

}  // namespace

// The domain that the network settings give (the primary DNS suffix); "" when there is none.
// DomainFromResolvConf is the Linux resolver's and has no counterpart here.
std::string GetLocalDomainName() {
    return ReadNetworkParams().domain;
}

LocalInfo ReadLocalInfo() {
    const NetworkParams params = ReadNetworkParams();
    const Addresses addresses = ReadAddresses();
    return LocalInfo{addresses.ipv4, params.domain, params.host_name, addresses.ipv6};
}

}  // namespace velmor::platform
