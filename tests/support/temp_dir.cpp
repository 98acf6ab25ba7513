#include "velmor/test/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "velmor/platform/program_folder.h"

namespace velmor::test {

TempDir::TempDir() {
#if defined(_WIN32)
    // No mkdtemp: a random name, made exclusively (create_directory is false for one that exists).
    std::mt19937_64 random_source{std::random_device{}()};
    for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
        auto candidate =
            std::filesystem::temp_directory_path() / ("velmor-test-" + std::to_string(random_source()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) path_ = candidate;
    }
    if (path_.empty()) ADD_FAILURE() << "cannot make a temporary folder";
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "velmor-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
#endif
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::filesystem::path BuiltProgramFolder() {
    if (const char* folder = std::getenv("VELMOR_PROGRAM_DIR"); folder != nullptr && *folder != '\0') {
        return folder;
    }
    return platform::ProgramFolder().parent_path() / "P";
}

}  // namespace velmor::test
