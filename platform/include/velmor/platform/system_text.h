#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::platform {

// The programs keep their texts in UTF-8. What they exchange with the system in 8-bit form goes
// through here: on Linux the locale is UTF-8 and every call passes the bytes as they are; on
// Windows text files are in the ANSI code page (949 on Korean Windows) and file names and command
// lines are UTF-16.

// A text in the system's 8-bit code page, as text files hold it. Characters the code page lacks
// become '?'.
std::string ToSystemText(std::string_view text);

// A text file's bytes, read in the system's 8-bit code page, as UTF-8 (on Linux the same string,
// moved).
std::string FromSystemText(std::string bytes);

// The path that a UTF-8 text names (std::filesystem would read a narrow text on Windows in
// another code page).
std::filesystem::path PathFromText(std::string_view text);

// The arguments after the program's name, in UTF-8 (on Windows from the UTF-16 command line, so
// that names outside the code page survive).
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace velmor::platform
