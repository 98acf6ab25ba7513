#include "velmor/shell/help_texts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

TEST(HelpStatusText, LocalLinksShowTheirPathBelowTheProgramFolder) {
    const std::filesystem::path folder = "/Opt/Velmor Tools";
    EXPECT_EQ(HelpStatusText("file:///Opt/Velmor Tools/help/help.htm", folder), "/help/help.htm...");
    // Both sides are compared lower-cased, so capitals on either side do not matter.
    EXPECT_EQ(HelpStatusText("FILE:///opt/velmor tools/help/RULES.htm", folder), "/help/rules.htm...");
    EXPECT_EQ(HelpStatusText("file:///Opt/Velmor Tools/help/tools.htm#Run", "/Opt/Velmor Tools/"),
              "/help/tools.htm#run...");
    // A file outside the program folder keeps its whole address.
    EXPECT_EQ(HelpStatusText("file:///usr/share/doc/Readme.html", folder),
              "file:///usr/share/doc/readme.html...");
    EXPECT_EQ(HelpStatusText("file://server/Opt/Velmor Tools/x.htm", folder),
              "file://server/opt/velmor tools/x.htm...");
}

TEST(HelpStatusText, LoadedEmptyAndOtherTexts) {
    EXPECT_EQ(HelpStatusText("완료", "/p"), "도움말 파일 로딩 완료");
    EXPECT_EQ(HelpStatusText("", "/p"), std::nullopt);
    EXPECT_EQ(HelpStatusText("HTTP://WWW.Velmor.Example/Index.HTML", "/p"),
              "http://www.velmor.example/index.html");
    EXPECT_EQ(HelpStatusText("Mailto:Help@Velmor.Example", "/p"), "mailto:help@velmor.example");
    EXPECT_EQ(HelpStatusText("로딩 중 ABC", "/p"), "로딩 중 abc");
}

TEST(AboutText, DesignedLinesWithTheVersion) {
    const std::string text = AboutText();
    EXPECT_EQ(text.find("xxxxx"), std::string::npos);
    EXPECT_NE(std::string(AboutDesignText()).find("\txxxxx\r\n"), std::string::npos);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (auto end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    EXPECT_EQ(start, text.size()) << "every line ends in CR LF";
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "Torvane (Velmor)");
    EXPECT_FALSE(lines[2].empty());
    EXPECT_FALSE(lines[3].empty());
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5], "버전:  \t1.0703.01");
    EXPECT_EQ(lines[6], "작성일: \t2004/7/10");
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(lines[8].rfind("경고:  ", 0), 0u);
    EXPECT_EQ(lines[9], "");
    EXPECT_FALSE(lines[10].empty());
    EXPECT_FALSE(lines[11].empty());
    EXPECT_EQ(lines[12], "");
    EXPECT_EQ(lines[13].rfind("문의: ", 0), 0u);
    EXPECT_NE(lines[13].find("http://"), std::string::npos);
    EXPECT_EQ(lines.size(), 14u);
}

// The local files that a page links to or shows (href and src values without a scheme), without
// their "#..." part.
std::vector<std::string> LocalReferences(const std::string& html) {
    std::vector<std::string> found;
    for (const std::string attribute : {"href=\"", "src=\""}) {
        for (auto at = html.find(attribute); at != std::string::npos; at = html.find(attribute, at + 1)) {
            const auto begin = at + attribute.size();
            const auto end = html.find('"', begin);
            if (end == std::string::npos) break;
            std::string target = html.substr(begin, end - begin);
            target = target.substr(0, target.find('#'));
            if (!target.empty() && target.find(':') == std::string::npos) found.push_back(target);
        }
    }
    return found;
}

// The shipped pages: every page reachable from the start page, every local link and picture
// present, each page in Korean with a title.
TEST(HelpPages, ShippedInTheProgramFolderWithWorkingLinks) {
    const auto help = test::BuiltProgramFolder() / "help";
    ASSERT_TRUE(std::filesystem::exists(HelpStartPage(test::BuiltProgramFolder()))) << help;
    std::set<std::string> seen;
    std::vector<std::string> pending = {"help.htm"};
    while (!pending.empty()) {
        const std::string page = pending.back();
        pending.pop_back();
        if (!seen.insert(page).second) continue;
        const std::string html = test::ReadBytes(help / page);
        ASSERT_FALSE(html.empty()) << page;
        EXPECT_NE(html.find("<title>"), std::string::npos) << page;
        EXPECT_NE(html.find("charset=\"utf-8\""), std::string::npos) << page;
        EXPECT_NE(html.find("도움말"), std::string::npos) << page;
        for (const std::string& target : LocalReferences(html)) {
            EXPECT_TRUE(std::filesystem::exists(help / target)) << page << " -> " << target;
            if (target.ends_with(".htm")) pending.push_back(target);
        }
    }
    // Every topic page is reachable.
    for (const char* page :
         {"tabs.htm", "rules.htm", "blocking.htm", "tools.htm", "privileges.htm", "update.htm"}) {
        EXPECT_TRUE(seen.count(page)) << page;
    }
    // The privileges page gives the command that the start script runs.
    const std::string privileges = test::ReadBytes(help / "privileges.htm");
    EXPECT_NE(privileges.find("setcap cap_net_admin,cap_net_bind_service+ep"), std::string::npos);
    const char* source = std::getenv("VELMOR_SOURCE_DIR");
    const std::filesystem::path tree =
        source ? std::filesystem::path(source)
               : std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    const std::string script = test::ReadBytes(tree / "scripts/run.sh");
    EXPECT_NE(script.find("setcap cap_net_admin,cap_net_bind_service+ep"), std::string::npos);
    // By default the script starts the guard, and Velmor without rights.
    EXPECT_NE(script.find("velmor-guard"), std::string::npos);
    EXPECT_NE(privileges.find("velmor-guard"), std::string::npos);
}

}  // namespace
}  // namespace velmor::shell
