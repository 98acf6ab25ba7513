#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "velmor/common/text_rules.h"
#include "velmor/engine/exchange_file.h"
#include "velmor/hostlet/hostlet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);

    const auto answer = velmor::engine::ParseExchangeLine(line);
    if (answer) {
        const auto arrow = line.find("==>");
        if (arrow == std::string_view::npos || arrow == 0) std::abort();
        // Both sides come back trimmed, and what the helper would write for them reads back the same.
        if (velmor::TrimSpaces(answer->address) != answer->address) std::abort();
        if (velmor::TrimSpaces(answer->info) != answer->info) std::abort();
        const auto again = velmor::engine::ParseExchangeLine(
            velmor::engine::MakeExchangeLine(answer->address, answer->info));
        if (!again || again->address != answer->address || again->info != answer->info) std::abort();
        // A name the reader accepts holds nothing that could break a rule line or reach a terminal.
        if (velmor::engine::IsPlausibleHostName(answer->info)) {
            for (const char c : answer->info) {
                if (c == '|' || static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e)
                    std::abort();
            }
        }
    }

    // Whatever a resolver returns, the helper writes nothing that could break a one-line file.
    const std::string result = velmor::hostlet::ResultOf(line);
    if (result.empty() || result.size() > velmor::hostlet::kMaxHostNameBytes) std::abort();
    if (result.find_first_of("|\r\n ") != std::string::npos) std::abort();
    return 0;
}
