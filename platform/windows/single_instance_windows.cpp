#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwctype>

#include "velmor/platform/private_folder.h"
#include "velmor/platform/single_instance.h"

namespace velmor::platform {
namespace {

class MutexInstance final : public SingleInstance {
public:
    explicit MutexInstance(HANDLE mutex) : mutex_(mutex) {}
    ~MutexInstance() override { ::CloseHandle(mutex_); }
    MutexInstance(const MutexInstance&) = delete;
    MutexInstance& operator=(const MutexInstance&) = delete;

private:
    HANDLE mutex_;
};

// FNV-1a over the path's UTF-16 units in lower case: Windows paths ignore letter case, so every
// spelling of one program file names one claim.
std::uint64_t HashOf(const std::filesystem::path& path, std::uint64_t hash) {
    for (const wchar_t c : path.native()) {
        hash ^= static_cast<std::uint64_t>(std::towlower(c));
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

// The claim is a named mutex, not a file: there is no lock file.
std::filesystem::path SingleInstanceLockFile(const std::filesystem::path&, const std::filesystem::path&) {
    return {};
}

std::unique_ptr<SingleInstance> ClaimSingleInstance(const std::filesystem::path& program_file,
                                                    const std::filesystem::path& lock_folder) {
    // "Local\": the names of this logon session, where another user's programs cannot take ours.
    // A folder that tests pass keeps their claims apart from the installed program's.
    const std::uint64_t hash = HashOf(lock_folder, HashOf(program_file, 14695981039346656037ull));
    wchar_t name[64];
    std::swprintf(name, 64, L"Local\\velmor-%016llx", static_cast<unsigned long long>(hash));
    // Not inheritable: a program we start (the updater above all) must not hold the claim.
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) {
        // A claim that cannot be asked for must not keep the program from starting.
        return std::make_unique<SingleInstance>();
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return nullptr;
    }
    return std::make_unique<MutexInstance>(mutex);
}

}  // namespace velmor::platform
