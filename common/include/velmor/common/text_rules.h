#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmor {

// Removes leading and trailing blanks (the space character only, like the classic Trim).
std::string_view TrimSpaces(std::string_view text);

// ASCII lower-casing; bytes of other characters are kept as they are.
std::string LowerAscii(std::string_view text);

// The leading whole number of a text, the way the classic Val() reads a count cell: blanks are
// skipped, an optional sign, then decimal digits up to the first other character; 0 when there are
// no digits. A value too large for 64 bits saturates at the largest (or, negated, the smallest
// but one) value instead of overflowing.
std::int64_t LeadingNumber(std::string_view text);

// True when `text` is one plain file-name component that is safe to join to a folder: not empty,
// no '/' or '\\', not "." or "..", no control characters, at most `max_bytes` bytes.
bool IsPlainFileName(std::string_view text, std::size_t max_bytes = 250);

}  // namespace velmor
