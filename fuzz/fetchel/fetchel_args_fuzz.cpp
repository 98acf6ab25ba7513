// Fetchel's command line from arbitrary bytes: items are separated by zero bytes. Each number must
// match a plain reference reading, the item count must decide acceptance, and the read counting
// must not depend on how the stream is cut.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/fetchel/fetchel_core.h"

namespace {

// Blanks, a sign, then digits; anything past 32 bits saturates.
std::int32_t ReferenceNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long double value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value < 1e12L) value = value * 10 + (text[i] - '0');
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> items;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= input.size(); ++i) {
        if (i == input.size() || input[i] == '\0') {
            items.push_back(input.substr(start, i - start));
            start = i + 1;
        }
    }
    if (input.empty()) items.clear();

    for (const auto item : items) Check(velmor::fetchel::ParseNumber(item) == ReferenceNumber(item));
    const auto settings = velmor::fetchel::ParseArguments(items);
    Check(settings.has_value() == (items.size() >= 2 && items.size() <= 6));
    if (settings) {
        Check(settings->source == items[0] && settings->output == items[1]);
        if (items.size() > 4) Check(settings->expected_size == ReferenceNumber(items[4]));
        (void)velmor::fetchel::IsInternetSource(settings->source);
    }

    // The same bytes as piece sizes: counting by pieces equals counting by fixed reads.
    const std::int32_t expected = items.size() > 1 ? velmor::fetchel::ParseNumber(items[1]) : 1000;
    velmor::fetchel::ReadCounter pieces(velmor::fetchel::kInternetBlock, expected);
    std::vector<std::int32_t> by_pieces;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i + 1 < size && i < 64; i += 2) {
        const std::uint64_t piece = (std::uint64_t{data[i]} << 8 | data[i + 1]) * 7;
        pieces.AddBytes(piece, [&](std::int32_t p) {
            Check(p >= 1);
            by_pieces.push_back(p);
        });
        total += piece;
    }
    velmor::fetchel::ReadCounter fixed(velmor::fetchel::kInternetBlock, expected);
    std::vector<std::int32_t> by_reads;
    for (std::uint64_t done = 0; done < total; done += 1024) {
        fixed.AddBytes(std::min<std::uint64_t>(1024, total - done),
                       [&](std::int32_t p) { by_reads.push_back(p); });
    }
    Check(by_pieces == by_reads);
    return 0;
}
