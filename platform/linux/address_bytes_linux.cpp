#include <arpa/inet.h>
#include <netinet/in.h>

#include "../portable/address_bytes.h"

namespace velmor::platform {

bool ParseAddressBytes(bool v6, const char* text, void* bytes) {
    return ::inet_pton(v6 ? AF_INET6 : AF_INET, text, bytes) == 1;
}

bool FormatAddressBytes(bool v6, const void* bytes, char* out, std::size_t size) {
    return ::inet_ntop(v6 ? AF_INET6 : AF_INET, bytes, out, static_cast<socklen_t>(size)) != nullptr;
}

}  // namespace velmor::platform
