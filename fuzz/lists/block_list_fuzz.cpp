// Arbitrary bytes as a block list; what it holds merged as shared decisions.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "velmor/lists/block_list.h"
#include "velmor/lists/shared_decisions.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmor;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const lists::ParsedList list = lists::ParseBlockList(text);

    // Bad lines are real line numbers, in order, and no line is both kept and bad.
    int lines = 0;
    lists::ForEachLine(text, [&](int number, std::string_view) { lines = number; });
    for (std::size_t i = 0; i < list.bad_lines.size(); ++i) {
        Check(list.bad_lines[i] >= 1 && list.bad_lines[i] <= lines);
        Check(i == 0 || list.bad_lines[i - 1] < list.bad_lines[i]);
    }
    Check(list.ranges.size() + list.bad_lines.size() <= static_cast<std::size_t>(lines));

    // The ranges written back one per line read as the same ranges.
    std::string written;
    for (const auto& range : list.ranges) written += platform::FormatAddressRange(range) + "\n";
    const lists::ParsedList again = lists::ParseBlockList(written);
    Check(again.bad_lines.empty() && again.ranges == list.ranges);

    // Merged, the spans are ordered, disjoint, within one family each, and every range that was
    // taken blocks its first address.
    const rules::Exemptions exemptions;
    lists::SharedDecisions shared(exemptions, nullptr);
    std::vector<lists::SharedDecision> decisions;
    for (const auto& range : list.ranges) decisions.push_back({range, "list:fuzz", "fuzz", "", std::nullopt});
    shared.ReplaceSource("list:fuzz", decisions);
    const auto change = shared.TakeGuardChange(std::chrono::system_clock::now());
    for (std::size_t i = 0; i < change.add.size(); ++i) {
        const auto& span = change.add[i].span;
        Check(span.first.family == span.last.family && !(span.last < span.first));
        Check(i == 0 || change.add[i - 1].span.last < span.first);
    }
    std::set<platform::AddressRange> refused;
    for (const auto& entry : shared.RefusedDecisions()) refused.insert(entry.decision.range);
    for (const auto& range : list.ranges)
        Check(shared.Blocking(range.address) != nullptr || refused.contains(range));
    return 0;
}
