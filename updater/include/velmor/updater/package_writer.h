#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::updater {

// One file to put into a package: where it goes (folder relative to the target, may be empty; the
// file name) and its bytes.
struct PackFile {
    std::string folder_name;
    std::string file_name;
    std::string contents;
};

// The 260-byte header and a 268-byte directory entry, exactly as they are stored. Names longer than
// their field less one byte are cut there, so the result always keeps its layout.
std::string EncodeHeader(std::uint32_t directory_offset, std::string_view launch_name);
std::string EncodeEntry(std::uint32_t data_offset, std::uint32_t unpacked_size, std::uint32_t compressed_size,
                        std::string_view folder_name, std::string_view file_name);

// One zlib stream (RFC 1950) of `contents`, as zlib's compress2 makes it.
std::string CompressStream(std::string_view contents, int level = 9);

// A whole package: header, the streams in order, then the directory. nullopt when it cannot be
// stored: more than 1024 files, a name that does not fit its field, or a package of 4 GiB or more.
std::optional<std::string> BuildPackage(std::string_view launch_name, const std::vector<PackFile>& files,
                                        std::string* error = nullptr);

}  // namespace velmor::updater
