#include "velmor/hostlet/hostlet.h"

#include <gtest/gtest.h>

#include "velmor/common/text_file.h"
#include "velmor/test/temp_dir.h"

namespace velmor::hostlet {
namespace {

TEST(HostletTest, ArgumentTextJoinsArgumentsAndDropsEveryDoubleQuote) {
    EXPECT_EQ(ArgumentText({}), "");
    EXPECT_EQ(ArgumentText({"10.1.2.3"}), "10.1.2.3");
    EXPECT_EQ(ArgumentText({"\"10.1.2.3\""}), "10.1.2.3");
    EXPECT_EQ(ArgumentText({"\"10.1", "2.3\""}), "10.1 2.3");
    EXPECT_EQ(ArgumentText({"\"\"", "\""}), " ") << "only quotes go; the joining blank stays";
    EXPECT_EQ(ArgumentText({""}), "");
    EXPECT_EQ(ArgumentText({"a'b", " c "}), "a'b  c ");
}

TEST(HostletTest, OnlyPlausibleNamesArePassedOn) {
    for (const std::string_view name : {"pc-01", "PC-01.example.org", "a_b", "x", "1.2.3.4.in-addr.arpa"}) {
        EXPECT_TRUE(IsPlausibleHostName(name)) << name;
        EXPECT_EQ(ResultOf(name), name);
    }
    const std::string longest(253, 'a');
    EXPECT_TRUE(IsPlausibleHostName(longest));
    EXPECT_FALSE(IsPlausibleHostName(longest + "a"));
    for (const std::string_view name :
         {"", "pc 01", "pc|01", "pc-01\r", "pc-01\n", "pc\t01", "한국.kr", "a/b"}) {
        EXPECT_FALSE(IsPlausibleHostName(name)) << "[" << name << "]";
        EXPECT_EQ(ResultOf(name), "-");
    }
    EXPECT_EQ(ResultOf("ERROR"), "-");
}

class HostletMainTest : public ::testing::Test {
protected:
    int Run(const std::vector<std::string>& arguments, std::string answer = "pc-01") {
        return HostletMain(arguments, folder.path(), [&](std::string_view text) {
            looked_up.emplace_back(text);
            return answer;
        });
    }
    std::filesystem::path Exchange() const { return folder / "Hostlet.tmp"; }
    std::size_t FilesInFolder() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder.path()),
                                                      std::filesystem::directory_iterator()));
    }

    test::TempDir folder;
    std::vector<std::string> looked_up;
};

TEST_F(HostletMainTest, WritesOneLineWithTheResultAndReplacesAnEarlierFile) {
    test::WriteBytes(Exchange(), "192.168.100.100 ==> an-earlier-and-much-longer-answer\r\nsecond line\r\n");
    EXPECT_EQ(Run({"\"10.1.2.3\""}), 0);
    EXPECT_EQ(looked_up, std::vector<std::string>{"10.1.2.3"}) << "the quotes are gone before the lookup";
    EXPECT_EQ(test::ReadBytes(Exchange()), "10.1.2.3 ==> pc-01\r\n");
    EXPECT_EQ(FilesInFolder(), 1u) << "no temporary file is left beside it";

    EXPECT_EQ(Run({"10.1.2.4"}, "ERROR"), 0);
    EXPECT_EQ(test::ReadBytes(Exchange()), "10.1.2.4 ==> -\r\n");
    // A name that would break the one-line files it travels into is not passed on.
    EXPECT_EQ(Run({"10.1.2.5"}, "evil|name\r\n1|10.1.2.5|x"), 0);
    EXPECT_EQ(test::ReadBytes(Exchange()), "10.1.2.5 ==> -\r\n");
}

TEST_F(HostletMainTest, EmptyArgumentEndsWithoutLookupOrFile) {
    for (const auto& arguments : {std::vector<std::string>{}, std::vector<std::string>{""},
                                  std::vector<std::string>{"\"\""}, std::vector<std::string>{"\"", "\""}}) {
        EXPECT_EQ(Run(arguments), 0);
    }
    // Two quote-only arguments still leave their joining blank: that is a text, and it is looked up.
    EXPECT_EQ(looked_up, std::vector<std::string>{" "});
    looked_up.clear();
    std::filesystem::remove(Exchange());
    EXPECT_EQ(Run({"\"\""}), 0);
    EXPECT_TRUE(looked_up.empty());
    EXPECT_FALSE(IsRegularFile(Exchange()));
}

TEST_F(HostletMainTest, UnwritableFolderEndsWithFailureAndNoFile) {
    const std::vector<std::string> arguments{"10.1.2.3"};
    const std::filesystem::path missing = folder / "gone";
    const int status = HostletMain(arguments, missing, [](std::string_view) { return std::string("pc-01"); });
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace
}  // namespace velmor::hostlet
