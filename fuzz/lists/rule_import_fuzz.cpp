// Arbitrary bytes imported into an empty rule folder, exported, imported into another and exported
// again: the second export is the first, and nothing is written outside the rule folders.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "velmor/lists/rule_transfer.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// A folder on /dev/shm for the whole run, removed at the fuzzer's normal end (a crash leaves it for
// the finding's run). Its name lives in a plain array, which outlasts every exit handler.
char folder_name[] = "/dev/shm/velmor-rule-import-fuzz-XXXXXX";

const std::filesystem::path& Base() {
    static const std::filesystem::path base = [] {
        Check(::mkdtemp(folder_name) != nullptr);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(folder_name, ignored);
        });
        return std::filesystem::path(folder_name);
    }();
    return base;
}

void Empty(const std::filesystem::path& program) {
    std::filesystem::remove_all(program);
    std::filesystem::create_directories(program / "invader");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmor;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::filesystem::path first = Base() / "first", second = Base() / "second";
    Empty(first);
    Empty(second);
    std::string exported;
    {
        rules::RuleStore store(first);
        const lists::ImportResult result = lists::ImportRules(text, store);
        exported = lists::ExportRules(store);
        Check(result.imported > 0 || store.List(".x").size() + store.List(".o").size() == 0);
    }
    rules::RuleStore copy(second);
    const lists::ImportResult again = lists::ImportRules(exported, copy);
    Check(again.bad_lines.empty());
    Check(lists::ExportRules(copy) == exported);
    for (const auto& entry : std::filesystem::directory_iterator(Base()))
        Check(entry.path() == first || entry.path() == second);
    for (const auto& program : {first, second}) {
        for (const auto& entry : std::filesystem::directory_iterator(program))
            Check(entry.path() == program / "invader");
    }
    return 0;
}
