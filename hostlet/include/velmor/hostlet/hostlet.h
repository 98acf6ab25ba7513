#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/engine/exchange_file.h"

namespace velmor::hostlet {

// The longest host name the helper passes on (the DNS limit for a name in text form).
inline constexpr std::size_t kMaxHostNameBytes = engine::kMaxHostNameBytes;

// The argument text: every argument joined by one blank, then every double quote removed.
std::string ArgumentText(const std::vector<std::string>& arguments);

// The exchange file's name rule (engine::IsPlausibleHostName): only ASCII letters, digits, '-',
// '.' and '_', 1 to 253 bytes long.
bool IsPlausibleHostName(std::string_view name);

// What the helper writes for a lookup result: the name itself, or "-" for "ERROR" and for a name
// that is not plausible.
std::string ResultOf(std::string_view lookup);

// Looks an address text up; the program passes IpToHostName, tests a fake.
using Lookup = std::function<std::string(std::string_view)>;

// The whole run of the helper: one reverse lookup of the argument text into the exchange file
// "Hostlet.tmp" of `program_folder`. An empty argument text ends at once without writing.
// The file is written beside the old one and renamed over it, so a reader never sees half a
// line. Returns the exit code: 0, or 1 when the file could not be written.
int HostletMain(const std::vector<std::string>& arguments, const std::filesystem::path& program_folder,
                const Lookup& lookup);

}  // namespace velmor::hostlet
