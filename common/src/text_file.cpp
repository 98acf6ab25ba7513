#include "velmor/common/text_file.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <random>

#include "velmor/platform/diag.h"
#include "velmor/platform/safe_file.h"
#include "velmor/platform/system_text.h"

namespace velmor {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Data files are opened without following links and only when they are regular files, so a link,
// FIFO or device that someone left in the program folder is neither written through nor waited on.
FileHandle OpenForReading(const std::filesystem::path& path) {
    return FileHandle(platform::OpenRegularForReading(path));
}

FileHandle OpenForWriting(const std::filesystem::path& path, bool exclusive) {
    return FileHandle(platform::OpenRegularForWriting(path, exclusive));
}

// An empty part is not passed to fwrite: its data pointer may be null, which fwrite does not allow.
bool WritePart(std::FILE* file, std::string_view part) {
    return part.empty() || std::fwrite(part.data(), 1, part.size(), file) == part.size();
}

// The reason of the first failure is kept for the trail: closing after a failed write may change errno.
bool WriteAndClose(FileHandle file, const std::filesystem::path& path, std::string_view first,
                   std::string_view second = {}) {
    bool ok = WritePart(file.get(), first) && WritePart(file.get(), second);
    int reason = ok ? 0 : errno;
    if (std::fclose(file.release()) != 0 && ok) {
        ok = false;
        reason = errno;
    }
    if (!ok) platform::DiagError("file", "cannot write " + path.string(), reason);
    return ok;
}

void NoteCannotCreate(const std::filesystem::path& path) {
    platform::DiagError("file", "cannot create " + path.string(), errno);
}

constexpr std::size_t kMaxFileNameBytes = 255;

}  // namespace

bool WriteLineFile(const std::filesystem::path& path, std::string_view line) {
    FileHandle file = OpenForWriting(path, false);
    if (!file) {
        NoteCannotCreate(path);
        return false;
    }
    return WriteAndClose(std::move(file), path, platform::ToSystemText(line), kCrLf);
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content) {
    static thread_local std::mt19937_64 random_source{std::random_device{}()};
    const std::string part = ".part-" + std::to_string(random_source());
    std::filesystem::path temp = path;
    temp += part;
    // A name near the system's limit of 255 bytes has no room for the tail: the temporary then
    // goes by the tail alone (a hidden name that no listing pattern matches).
    if (temp.filename().native().size() > kMaxFileNameBytes) temp = path.parent_path() / part;
    FileHandle file = OpenForWriting(temp, true);
    if (!file) {
        NoteCannotCreate(temp);
        return false;
    }
    std::error_code error;
    if (!WriteAndClose(std::move(file), temp, platform::ToSystemText(content))) {
        std::filesystem::remove(temp, error);
        return false;
    }
    std::filesystem::rename(temp, path, error);
    if (error) {
        platform::Diag("file",
                       "cannot rename " + temp.string() + " to " + path.string() + ": " + error.message());
        std::filesystem::remove(temp, error);
        return false;
    }
    return true;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path) {
    FileHandle file = OpenForReading(path);
    if (!file) return std::nullopt;
    std::string content;
    char chunk[8192];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) content.append(chunk, n);
    if (std::ferror(file.get())) return std::nullopt;
    return content;
}

std::optional<std::string> ReadFirstLine(const std::filesystem::path& path) {
    FileHandle file = OpenForReading(path);
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
    return platform::FromSystemText(std::move(line));
}

bool IsRegularFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error));
}

}  // namespace velmor
