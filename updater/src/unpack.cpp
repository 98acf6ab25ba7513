#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

#include "velmor/platform/diag.h"
#include "velmor/platform/replace_file.h"
#include "velmor/platform/safe_file.h"
#include "velmor/updater/package.h"

namespace velmor::updater {
namespace {

using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

File OpenFile(const std::filesystem::path& path, const char* mode) {
    return File(platform::OpenFile(path, mode), &std::fclose);
}

constexpr std::size_t kChunk = 64 * 1024;

enum class Inflation {
    Inflated,      // the whole stream, checksum included, went into the file
    StreamFailed,  // corrupt, truncated or too large a stream: the entry's file is left empty
    WriteFailed,   // the file could not take the bytes: the old file stays as it was
};

bool IsProgram(const unsigned char* head, std::size_t length) {
    const bool elf = length >= 4 && head[0] == 0x7f && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
    const bool script = length >= 2 && head[0] == '#' && head[1] == '!';
    return elf || script;
}

// Inflates the entry's stream from the package straight into `out`. Inflated only when the stream
// ends properly (checksum included) within CompressedSize bytes and inflates to no more than the
// output buffer of the format. `program` tells whether the bytes begin like a program.
Inflation InflateEntry(std::FILE* package, std::uint64_t package_size, const PackageEntry& entry,
                       platform::ReplacementFile& out, bool& program) {
    program = false;
    if (entry.compressed_size == 0) return Inflation::StreamFailed;
    // A stream that the package cannot hold is never read, and nothing is allocated for it.
    if (std::uint64_t{entry.data_offset} + entry.compressed_size > package_size)
        return Inflation::StreamFailed;
    if (std::fseek(package, static_cast<long>(entry.data_offset), SEEK_SET) != 0)
        return Inflation::StreamFailed;

    const std::uint64_t limit = OutputBufferSize(entry.unpacked_size);
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return Inflation::StreamFailed;
    auto input = std::make_unique<std::array<unsigned char, kChunk>>();
    auto output = std::make_unique<std::array<unsigned char, kChunk>>();
    std::uint64_t remaining = entry.compressed_size;
    std::uint64_t produced = 0;
    Inflation outcome = Inflation::StreamFailed;
    for (;;) {
        if (stream.avail_in == 0 && remaining > 0) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kChunk));
            const std::size_t got = std::fread(input->data(), 1, want, package);
            if (got != want) break;  // read error or a package that shrank under us
            remaining -= got;
            stream.next_in = input->data();
            stream.avail_in = static_cast<uInt>(got);
        }
        stream.next_out = output->data();
        stream.avail_out = static_cast<uInt>(kChunk);
        const int result = inflate(&stream, Z_NO_FLUSH);
        const std::size_t have = kChunk - stream.avail_out;
        if (produced == 0 && have > 0) program = IsProgram(output->data(), have);
        produced += have;
        if (produced > limit) break;  // would not fit the output buffer
        if (have > 0 && !out.Write(output->data(), have)) {
            outcome = Inflation::WriteFailed;
            break;
        }
        if (result == Z_STREAM_END) {
            outcome =
                Inflation::Inflated;  // bytes after the stream's end are ignored, as the one-shot call does
            break;
        }
        if (result != Z_OK && result != Z_BUF_ERROR) break;  // corrupt data, bad checksum, no memory
        if (result == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0) break;  // truncated
        if (stream.avail_in == 0 && remaining == 0 && have == 0) break;
    }
    inflateEnd(&stream);
    return outcome;
}

// The folder that receives an entry's file, reached from the target without following a link on
// the way (a linked folder refuses the entry), and the file's own name. The last level of
// FolderName is created when it is missing; every folder above it must exist already.
struct EntryPlace {
    std::optional<platform::FolderHandle> folder;  // empty: the target folder itself
    std::string name;
};

std::optional<EntryPlace> OpenEntryFolder(const platform::FolderHandle& root, std::string_view folder_name,
                                          std::string_view file_name) {
    std::vector<std::string> folders;
    if (!folder_name.empty()) {
        const auto parts = SplitStoredName(folder_name);
        if (!parts) return std::nullopt;
        folders = *parts;
    }
    const std::size_t created_level = folders.size();  // 1-based level FolderName ends at
    const auto file_parts = SplitStoredName(file_name);
    if (!file_parts) return std::nullopt;
    folders.insert(folders.end(), file_parts->begin(), file_parts->end() - 1);

    std::optional<platform::FolderHandle> current;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const platform::FolderHandle& parent = current ? *current : root;
        auto next = parent.Child(folders[i], i + 1 == created_level);
        if (!next) return std::nullopt;
        current = std::move(next);
    }
    return EntryPlace{std::move(current), file_parts->back()};
}

