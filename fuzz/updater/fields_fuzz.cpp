// The bracket fields of the hand-over file and the update page, fed arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "velmor/updater/fields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmor::updater;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto fields = ExtractBracketFields(text, 7);
    if (fields.size() != 7) std::abort();
    for (const auto& field : fields) {
        // A field ends at the first ']' and fits its buffer.
        if (field.find(']') != std::string::npos || field.size() > kMaxFieldBytes) std::abort();
        if (!field.empty() && text.find("[" + field + "]") == std::string_view::npos) std::abort();
    }
    if (const auto hand_over = ParseHandOver(text)) {
        if (hand_over->target_folder != fields[1] || hand_over->main_window_handle != fields[6]) std::abort();
    }
    if (const auto page = ParseUpdatePage(text)) {
        if (page->label.empty() || page->package_url.empty() || page->package_size.empty()) std::abort();
        if (page->package_url.find_first_of("\r\n") != std::string::npos) std::abort();
        // The fourth value follows the same bracket rule and may be empty.
        if (page->signature.find(']') != std::string::npos || page->signature.size() > kMaxFieldBytes)
            std::abort();
    }
    return 0;
}
