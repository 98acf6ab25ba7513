#include "velmor/lists/list_store.h"

#include <system_error>

#include "velmor/common/text_file.h"
#include "velmor/common/text_rules.h"
#include "velmor/lists/block_list.h"
#include "velmor/platform/diag.h"

namespace velmor::lists {
namespace {

constexpr std::string_view kExtension = ".list";

std::chrono::system_clock::time_point LastWrite(const std::filesystem::path& path) {
    std::error_code error;
    const auto written = std::filesystem::last_write_time(path, error);
    if (error) return {};
    return std::chrono::time_point_cast<std::chrono::system_clock::duration>(
        std::chrono::file_clock::to_sys(written));
}

}  // namespace

std::string ListSource(std::string_view name) {
    return "list:" + std::string(name);
}

bool IsListName(std::string_view name) {
    return name.size() <= 100 && IsPlainFileName(name) && !name.starts_with('.') &&
           name.find("..") == std::string_view::npos;
}

ListStore::ListStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path ListStore::PathOf(std::string_view name) const {
    return folder_ / (std::string(name) + std::string(kExtension));
}

ListStore::Imported ListStore::Import(std::string_view name, std::string_view text) {
    Imported result;
    if (!IsListName(name)) {
        result.error = "목록 이름으로 쓸 수 없습니다: 파일 이름에 쓸 수 있는 글자만 됩니다.";
        return result;
    }
    ParsedList parsed = ParseBlockList(text);
    result.bad_lines = std::move(parsed.bad_lines);
    if (parsed.ranges.empty() && !result.bad_lines.empty()) {
        result.error = "목록에 주소가 하나도 없습니다.";
        return result;
    }
    std::string content = "# Velmor list " + std::string(name) + ": " + std::to_string(parsed.ranges.size()) +
                          " addresses and ranges, one per line.\r\n";
    content.reserve(content.size() + parsed.ranges.size() * 18);
    for (const platform::AddressRange& range : parsed.ranges)
        content.append(platform::FormatAddressRange(range)).append(kCrLf);
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (!WriteFileAtomically(PathOf(name), content)) {
        result.error = "목록을 저장하지 못했습니다.";
        return result;
    }
    result.saved = true;
    result.entries = parsed.ranges.size();
    lists_[std::string(name)] = {std::move(parsed.ranges), LastWrite(PathOf(name))};
    return result;
}

bool ListStore::Remove(std::string_view name) {
    if (!IsListName(name)) return false;
    std::error_code error;
    const bool removed = std::filesystem::remove(PathOf(name), error);
    if (error) platform::Diag("lists", "cannot remove list " + std::string(name) + ": " + error.message());
    const auto found = lists_.find(name);
    const bool known = found != lists_.end();
    if (known) lists_.erase(found);
    return removed || known;
}

void ListStore::Load() {
    lists_.clear();
    std::error_code error;
    std::filesystem::directory_iterator it(folder_, error);
    if (error) return;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) break;
        const std::string file = it->path().filename().string();
        if (!file.ends_with(kExtension)) continue;
        const std::string name = file.substr(0, file.size() - kExtension.size());
        if (!IsListName(name) || !IsRegularFile(it->path())) continue;
        const auto text = ReadWholeFile(it->path());
        if (!text) continue;
        ParsedList parsed = ParseBlockList(*text);
        if (!parsed.bad_lines.empty())
            platform::Diag(
                "lists", file + ": " + std::to_string(parsed.bad_lines.size()) + " malformed lines skipped");
        lists_[name] = {std::move(parsed.ranges), LastWrite(it->path())};
    }
}

std::vector<std::string> ListStore::Names() const {
    std::vector<std::string> names;
    for (const auto& [name, list] : lists_) names.push_back(name);
    return names;
}

ListStore::Info ListStore::InfoOf(std::string_view name) const {
    const auto found = lists_.find(name);
    if (found == lists_.end()) return {};
    return {found->second.ranges.size(), found->second.updated};
}

const std::vector<platform::AddressRange>& ListStore::Ranges(std::string_view name) const {
    static const std::vector<platform::AddressRange> kNone;
    const auto found = lists_.find(name);
    return found == lists_.end() ? kNone : found->second.ranges;
}

std::vector<SharedDecision> ListStore::Decisions(std::string_view name) const {
    std::vector<SharedDecision> decisions;
    const auto& ranges = Ranges(name);
    decisions.reserve(ranges.size());
    for (const platform::AddressRange& range : ranges)
        decisions.push_back({range, ListSource(name), std::string(name), {}, std::nullopt});
    return decisions;
}

}  // namespace velmor::lists
