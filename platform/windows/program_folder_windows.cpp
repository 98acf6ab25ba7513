#include <windows.h>

#include <string>

#include "velmor/platform/program_folder.h"

namespace velmor::platform {

std::filesystem::path ProgramFile() {
    // Long paths (beyond MAX_PATH) need a larger buffer; the call cuts the name short and says so.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return std::filesystem::path(path);
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

std::filesystem::path ProgramFolder() {
    return ProgramFile().parent_path();
}

}  // namespace velmor::platform
