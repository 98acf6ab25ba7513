#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmor::fetchel {

// Logical read sizes the counting and the percentages are defined on.
inline constexpr std::int64_t kInternetBlock = 1024;
inline constexpr std::int64_t kLocalBlock = 4096;
// A percentage is posted after every this many counted reads.
inline constexpr std::int64_t kReadsPerNotification = 100;

// What one run does, read from its command line.
struct Settings {
    std::string source;
    std::string output;
    std::int64_t window = 0;          // 0: nobody to notify
    std::int32_t message_offset = 0;  // the notification is WM_USER + this
    std::int32_t expected_size = 0;   // 0: no size given, so no percentages and no final 100
    std::int32_t wparam = 0;
};

// A signed decimal number from the leading characters of `text` (blanks, an optional sign, digits);
// 0 when it does not start with a number. Values beyond 32 bits saturate.
std::int32_t ParseNumber(std::string_view text);

// The arguments after the program name: 2 to 6 items (source, output, window, message offset,
// expected size, wParam), later ones optional. nullopt for any other count.
[[nodiscard]] std::optional<Settings> ParseArguments(std::span<const std::string_view> arguments);

// Sources whose first four characters are "http" in any case go through the internet reader
// (so https too); everything else is a local file path.
bool IsInternetSource(std::string_view source);

// Whether a redirect from the address `from` to the address `to` may be followed: only to http or
// https, and never down from https to http (a redirect may keep or raise the scheme).
bool IsRedirectAllowed(std::string_view from, std::string_view to);

// The progress after `reads` counted reads of `block` bytes against `expected_size` bytes, in percent:
// computed in 64 bits, raised to 1 when below 1 and kept within 32 bits.
std::int32_t ProgressPercent(std::int64_t reads, std::int64_t block, std::int32_t expected_size);

// Re-blocks a stream of chunks of any size into the fixed-size reads the counting is defined on,
// without holding the data: only the byte total is kept. Nothing is counted when no expected size
// was given.
class ReadCounter final {
public:
    ReadCounter(std::int64_t block, std::int32_t expected_size);

    // `size` more bytes arrived (already written). Calls `post(percent)` for each counted read that
    // completes a hundred.
    template <typename Post>
    void AddBytes(std::uint64_t size, Post&& post) {
        const std::uint64_t before = bytes_ / block_;
        bytes_ = (size > kByteLimit - bytes_) ? kByteLimit : bytes_ + size;
        CountReads(bytes_ / block_ - before, post);
    }

    // Internet end: the read that came back short (or empty) stops the loop before it is counted.
    // Nothing more to count; here for symmetry with FinishLocal.
    void FinishInternet() {}

    // Local end: the short read of the last partial block (if any) and the empty read that ends the
    // loop are both counted.
    template <typename Post>
    void FinishLocal(Post&& post) {
        CountReads((bytes_ % block_ != 0 ? 1 : 0) + 1, post);
    }

    std::uint64_t bytes() const { return bytes_; }
    std::int64_t counted_reads() const { return reads_; }

private:
    static constexpr std::uint64_t kByteLimit = std::uint64_t{1} << 62;

    template <typename Post>
    void CountReads(std::uint64_t count, Post& post) {
        if (expected_size_ == 0 || count == 0) return;
        const auto start = reads_;
        reads_ += static_cast<std::int64_t>(count);
        // Every multiple of a hundred passed on the way gets its notification, in order.
        for (std::int64_t n = (start / kReadsPerNotification + 1) * kReadsPerNotification; n <= reads_;
             n += kReadsPerNotification) {
            post(ProgressPercent(n, static_cast<std::int64_t>(block_), expected_size_));
        }
    }

    std::uint64_t block_;
    std::int32_t expected_size_;
    std::uint64_t bytes_ = 0;
    std::int64_t reads_ = 0;
};

}  // namespace velmor::fetchel
