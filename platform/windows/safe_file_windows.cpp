#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "velmor/platform/safe_file.h"
#include "wide_text.h"

namespace velmor::platform {
namespace {

// A regular file on a disk: not a folder, not a link or other reparse point, not a device (CON,
// NUL and the like, which answer to their names in every folder).
bool IsRegular(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &information))
        return false;
    return (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// The stream takes the handle over: closing the stream closes it.
std::FILE* AdoptRegular(HANDLE file, int flags, const char* mode) {
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    if (!IsRegular(file)) {
        ::CloseHandle(file);
        return nullptr;
    }
    const int descriptor = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(file), flags | _O_BINARY);
    if (descriptor < 0) {
        ::CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(descriptor, mode);
    if (stream == nullptr) ::_close(descriptor);
    return stream;
}

// Readers let writers and renames go on: a rule file replaced while it is read is replaced.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

std::FILE* OpenRegularForReading(const std::filesystem::path& path) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, which the check then refuses.
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return AdoptRegular(file, _O_RDONLY, "rb");
}

std::FILE* OpenRegularForWriting(const std::filesystem::path& path, bool exclusive) {
    // Truncation waits until the file is known to be a regular file.
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, exclusive ? CREATE_NEW : OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE && IsRegular(file) && !::SetEndOfFile(file)) {
        ::CloseHandle(file);
        return nullptr;
    }
    return AdoptRegular(file, _O_WRONLY, "wb");
}

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
    return ::_wfopen(path.c_str(), windows::Widen(mode).c_str());
}

}  // namespace velmor::platform
