#include "velmor/hostlet/hostlet.h"

#include <algorithm>

#include "velmor/common/text_file.h"
#include "velmor/engine/exchange_file.h"
#include "velmor/engine/host_names.h"

namespace velmor::hostlet {

std::string ArgumentText(const std::vector<std::string>& arguments) {
    std::string text;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) text.push_back(' ');
        text.append(arguments[i]);
    }
    std::erase(text, '"');
    return text;
}

bool IsPlausibleHostName(std::string_view name) {
    return engine::IsPlausibleHostName(name);
}

std::string ResultOf(std::string_view lookup) {
    if (lookup == engine::kNameError || !IsPlausibleHostName(lookup)) return std::string(engine::kNoName);
    return std::string(lookup);
}

int HostletMain(const std::vector<std::string>& arguments, const std::filesystem::path& program_folder,
                const Lookup& lookup) {
    const std::string argument = ArgumentText(arguments);
    if (argument.empty()) return 0;
    std::string line = engine::MakeExchangeLine(argument, ResultOf(lookup(argument)));
    line.append(kCrLf);
    return WriteFileAtomically(program_folder / engine::kExchangeFileName, line) ? 0 : 1;
}

}  // namespace velmor::hostlet
