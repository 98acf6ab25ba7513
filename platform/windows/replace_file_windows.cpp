#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "velmor/platform/replace_file.h"
#include "wide_text.h"

namespace velmor::platform {
namespace {

void CloseQuietly(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
}

std::string TemporaryName(const std::string& name) {
    static thread_local std::mt19937_64 random_source{std::random_device{}()};
    return "." + name + ".new-" + std::to_string(random_source());
}

// One name inside a folder: no separator, no drive or stream colon, not "." or "..".
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos;
}

// The folder's path as the system knows it now: Windows has no calls relative to an open folder,
// so each name is joined to the path of the handle, which stays the same while the handle is open
// (it is opened without sharing deletion, so the folder cannot be renamed or removed meanwhile).
std::filesystem::path PathOf(HANDLE folder) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(folder, path.data(), static_cast<DWORD>(path.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return std::filesystem::path(path);
        }
        path.resize(length + 1);
    }
}

std::filesystem::path Inside(HANDLE folder, const std::string& name) {
    const std::filesystem::path base = PathOf(folder);
    return base.empty() ? base : base / windows::Widen(name);
}

// Opens a folder itself (never what a link or junction points to, with `follow` false).
HANDLE OpenFolder(const std::filesystem::path& path, bool follow) {
    const HANDLE folder =
        ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (folder == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(folder, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        ::CloseHandle(folder);
        return nullptr;
    }
    return folder;
}

}  // namespace

std::optional<FolderHandle> FolderHandle::Open(const std::filesystem::path& path) {
    const HANDLE folder = OpenFolder(path, true);
    if (folder == nullptr) return std::nullopt;
    return FolderHandle(folder);
}

std::optional<FolderHandle> FolderHandle::Child(const std::string& name, bool create) const {
    if (!IsPlainName(name)) return std::nullopt;
    const std::filesystem::path path = Inside(descriptor_, name);
    if (path.empty()) return std::nullopt;
    if (create && !::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return std::nullopt;
    const HANDLE folder = OpenFolder(path, false);
    if (folder == nullptr) return std::nullopt;
    return FolderHandle(folder);
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept : descriptor_(other.descriptor_) {
    other.descriptor_ = kNoNativeHandle;
}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        CloseQuietly(descriptor_);
        descriptor_ = other.descriptor_;
        other.descriptor_ = kNoNativeHandle;
    }
    return *this;
}

FolderHandle::~FolderHandle() {
    CloseQuietly(descriptor_);
}

std::optional<ReplacementFile> ReplacementFile::Create(const FolderHandle& folder, const std::string& name) {
    if (!IsPlainName(name)) return std::nullopt;
    // A few tries against a name that happens to exist already (a left-over of a crash).
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string temporary = TemporaryName(name);
        const std::filesystem::path path = Inside(folder.descriptor(), temporary);
        if (path.empty()) return std::nullopt;
        // CREATE_NEW: never an existing file, and never through a link.
        const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (::GetLastError() == ERROR_FILE_EXISTS) continue;
            return std::nullopt;
        }
        return ReplacementFile(folder.descriptor(), file, name, std::move(temporary));
    }
    return std::nullopt;
}

bool ReplacementFile::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0 && !write_failed_) {
        const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(descriptor_, bytes, piece, &written, nullptr) || written == 0) {
            write_failed_ = true;
            break;
        }
        bytes += written;
        size -= written;
    }
    return !write_failed_;
}

bool ReplacementFile::Truncate() {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(descriptor_, start, nullptr, FILE_BEGIN) || !::SetEndOfFile(descriptor_)) {
        write_failed_ = true;
        return false;
    }
    write_failed_ = false;
    return true;
}

// Windows runs a program by its extension, not by a permission bit.
void ReplacementFile::MarkExecutable() {}

bool ReplacementFile::Commit() {
    if (descriptor_ == kNoNativeHandle) return false;
    bool ok = !write_failed_;
    ok = ::CloseHandle(descriptor_) != 0 && ok;
    descriptor_ = kNoNativeHandle;
    // The rename replaces the entry, a link included, and never follows one. It fails for a file
    // that is in use without sharing deletion (a running program): the old file then stays whole.
    const std::filesystem::path from = Inside(folder_, temporary_);
    const std::filesystem::path to = Inside(folder_, name_);
    if (ok && !from.empty() && !to.empty() &&
        ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        temporary_.clear();
        return true;
    }
    Discard();
    return false;
}

void ReplacementFile::Discard() {
    CloseQuietly(descriptor_);
    descriptor_ = kNoNativeHandle;
    if (!temporary_.empty()) {
        const std::filesystem::path path = Inside(folder_, temporary_);
        if (!path.empty()) ::DeleteFileW(path.c_str());
    }
    temporary_.clear();
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : folder_(other.folder_),
      descriptor_(other.descriptor_),
      name_(std::move(other.name_)),
      temporary_(std::move(other.temporary_)),
      write_failed_(other.write_failed_) {
    other.descriptor_ = kNoNativeHandle;
    other.temporary_.clear();
}

ReplacementFile::~ReplacementFile() {
    Discard();
}

std::optional<std::string> ReadSmallRegularFile(const std::filesystem::path& path, std::size_t limit) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::optional<std::string> content;
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &information) &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        ((std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow) <= limit) {
        // One byte more than the limit is asked for, so a file that grew meanwhile is caught.
        std::string bytes(limit + 1, '\0');
        std::size_t got = 0;
        bool failed = false;
        while (got < bytes.size()) {
            DWORD n = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - got, 0x40000000u));
            if (!::ReadFile(file, bytes.data() + got, want, &n, nullptr)) failed = true;
            if (failed || n == 0) break;
            got += n;
        }
        if (!failed && got <= limit) {
            bytes.resize(got);
            content = std::move(bytes);
        }
    }
    ::CloseHandle(file);
    return content;
}

}  // namespace velmor::platform
