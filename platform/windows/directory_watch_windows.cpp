#include <windows.h>

#include <cstddef>
#include <vector>

#include "velmor/platform/directory_watch.h"
#include "wide_text.h"

namespace velmor::platform {
namespace {

constexpr DWORD kChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                           FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                           FILE_NOTIFY_CHANGE_SIZE;
// The system keeps collecting changes between two reads into a buffer of this size; more than that
// between two takes and it reports an overflow, which reads the folder whole.
constexpr DWORD kBufferSize = 64 * 1024;

// One overlapped ReadDirectoryChangesW always in flight; a take collects what it completed.
class ChangeReaderWatch final : public DirectoryWatch {
public:
    ChangeReaderWatch(HANDLE folder, HANDLE event) : folder_(folder), buffer_(kBufferSize / sizeof(DWORD)) {
        overlapped_.hEvent = event;
        alive_ = Arm();
    }
    ~ChangeReaderWatch() override {
        if (armed_) {
            ::CancelIoEx(folder_, &overlapped_);
            DWORD ignored = 0;
            ::GetOverlappedResult(folder_, &overlapped_, &ignored, TRUE);
        }
        ::CloseHandle(overlapped_.hEvent);
        ::CloseHandle(folder_);
    }
    ChangeReaderWatch(const ChangeReaderWatch&) = delete;
    ChangeReaderWatch& operator=(const ChangeReaderWatch&) = delete;

    DirectoryChanges TakeChangedNames() override {
        DirectoryChanges changes;
        while (alive_ && armed_) {
            DWORD bytes = 0;
            if (!::GetOverlappedResult(folder_, &overlapped_, &bytes, FALSE)) {
                if (::GetLastError() == ERROR_IO_INCOMPLETE) break;  // nothing new
                alive_ = false;  // the folder went away (or the watch broke): nothing more to tell
                break;
            }
            armed_ = false;
            if (bytes == 0) {
                changes.everything = true;  // the system's buffer overflowed: names were lost
            } else {
                Collect(bytes, changes);
            }
            alive_ = Arm();
        }
        if (!alive_) changes.everything = true;
        return changes;
    }

    bool Alive() const override { return alive_; }

private:
    bool Arm() {
        ::ResetEvent(overlapped_.hEvent);
        armed_ = ::ReadDirectoryChangesW(folder_, buffer_.data(), kBufferSize, FALSE, kChanges, nullptr,
                                         &overlapped_, nullptr) != 0;
        return armed_;
    }

    void Collect(DWORD bytes, DirectoryChanges& changes) const {
        const auto* base = reinterpret_cast<const std::byte*>(buffer_.data());
        for (DWORD offset = 0; offset + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
            const auto* item = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + offset);
            const std::size_t length = item->FileNameLength / sizeof(wchar_t);
            changes.names.push_back(windows::Narrow(std::wstring_view(item->FileName, length)));
            if (item->NextEntryOffset == 0) break;
            offset += item->NextEntryOffset;
        }
    }

    HANDLE folder_;
    OVERLAPPED overlapped_{};
    std::vector<DWORD> buffer_;  // DWORD-aligned, as the call requires
    bool armed_ = false;
    bool alive_ = false;
};

}  // namespace

std::unique_ptr<DirectoryWatch> WatchDirectory(const std::filesystem::path& folder) {
    // Shared for deletion, so that watching never keeps the folder from being removed or renamed.
    const HANDLE handle = ::CreateFileW(
        folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        ::CloseHandle(handle);
        return nullptr;
    }
    auto watch = std::make_unique<ChangeReaderWatch>(handle, event);
    if (!watch->Alive()) return nullptr;
    return watch;
}

}  // namespace velmor::platform
