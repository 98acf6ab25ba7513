#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Texts of the help and About windows that do not depend on widgets.
namespace velmor::shell {

// P/help/help.htm
std::filesystem::path HelpStartPage(const std::filesystem::path& program_folder);

// The status-bar text of the help window for a new browser status text `text`: nullopt for an
// empty text (the bar keeps what it shows). The text is lower-cased; a local link (a file address
// of the program folder, compared without regard to case) shows as its path below the program
// folder followed by "..."; "완료" becomes "도움말 파일 로딩 완료".
std::optional<std::string> HelpStatusText(std::string_view text, const std::filesystem::path& program_folder);

inline constexpr std::string_view kHelpLoadedStatus = "완료";
inline constexpr std::string_view kHelpLoadedText = "도움말 파일 로딩 완료";

// The About text as designed, lines ended by CR LF, with "xxxxx" where the version goes.
std::string_view AboutDesignText();
// The About text as loaded: every "xxxxx" replaced by the version constant.
std::string AboutText();

}  // namespace velmor::shell
