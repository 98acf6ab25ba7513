#include "velmor/platform/system_text.h"

namespace velmor::platform {

// The locale is UTF-8: text files, paths and arguments are the programs' own bytes.

std::string ToSystemText(std::string_view text) {
    return std::string(text);
}

std::string FromSystemText(std::string bytes) {
    return bytes;
}

std::filesystem::path PathFromText(std::string_view text) {
    return std::filesystem::path(std::string(text));
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace velmor::platform
