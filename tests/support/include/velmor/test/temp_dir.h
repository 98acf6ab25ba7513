#pragma once

#include <filesystem>
#include <string_view>

namespace velmor::test {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir final {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes bytes to a file, creating folders on the way; fails the test on error.
void WriteBytes(const std::filesystem::path& path, std::string_view bytes);
// Reads a whole file; fails the test and returns "" when it cannot be read.
std::string ReadBytes(const std::filesystem::path& path);

// The folder of the built program tree (VELMOR_PROGRAM_DIR from CTest, else next to the test).
std::filesystem::path BuiltProgramFolder();

}  // namespace velmor::test
