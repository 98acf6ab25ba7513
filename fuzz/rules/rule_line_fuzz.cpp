// Arbitrary bytes as a rule file's first line, as a typed address and info, and as a count cell.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "velmor/common/text_rules.h"
#include "velmor/rules/list_sort.h"
#include "velmor/rules/rule_store.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// The count value worked out another way: the standard number parser over the blank-trimmed text.
std::int32_t ReferenceValue(std::string_view text) {
    text = text.substr(0, velmor::rules::kRowValueMaxChars);
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return 0;
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    if (text.size() > 1 && text[0] == '+' && text[1] >= '0' && text[1] <= '9') text.remove_prefix(1);
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return 0;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // A first line: the info is a piece of its end and never holds a separator when the line has one.
    const std::string info = velmor::rules::InfoOfRuleLine(bytes);
    Check(info.size() <= bytes.size());
    Check(bytes.find(info) != std::string_view::npos);
    if (bytes.find('|') != std::string_view::npos) Check(info.find('|') == std::string::npos);
    Check(info.empty() || (info.front() != ' ' || bytes.find('|') != std::string_view::npos));
    Check(info.empty() || info.back() != ' ');

    // A line made by hand from an address and an info (split at the first zero byte) gives the info
    // back, less its trailing blanks, when the info has no separator of its own.
    const auto split = bytes.find('\0');
    const std::string_view address = bytes.substr(0, split);
    const std::string_view typed_info =
        split == std::string_view::npos ? std::string_view() : bytes.substr(split + 1);
    const std::string line = velmor::rules::MakeRuleLine("-", address, typed_info);
    if (typed_info.find('|') == std::string_view::npos) {
        std::string_view expected = typed_info;
        while (!expected.empty() && expected.back() == ' ') expected.remove_suffix(1);
        Check(velmor::rules::InfoOfRuleLine(line) == expected);
    }

    // A plain file name never leaves its folder.
    if (velmor::IsPlainFileName(address)) {
        Check(address.find('/') == std::string_view::npos && address.find('\\') == std::string_view::npos);
        Check(address != "." && address != ".." && address.size() <= 250);
    }

    // A count cell.
    Check(velmor::rules::RowValueOfText(bytes) == ReferenceValue(bytes));
    return 0;
}
