#pragma once

#include <cstdio>
#include <filesystem>

namespace velmor::platform {

// File opening for the data files in the program folder (rule files, the exchange file, the
// hand-over file). Anyone who can write that folder can put links, FIFOs or devices there; these
// calls never follow a link at the last path component and never block on a special file.

// Opens an existing file for reading; nullptr unless `path` itself is a regular file (a link, a
// FIFO, a folder or a device is refused without waiting for a writer).
std::FILE* OpenRegularForReading(const std::filesystem::path& path);

// Creates `path` (`exclusive`: fails when the name exists) or truncates it, for writing. A link at
// `path` is refused, dangling or not, so nothing is ever created or written outside the folder;
// so is anything that is not a regular file.
std::FILE* OpenRegularForWriting(const std::filesystem::path& path, bool exclusive);

// True when the entry `path` itself is a regular file: a link is asked about, never followed, so a
// link to a regular file is not one. One lstat; nothing is opened.
bool IsRegularEntry(const std::filesystem::path& path);

}  // namespace velmor::platform
