// The package reader and Unpack, fed arbitrary packages. Unpack runs for real into a folder deep
// inside a scratch folder; anything it leaves outside that folder is a name check that failed.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "velmor/updater/package.h"

namespace {

namespace fs = std::filesystem;
using namespace velmor::updater;

class NoWait final : public Sleeper {
public:
    void Sleep(std::chrono::milliseconds) override {}
};

class NoStart final : public velmor::platform::ProgramLauncher {
public:
    bool Start(const fs::path& program, const std::vector<std::string>&) override {
        // A started program must lie inside the target.
        const auto relative = program.lexically_normal().lexically_relative(target);
        if (relative.empty() || *relative.begin() == "..") std::abort();
        return true;
    }
    fs::path target;
};

// One scratch folder per fuzzing process, removed when the process ends.
struct ScratchFolder {
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "velmor-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::current_path(fs::temp_directory_path(), ignored);
        fs::remove_all(path, ignored);
    }
    fs::path path;
};

fs::path Scratch() {
    static const ScratchFolder scratch;
    return scratch.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const PackageHeader header = ParseHeader(bytes);
    if (header.directory_offset != 0 && header.directory_offset < bytes.size()) {
        for (const auto& entry : ParseDirectory(bytes.substr(header.directory_offset))) {
            if (entry.folder_name && entry.file_name) {
                const auto path = BuildOutputPath("/p/q", *entry.folder_name, *entry.file_name);
                if (path && path->lexically_normal().string().rfind("/p/q/", 0) != 0) std::abort();
            }
        }
    }

    const fs::path scratch = Scratch();
    const fs::path package = scratch / "package.jar";
    const fs::path target = scratch / "a" / "b" / "c" / "target";
    fs::create_directories(target);
    {
        std::ofstream out(package, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    NoWait sleeper;
    NoStart starter;
    starter.target = target;
    UnpackWithReport(package, target, sleeper, starter);

    // Only the package, the folders leading to the target, and the target's contents may exist.
    for (auto it = fs::recursive_directory_iterator(scratch); it != fs::recursive_directory_iterator();
         ++it) {
        const auto relative = it->path().lexically_relative(scratch).string();
        const bool allowed = relative == "package.jar" || relative == "a" || relative == "a/b" ||
                             relative == "a/b/c" || relative.rfind("a/b/c/target", 0) == 0;
        if (!allowed) std::abort();
    }
    fs::remove_all(target);
    fs::current_path(scratch);
    return 0;
}
