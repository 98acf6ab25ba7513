#pragma once

#include <cstddef>

namespace velmor::platform {

// The system's conversions of one address between its text and its bytes in network order (16 for
// IPv6, 4 for IPv4): inet_pton and inet_ntop on both systems. The text must end in a NUL; false for
// anything the system does not read or write.
bool ParseAddressBytes(bool v6, const char* text, void* bytes);
bool FormatAddressBytes(bool v6, const void* bytes, char* out, std::size_t size);

}  // namespace velmor::platform
