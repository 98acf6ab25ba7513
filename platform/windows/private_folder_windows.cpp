#include <windows.h>
// Separate block: shlobj.h needs windows.h first.
#include <shlobj.h>

#include "velmor/platform/private_folder.h"

namespace velmor::platform {
namespace {

// A real folder, not a junction or link that could lead elsewhere.
bool IsPlainFolder(const std::filesystem::path& folder) {
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

}  // namespace

// %LOCALAPPDATA%\velmor: the user's local application data, which the profile's access list
// already closes to other users (administrators aside). Nothing is loosened or tightened here.
std::optional<std::filesystem::path> UserPrivateFolder() {
    wchar_t* local = nullptr;
    if (::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &local) != S_OK) {
        ::CoTaskMemFree(local);
        return std::nullopt;
    }
    std::filesystem::path folder = std::filesystem::path(local) / L"velmor";
    ::CoTaskMemFree(local);
    if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return std::nullopt;
    if (!IsPlainFolder(folder)) return std::nullopt;
    return folder;
}

}  // namespace velmor::platform
