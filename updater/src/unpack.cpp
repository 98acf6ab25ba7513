#include <zlib.h>

#include <array>
#include <cstdio>
#include <memory>
#include <system_error>

#include "velmor/updater/package.h"

namespace velmor::updater {
namespace {

using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

File OpenFile(const std::filesystem::path& path, const char* mode) {
    return File(std::fopen(path.c_str(), mode), &std::fclose);
}

constexpr std::size_t kChunk = 64 * 1024;

// Inflates the entry's stream from the package straight into `out`. True only when the stream ends
// properly (checksum included) within CompressedSize bytes and inflates to no more than the output
// buffer of the format; the caller empties the file otherwise.
bool InflateEntry(std::FILE* package, std::uint64_t package_size, const PackageEntry& entry, std::FILE* out) {
    if (entry.compressed_size == 0) return false;
    // A stream that the package cannot hold is never read, and nothing is allocated for it.
    if (std::uint64_t{entry.data_offset} + entry.compressed_size > package_size) return false;
    if (std::fseek(package, static_cast<long>(entry.data_offset), SEEK_SET) != 0) return false;

    const std::uint64_t limit = OutputBufferSize(entry.unpacked_size);
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    auto input = std::make_unique<std::array<unsigned char, kChunk>>();
    auto output = std::make_unique<std::array<unsigned char, kChunk>>();
    std::uint64_t remaining = entry.compressed_size;
    std::uint64_t produced = 0;
    bool ok = false;
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
        produced += have;
        if (produced > limit) break;  // would not fit the output buffer
        if (have > 0 && std::fwrite(output->data(), 1, have, out) != have) break;
        if (result == Z_STREAM_END) {
            ok = true;  // bytes after the stream's end are ignored, as the one-shot call does
            break;
        }
        if (result != Z_OK && result != Z_BUF_ERROR) break;  // corrupt data, bad checksum, no memory
        if (result == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0) break;  // truncated
        if (stream.avail_in == 0 && remaining == 0 && have == 0) break;
    }
    inflateEnd(&stream);
    return ok;
}

// Programs carry no mode bits in the package, so an unpacked ELF program or script gets the
// execute permission wherever it can be read; otherwise a new program could not start.
void MarkExecutableIfProgram(const std::filesystem::path& path) {
    File file = OpenFile(path, "rb");
    if (!file) return;
    std::array<char, 4> magic{};
    const std::size_t got = std::fread(magic.data(), 1, magic.size(), file.get());
    file.reset();
    const bool elf = got == 4 && magic[0] == '\x7f' && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
    const bool script = got >= 2 && magic[0] == '#' && magic[1] == '!';
    if (!elf && !script) return;
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
                              Clock& clock, ProcessStarter& starter) {
    UnpackReport report;
    clock.Sleep(std::chrono::milliseconds(1000));

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

        for (const PackageEntry& entry : entries) {
            if (!entry.folder_name || !entry.file_name) {
                ++report.skipped;
                continue;
            }
            const auto output_path = BuildOutputPath(target, *entry.folder_name, *entry.file_name);
            if (!output_path) {
                ++report.skipped;
                continue;
            }
            if (!entry.folder_name->empty()) {
                // One level only: the folder's parent must exist already. Failure shows at the open.
                std::error_code ignored;
                const auto folder = BuildOutputPath(target, {}, *entry.folder_name);
                if (folder && !std::filesystem::exists(*folder, ignored)) {
                    std::filesystem::create_directory(*folder, ignored);
                }
            }
            File out = OpenFile(*output_path, "wb");
            if (!out) {
                ++report.skipped;
                continue;
            }
            const bool inflated = InflateEntry(package.get(), package_size, entry, out.get());
            const bool closed = std::fclose(out.release()) == 0;
            if (inflated && closed) {
                ++report.written;
                MarkExecutableIfProgram(*output_path);
            } else {
                // Whatever was streamed out before the failure goes: a failed entry is an empty file.
                std::error_code ignored;
                std::filesystem::resize_file(*output_path, 0, ignored);
                ++report.emptied;
            }
        }
    }

    std::error_code ignored;
    std::filesystem::current_path(target, ignored);
    if (command) {
        // The launch program may be new in this package; it must be able to run.
        if (std::filesystem::is_regular_file(command->program, ignored))
            MarkExecutableIfProgram(command->program);
        report.started = starter.Start(command->program, command->arguments);
    }
    return report;
}

void Unpack(const std::filesystem::path& package, const std::filesystem::path& target, Clock& clock,
            ProcessStarter& starter) {
    UnpackWithReport(package, target, clock, starter);
}

}  // namespace velmor::updater
