#include "velmor/shell/help_texts.h"

#include "velmor/common/text_rules.h"
#include "velmor/shell/startup.h"

namespace velmor::shell {
namespace {

void RemoveEvery(std::string& text, std::string_view part) {
    if (part.empty()) return;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at))
        text.erase(at, part.size());
}

void ReplaceEvery(std::string& text, std::string_view from, std::string_view to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::filesystem::path HelpStartPage(const std::filesystem::path& program_folder) {
    return program_folder / "help" / "help.htm";
}

std::optional<std::string> HelpStatusText(std::string_view text,
                                          const std::filesystem::path& program_folder) {
    if (text.empty()) return std::nullopt;
    std::string status = LowerAscii(text);
    // The program folder as it appears in a file address: '/' as separator and, on Linux, its
    // own leading '/' being the third slash of "file:///".
    std::string folder = LowerAscii(program_folder.generic_string());
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const std::string folder_tail = StartsWith(folder, "/") ? folder.substr(1) : folder;
    if (StartsWith(status, "file:///")) {
        RemoveEvery(status, "file:///" + folder_tail);
        status += "...";
    } else if (StartsWith(status, "file://")) {
        RemoveEvery(status, "file://" + folder);
        status += "...";
    } else if (status == kHelpLoadedStatus) {
        status = kHelpLoadedText;
    }
    return status;
}

std::string_view AboutDesignText() {
    return "\r\n"
           "Torvane (Velmor)\r\n"
           "Velmor 프로젝트 개발팀\r\n"
           "개인용 방화벽 · 실시간 연결 감시 프로그램\r\n"
           "\r\n"
           "버전:  \txxxxx\r\n"
           "작성일: \t2004/7/10\r\n"
           "\r\n"
           "경고:  이 프로그램은 저작권법과 국제 조약의 보호를 받습니다.\r\n"
           "\r\n"
           "Velmor 프로젝트의 허락 없이 이 프로그램의 전부 또는 일부를 복제하거나 배포하면\r\n"
           "민사상 손해 배상을 청구받거나 법에 따라 형사 처벌을 받을 수 있습니다.\r\n"
           "\r\n"
           "문의: http://www.velmor.example/ (Velmor 프로젝트 누리집)\r\n";
}

std::string AboutText() {
    std::string text(AboutDesignText());
    ReplaceEvery(text, "xxxxx", kVersion);
    return text;
}

}  // namespace velmor::shell
