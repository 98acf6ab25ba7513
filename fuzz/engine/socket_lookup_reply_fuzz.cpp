// Feeds arbitrary bytes to the parser of an exact-id sock_diag answer and checks what it hands on.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "velmor/platform/socket_lookup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmor::platform;
    // The expected sequence number is the first message's, as for a live answer.
    std::uint32_t sequence = 0;
    if (size >= 12) std::memcpy(&sequence, data + 8, sizeof sequence);
    SocketRow row;
    int error = 0;
    const auto reply = sockdiag::ParseLookupReply(std::span(reinterpret_cast<const std::byte*>(data), size),
                                                  sequence, row, error);
    switch (reply) {
        case sockdiag::LookupReply::kFound:
            if (row.id.family != 2 && row.id.family != 10) std::abort();
            if (row.row.dwState < 1 || row.row.dwState > 12 || row.row.dwLocalPort > 0xFFFF) std::abort();
            if (!row.ipv4 && (row.row.dwLocalAddr != 0 || row.row.dwRemoteAddr != 0)) std::abort();
            break;
        case sockdiag::LookupReply::kGone:
        case sockdiag::LookupReply::kError:
            if (error <= 0) std::abort();
            break;
        default:
            break;
    }
    return 0;
}