// Programs carry no mode bits in the package, so an unpacked ELF program or script gets the
// execute permission wherever it can be read; otherwise a new program could not start.
void MarkExecutableIfProgram(const std::filesystem::path& path) {
    File file = OpenFile(path, "rb");
    if (!file) return;
    std::array<unsigned char, 4> magic{};
    const std::size_t got = std::fread(magic.data(), 1, magic.size(), file.get());
    file.reset();
    if (!IsProgram(magic.data(), got)) return;
    std::error_code error;
    using std::filesystem::perms;
    const auto current = std::filesystem::status(path, error).permissions();
    if (error) return;
    perms add = perms::none;
    if ((current & perms::owner_read) != perms::none) add |= perms::owner_exec;
    if ((current & perms::group_read) != perms::none) add |= perms::group_exec;
    if ((current & perms::others_read) != perms::none) add |= perms::others_exec;
    std::filesystem::permissions(path, add, std::filesystem::perm_options::add, error);
}

}  // namespace

UnpackReport UnpackWithReport(const std::filesystem::path& package_path, const std::filesystem::path& target,
                              Sleeper& sleeper, platform::ProgramLauncher& starter) {
    UnpackReport report;
    sleeper.Sleep(std::chrono::milliseconds(1000));

    std::optional<LaunchCommand> command;
    if (File package = OpenFile(package_path, "rb")) {
        std::error_code error;
        const std::uint64_t package_size = std::filesystem::file_size(package_path, error);
        std::string head(kHeaderSize, '\0');
        head.resize(std::fread(head.data(), 1, head.size(), package.get()));
        const PackageHeader header = ParseHeader(head);
        if (header.launch_name) command = BuildLaunchCommand(target, *header.launch_name);

        std::vector<PackageEntry> entries;
        if (header.directory_offset != 0 && !error && header.directory_offset < package_size &&
            std::fseek(package.get(), static_cast<long>(header.directory_offset), SEEK_SET) == 0) {
            // One read of the whole table, as large as the directory can be.
            std::string directory(kMaxEntries * kEntrySize, '\0');
            directory.resize(std::fread(directory.data(), 1, directory.size(), package.get()));
            entries = ParseDirectory(directory);
        }

        const auto root = platform::FolderHandle::Open(target);
        for (const PackageEntry& entry : entries) {
            if (!root || !entry.folder_name || !entry.file_name ||
                !BuildOutputPath(target, *entry.folder_name, *entry.file_name)) {
                ++report.skipped;
                continue;
            }
            auto place = OpenEntryFolder(*root, *entry.folder_name, *entry.file_name);
            if (!place) {
                platform::Diag("unpack", "no folder for " + *entry.file_name);
                ++report.skipped;
                continue;
            }
            auto out = platform::ReplacementFile::Create(place->folder ? *place->folder : *root, place->name);
            if (!out) {
                platform::DiagError("unpack", "cannot create " + place->name, errno);
                ++report.skipped;
                continue;
            }
            bool program = false;
            const Inflation inflation = InflateEntry(package.get(), package_size, entry, *out, program);
            if (inflation == Inflation::Inflated) {
                if (program) out->MarkExecutable();
                if (out->Commit()) {
                    ++report.written;
                } else {
                    platform::DiagError("unpack", "cannot put " + place->name + " in place", errno);
                    ++report.skipped;
                }
            } else if (inflation == Inflation::StreamFailed && out->Truncate() && out->Commit()) {
                // Whatever was inflated before the failure goes: a failed stream is an empty file.
                platform::Diag("unpack", "stream of " + place->name + " failed: left empty");
                ++report.emptied;
            } else {
                platform::Diag("unpack", inflation == Inflation::WriteFailed ? "cannot write " + place->name
                                                                             : "cannot empty " + place->name);
                ++report.skipped;  // nothing replaced: the old file is whole
            }
        }
    }

    std::error_code ignored;
    std::filesystem::current_path(target, ignored);
    if (ignored) platform::Diag("unpack", "cannot enter " + target.string() + ": " + ignored.message());
    if (command) {
        // The launch program may be new in this package; it must be able to run.
        if (std::filesystem::is_regular_file(command->program, ignored))
            MarkExecutableIfProgram(command->program);
        report.started = starter.Start(command->program, command->arguments);
        if (!report.started) platform::Diag("unpack", "cannot start " + command->program.string());
    }
    return report;
}

void Unpack(const std::filesystem::path& package, const std::filesystem::path& target, Sleeper& sleeper,
            platform::ProgramLauncher& starter) {
    UnpackWithReport(package, target, sleeper, starter);
}

}  // namespace velmor::updater
