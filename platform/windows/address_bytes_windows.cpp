#include <winsock2.h>
#include <ws2tcpip.h>

#include "../portable/address_bytes.h"

namespace velmor::platform {

// inet_ntop and inet_pton convert only; they need no Windows Sockets session.

bool ParseAddressBytes(bool v6, const char* text, void* bytes) {
    return ::inet_pton(v6 ? AF_INET6 : AF_INET, text, bytes) == 1;
}

bool FormatAddressBytes(bool v6, const void* bytes, char* out, std::size_t size) {
    return ::inet_ntop(v6 ? AF_INET6 : AF_INET, bytes, out, size) != nullptr;
}

}  // namespace velmor::platform
