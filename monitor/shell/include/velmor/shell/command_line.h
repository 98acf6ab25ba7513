#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace velmor::shell {

// The usage that `velmor --help` prints.
std::string UsageText();

// `--help` (`-h`) and `--version` (`-V`) anywhere on the command line: prints the usage or
// "velmor VERSION" to `out` and gives the exit status 0, before anything starts (no application, no
// single-instance claim, no window). nullopt when neither is asked for.
std::optional<int> AnswerInfoOption(int argc, char** argv, std::ostream& out);

}  // namespace velmor::shell
