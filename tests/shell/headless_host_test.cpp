// The headless monitor's output: no cell can split a line or drive the terminal.
#include "velmor/shell/headless_host.h"

#include <gtest/gtest.h>

namespace velmor::shell {
namespace {

TEST(HeadlessOutputTest, ControlCharactersAndBackslashesAreEscaped) {
    EXPECT_EQ(EscapeControlCharacters("pc-01.example"), "pc-01.example");
    EXPECT_EQ(EscapeControlCharacters("\x1b[31mred\x1b[0m"), "\\x1b[31mred\\x1b[0m");
    EXPECT_EQ(EscapeControlCharacters("a\tb\r\nc"), "a\\x09b\\x0d\\x0ac");
    EXPECT_EQ(EscapeControlCharacters(std::string("nul\0x", 5)), "nul\\x00x");
    EXPECT_EQ(EscapeControlCharacters("del\x7f"), "del\\x7f");
    // A backslash is escaped too, so an escape in the output always stands for one byte.
    EXPECT_EQ(EscapeControlCharacters("\\x1b"), "\\x5cx1b");
    // UTF-8 text (the verdicts are Korean) passes as it is.
    EXPECT_EQ(EscapeControlCharacters("차단"), "차단");
    EXPECT_EQ(EscapeControlCharacters(""), "");
}

}  // namespace
}  // namespace velmor::shell
