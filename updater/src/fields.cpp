#include "velmor/updater/fields.h"

#include "velmor/platform/replace_file.h"
#include "velmor/platform/system_text.h"

namespace velmor::updater {

std::vector<std::string> ExtractBracketFields(std::string_view text, std::size_t count) {
    std::vector<std::string> fields(count);
    std::size_t open = 0;
    for (std::size_t n = 0; n < count; ++n) {
        open = text.find('[', n == 0 ? 0 : open + 1);
        if (open == std::string_view::npos) break;
        const auto close = text.find(']', open + 1);
        if (close == std::string_view::npos) continue;  // no end: this and later fields stay empty
        const auto value = text.substr(open + 1, close - open - 1);
        if (value.size() <= kMaxFieldBytes) fields[n] = std::string(value);
    }
    return fields;
}

std::optional<HandOver> ParseHandOver(std::string_view file_bytes) {
    const auto fields = ExtractBracketFields(file_bytes, 7);
    HandOver hand_over{fields[1], fields[2], fields[3], fields[4], fields[5], fields[6]};
    for (std::size_t i = 1; i < fields.size(); ++i) {
        if (fields[i].empty()) return std::nullopt;
    }
    return hand_over;
}

std::optional<HandOver> ReadHandOver(const std::filesystem::path& path) {
    auto bytes = platform::ReadSmallRegularFile(path, kMaxHandOverBytes);
    if (!bytes) return std::nullopt;
    return ParseHandOver(platform::FromSystemText(std::move(*bytes)));
}

std::optional<UpdatePage> ParseUpdatePage(std::string_view page) {
    std::string text;
    text.reserve(page.size());
    for (const char c : page) {
        if (c != '\r' && c != '\n') text.push_back(c);
    }
    if (text.empty() || text.find("<!--") == std::string::npos) return std::nullopt;
    if (text.find('[') == std::string::npos || text.find(']') == std::string::npos) return std::nullopt;
    const auto fields = ExtractBracketFields(text, 4);
    for (std::size_t i = 0; i < 3; ++i) {
        if (fields[i].empty()) return std::nullopt;
    }
    return UpdatePage{fields[0], fields[1], fields[2], fields[3]};
}

}  // namespace velmor::updater
