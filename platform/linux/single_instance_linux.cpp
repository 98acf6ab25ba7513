#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "velmor/platform/private_folder.h"
#include "velmor/platform/single_instance.h"

namespace velmor::platform {
namespace {

class FlockInstance final : public SingleInstance {
public:
    explicit FlockInstance(int fd) : fd_(fd) {}
    ~FlockInstance() override { ::close(fd_); }
    FlockInstance(const FlockInstance&) = delete;
    FlockInstance& operator=(const FlockInstance&) = delete;

private:
    int fd_;
};

// The user's private folder: a lock in a shared folder such as /tmp could be made and held by
// another user first, and the program would refuse to start.
std::filesystem::path DefaultLockFolder() {
    return UserPrivateFolder().value_or(std::filesystem::path());
}

}  // namespace

std::filesystem::path SingleInstanceLockFile(const std::filesystem::path& program_file,
                                             const std::filesystem::path& lock_folder) {
    // FNV-1a of the path: stable across runs and builds, unlike std::hash.
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : program_file.string()) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char name[64];
    std::snprintf(name, sizeof name, "velmor-%u-%016llx.lock", static_cast<unsigned>(::getuid()),
                  static_cast<unsigned long long>(hash));
    const std::filesystem::path folder = lock_folder.empty() ? DefaultLockFolder() : lock_folder;
    if (folder.empty()) return {};
    return folder / name;
}

std::unique_ptr<SingleInstance> ClaimSingleInstance(const std::filesystem::path& program_file,
                                                    const std::filesystem::path& lock_folder) {
    const auto path = SingleInstanceLockFile(program_file, lock_folder);
    // Without a private folder there is nowhere safe to lock: the program starts unchecked.
    if (path.empty()) return std::make_unique<SingleInstance>();
    // Close-on-exec: the programs we start (the updater above all) must not inherit the claim, or a
    // restart after an update would find the program "already running".
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        // A lock file we cannot open (a test's own folder that is not writable) must not keep the
        // program from starting.
        return std::make_unique<SingleInstance>();
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FlockInstance>(fd);
}

}  // namespace velmor::platform
