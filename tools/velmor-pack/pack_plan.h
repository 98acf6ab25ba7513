#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/updater/package_writer.h"

namespace velmor::pack {

// One file of the package to be: where it comes from and the name it is stored under, with '\'
// between folders ("support\fetchel").
struct PlannedFile {
    std::filesystem::path source;
    std::string folder_name;
    std::string file_name;
};

// Turns command-line sources into the files of a package. A source is "PATH" or "PATH=STORED":
// a folder contributes every regular file of its tree (stored under STORED when given), a file is
// stored as STORED or under its own name. Entries are ordered so that a folder's parent folder is
// created by an earlier entry whenever the package holds files there. Errors go to `error`.
std::optional<std::vector<PlannedFile>> PlanSources(const std::vector<std::string>& sources,
                                                    std::string* error);

// Folders the unpacker would have to create two levels deep at once (it creates one level per
// entry): a stored folder whose parent no earlier entry creates. They must exist on the target.
std::vector<std::string> FoldersNeedingParent(const std::vector<PlannedFile>& files);

// The update-information page for a package: the "<!--" marker, then the four bracketed values
// (label, address, size, and the base64 Ed25519 signature of the package file).
std::string UpdatePageText(std::string_view label, std::string_view package_url, std::uint64_t package_size,
                           std::string_view signature);

// A regular expression (PCRE and ECMAScript alike) that matches exactly the dotted decimal versions
// with as many parts as `version` that are older than it, comparing part by part as numbers.
// nullopt when `version` is not dotted decimal.
std::optional<std::string> OlderVersionPattern(std::string_view version);

}  // namespace velmor::pack
