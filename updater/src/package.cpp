#include "velmor/updater/package.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "velmor/updater/package_writer.h"

namespace velmor::updater {
namespace {

std::uint32_t ReadLe32(std::string_view bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t at = offset + i;
        const auto byte = at < bytes.size() ? static_cast<unsigned char>(bytes[at]) : 0u;
        value |= static_cast<std::uint32_t>(byte) << (8 * i);
    }
    return value;
}

// A NUL-terminated name inside a field of `width` bytes; nullopt when the field holds no NUL.
std::optional<std::string> ReadName(std::string_view bytes, std::size_t offset, std::size_t width) {
    if (offset >= bytes.size()) return std::string{};
    const std::string_view field = bytes.substr(offset, width);
    const auto end = field.find('\0');
    if (end == std::string_view::npos) {
        // A field cut short by the end of the data reads as zero-padded.
        if (field.size() < width) return std::string(field);
        return std::nullopt;
    }
    return std::string(field.substr(0, end));
}

void AppendLe32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void AppendName(std::string& out, std::string_view name, std::size_t width) {
    const std::size_t length = std::min(name.size(), width - 1);
    out.append(name.substr(0, length));
    out.append(width - length, '\0');
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

PackageHeader ParseHeader(std::string_view bytes) {
    PackageHeader header;
    header.directory_offset = ReadLe32(bytes, 0);
    header.launch_name = ReadName(bytes, 4, kLaunchNameWidth);
    return header;
}

std::vector<PackageEntry> ParseDirectory(std::string_view directory) {
    const std::size_t count = std::min(directory.size() / kEntrySize, kMaxEntries);
    std::vector<PackageEntry> entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view raw = directory.substr(i * kEntrySize, kEntrySize);
        PackageEntry entry;
        entry.data_offset = ReadLe32(raw, 0);
        entry.unpacked_size = ReadLe32(raw, 4);
        entry.compressed_size = ReadLe32(raw, 8);
        entry.folder_name = ReadName(raw, 12, kNameWidth);
        entry.file_name = ReadName(raw, 140, kNameWidth);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::uint32_t OutputBufferSize(std::uint32_t unpacked_size) {
    return unpacked_size + (unpacked_size + 12u) / 100u + 32u;
}

std::optional<std::vector<std::string>> SplitStoredName(std::string_view name) {
    if (name.empty() || IsSeparator(name.front())) return std::nullopt;
    // "C:" and every other drive-letter form ("C:\x", "C:x") name a place outside the target.
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
        return std::nullopt;
    }
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = start;
        while (end < name.size() && !IsSeparator(name[end])) ++end;
        const std::string_view part = name.substr(start, end - start);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.emplace_back(part);
        start = end + 1;
    }
    if (parts.empty()) return std::nullopt;
    return parts;
}

std::optional<std::filesystem::path> BuildOutputPath(const std::filesystem::path& target,
                                                     std::string_view folder, std::string_view file) {
    // Length as the format builds it: target, separator, folder, separator, file.
    const std::size_t length =
        target.native().size() + 1 + (folder.empty() ? 0 : folder.size() + 1) + file.size();
    if (length > kMaxPathBytes) return std::nullopt;
    std::filesystem::path path = target;
    if (!folder.empty()) {
        const auto parts = SplitStoredName(folder);
        if (!parts) return std::nullopt;
        for (const auto& part : *parts) path /= part;
    }
    const auto parts = SplitStoredName(file);
    if (!parts) return std::nullopt;
    for (const auto& part : *parts) path /= part;
    return path;
}

std::optional<LaunchCommand> BuildLaunchCommand(const std::filesystem::path& target,
                                                std::string_view launch_name) {
    if (target.native().size() + 1 + launch_name.size() > kMaxPathBytes) return std::nullopt;
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < launch_name.size()) {
        const auto end = std::min(launch_name.find(' ', start), launch_name.size());
        if (end > start) words.emplace_back(launch_name.substr(start, end - start));
        start = end + 1;
    }
    if (words.empty()) return std::nullopt;
    const auto parts = SplitStoredName(words.front());
    if (!parts) return std::nullopt;
    LaunchCommand command;
    command.program = target;
    for (const auto& part : *parts) command.program /= part;
    command.arguments.assign(words.begin() + 1, words.end());
    return command;
}

std::string EncodeHeader(std::uint32_t directory_offset, std::string_view launch_name) {
    std::string out;
    out.reserve(kHeaderSize);
    AppendLe32(out, directory_offset);
    AppendName(out, launch_name, kLaunchNameWidth);
    return out;
}

std::string EncodeEntry(std::uint32_t data_offset, std::uint32_t unpacked_size, std::uint32_t compressed_size,
                        std::string_view folder_name, std::string_view file_name) {
    std::string out;
    out.reserve(kEntrySize);
    AppendLe32(out, data_offset);
    AppendLe32(out, unpacked_size);
    AppendLe32(out, compressed_size);
    AppendName(out, folder_name, kNameWidth);
    AppendName(out, file_name, kNameWidth);
    return out;
}

std::string CompressStream(std::string_view contents, int level) {
    uLongf length = compressBound(static_cast<uLong>(contents.size()));
    std::string out(length, '\0');
    const int result = compress2(reinterpret_cast<Bytef*>(out.data()), &length,
                                 reinterpret_cast<const Bytef*>(contents.data()),
                                 static_cast<uLong>(contents.size()), level);
    if (result != Z_OK) return {};
    out.resize(length);
    return out;
}

std::optional<std::string> BuildPackage(std::string_view launch_name, const std::vector<PackFile>& files,
                                        std::string* error) {
    auto fail = [&](std::string message) -> std::optional<std::string> {
        if (error != nullptr) *error = std::move(message);
        return std::nullopt;
    };
    if (files.size() > kMaxEntries) return fail("more than 1024 files");
    if (launch_name.size() >= kLaunchNameWidth) return fail("launch name longer than 255 bytes");
    std::string package = EncodeHeader(0, launch_name);
    std::string directory;
    for (const auto& file : files) {
        if (file.folder_name.size() >= kNameWidth || file.file_name.size() >= kNameWidth) {
            return fail("name longer than 127 bytes: " + file.folder_name + "/" + file.file_name);
        }
        if (file.contents.size() > 0xFFFFFFFFu) return fail("file of 4 GiB or more: " + file.file_name);
        const std::string stream = CompressStream(file.contents);
        const std::size_t offset = package.size();
        if (offset + stream.size() > 0xFFFFFFFFu) return fail("package of 4 GiB or more");
        package += stream;
        directory +=
            EncodeEntry(static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(file.contents.size()),
                        static_cast<std::uint32_t>(stream.size()), file.folder_name, file.file_name);
    }
    if (!files.empty()) {
        if (package.size() + directory.size() > 0xFFFFFFFFu) return fail("package of 4 GiB or more");
        const auto offset = static_cast<std::uint32_t>(package.size());
        for (int i = 0; i < 4; ++i)
            package[static_cast<std::size_t>(i)] = static_cast<char>((offset >> (8 * i)) & 0xFF);
        package += directory;
    }
    return package;
}

}  // namespace velmor::updater
