#include "velmor/platform/terminal.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "velmor/test/temp_dir.h"

namespace velmor::platform {
namespace {

// Sets PATH for one test and puts the old value back.
class ScopedPath final {
public:
    explicit ScopedPath(const std::string& value) {
        if (const char* old = std::getenv("PATH")) old_ = old;
        ::setenv("PATH", value.c_str(), 1);
    }
    ~ScopedPath() {
        if (old_) {
            ::setenv("PATH", old_->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
    }

private:
    std::optional<std::string> old_;
};

TEST(FindExecutable, SearchesPathForExecutableFilesOnly) {
    test::TempDir dir;
    test::WriteBytes(dir / "one/tool", "#!/bin/sh\n");
    test::WriteBytes(dir / "two/tool", "#!/bin/sh\n");
    test::WriteBytes(dir / "two/plain", "not executable\n");
    std::filesystem::create_directories(dir / "two/folder");
    std::filesystem::permissions(dir / "two/tool", std::filesystem::perms::owner_all);
    std::filesystem::permissions(dir / "one/tool", std::filesystem::perms::owner_read);

    ScopedPath path((dir / "missing").string() + ":" + (dir / "one").string() + ":" + (dir / "two").string());
    // The first folder's file is not executable, so the second one's counts.
    EXPECT_EQ(FindExecutable("tool"), dir / "two/tool");
    EXPECT_EQ(FindExecutable("plain"), std::nullopt);
    EXPECT_EQ(FindExecutable("folder"), std::nullopt);
    EXPECT_EQ(FindExecutable(""), std::nullopt);
    // A name with a slash is a path and PATH is not searched.
    EXPECT_EQ(FindExecutable((dir / "two/tool").string()), dir / "two/tool");
    EXPECT_EQ(FindExecutable("two/tool"), std::nullopt);
}

TEST(EnvironmentValue, SetEmptyAndUnset) {
    ::setenv("VELMOR_TERMINAL_TEST", "xterm", 1);
    EXPECT_EQ(EnvironmentValue("VELMOR_TERMINAL_TEST"), "xterm");
    ::setenv("VELMOR_TERMINAL_TEST", "", 1);
    EXPECT_EQ(EnvironmentValue("VELMOR_TERMINAL_TEST"), "");
    ::unsetenv("VELMOR_TERMINAL_TEST");
    EXPECT_EQ(EnvironmentValue("VELMOR_TERMINAL_TEST"), std::nullopt);
}

}  // namespace
}  // namespace velmor::platform
