#include "velmor/common/text_file.h"

#include <cstdio>
#include <memory>
#include <random>

namespace velmor {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

FileHandle Open(const std::filesystem::path& path, const char* mode) {
    return FileHandle(std::fopen(path.c_str(), mode));
}

// An empty part is not passed to fwrite: its data pointer may be null, which fwrite does not allow.
bool WritePart(std::FILE* file, std::string_view part) {
    return part.empty() || std::fwrite(part.data(), 1, part.size(), file) == part.size();
}

bool WriteAndClose(FileHandle file, std::string_view first, std::string_view second = {}) {
    bool ok = WritePart(file.get(), first) && WritePart(file.get(), second);
    ok = std::fclose(file.release()) == 0 && ok;
    return ok;
}

}  // namespace

bool WriteLineFile(const std::filesystem::path& path, std::string_view line) {
    FileHandle file = Open(path, "wb");
    if (!file) return false;
    return WriteAndClose(std::move(file), line, kCrLf);
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content) {
    static thread_local std::mt19937_64 random_source{std::random_device{}()};
    std::filesystem::path temp = path;
    temp += ".part-" + std::to_string(random_source());
    FileHandle file = Open(temp, "wbx");
    if (!file) return false;
    std::error_code error;
    if (!WriteAndClose(std::move(file), content)) {
        std::filesystem::remove(temp, error);
        return false;
    }
    std::filesystem::rename(temp, path, error);
    if (error) {
        std::filesystem::remove(temp, error);
        return false;
    }
    return true;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path) {
    FileHandle file = Open(path, "rb");
    if (!file) return std::nullopt;
    std::string content;
    char chunk[8192];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) content.append(chunk, n);
    if (std::ferror(file.get())) return std::nullopt;
    return content;
}

std::optional<std::string> ReadFirstLine(const std::filesystem::path& path) {
    FileHandle file = Open(path, "rb");
    if (!file) return std::nullopt;
    std::string line;
    // Rule and exchange files hold one short line; a bound keeps a huge file cheap.
    constexpr std::size_t kMaxLine = 65536;
    int c = 0;
    while (line.size() < kMaxLine && (c = std::getc(file.get())) != EOF && c != '\n') {
        line.push_back(static_cast<char>(c));
    }
    if (std::ferror(file.get())) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool IsRegularFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

}  // namespace velmor
