// The address range parser: arbitrary text must never crash it, and whatever parses is a range whose
// text parses back to the same range and which holds its own address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "velmor/platform/address_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmor::platform;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto range = ParseAddressRange(text)) {
        const int longest = range->address.v6 ? 128 : 32;
        if (range->prefix < 0 || range->prefix > longest) std::abort();
        const auto again = ParseAddressRange(FormatAddressRange(*range));
        if (!again || !(*again == *range) || !range->Contains(range->address)) std::abort();
    }
    if (const auto address = ParseIpAddress(text)) {
        const auto back = ParseIpAddress(FormatIpAddress(*address));
        if (!back || !(*back == *address)) std::abort();
        // An address is always in the range of itself alone.
        const auto own = ParseAddressRange(text);
        if (!own || !own->Contains(*address)) std::abort();
    }
    if (const auto canonical = CanonicalAddressText(text)) {
        // The table's form is a fixed point.
        if (CanonicalAddressText(*canonical) != canonical) std::abort();
    }
    return 0;
}
