// The guard's request parser, its reply and event frame parsers and the address text parser: arbitrary bytes
// from a client (or a guard) must never crash them, and whatever parses must encode back to the same frame.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "velmor/guard/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmor::guard;
    const std::span<const std::uint8_t> bytes(data, size);
    Request request;
    std::size_t consumed = 0;
    if (ParseRequest(bytes, request, consumed) == ParseStatus::Complete) {
        if (consumed > size) std::abort();
        const auto again = EncodeRequest(request);
        if (!std::equal(again.begin(), again.end(), bytes.begin(),
                        bytes.begin() + static_cast<std::ptrdiff_t>(consumed)) ||
            again.size() != consumed) {
            std::abort();
        }
    }
    // Replies of every version, refusals included: what parses encodes back to the same frame.
    Reply reply;
    if (ParseReply(bytes, reply, consumed) == ParseStatus::Complete) {
        const auto again = EncodeReply(reply);
        if (consumed > size || again.size() != consumed ||
            !std::equal(again.begin(), again.end(), bytes.begin())) {
            std::abort();
        }
    }
    (void)FrameLength(bytes);
    // The guard's event frames: what parses is canonical and encodes back to the same bytes.
    EventBatch batch;
    if (ParseEvents(bytes, batch, consumed) == ParseStatus::Complete) {
        const auto again = EncodeEvents(batch);
        if (again.size() != consumed || consumed > size ||
            !std::equal(again.begin(), again.end(), bytes.begin())) {
            std::abort();
        }
    }

    Address address;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (ParseAddress(text, address)) {
        Address back;
        // The formatted text parses to the same address.
        if (!ParseAddress(FormatAddress(address), back) || !(back == address)) std::abort();
    }
    return 0;
}
