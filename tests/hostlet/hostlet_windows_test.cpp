// The built hostlet.exe: started detached as the lookup cycle starts it, it resolves through
// Winsock and leaves the exchange file beside itself in the system's code page.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "velmor/platform/process.h"
#include "velmor/platform/resolver.h"
#include "velmor/test/temp_dir.h"

namespace velmor::test {
namespace {

namespace fs = std::filesystem;

class HostletRun : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path built = BuiltProgramFolder() / "hostlet.exe";
        ASSERT_TRUE(fs::exists(built)) << built;
        fs::copy_file(built, folder / "hostlet.exe");
    }

    // Starts the copy by its name without extension, as the cycle names it, and waits for its answer.
    std::string Run(const std::vector<std::string>& arguments) {
        EXPECT_TRUE(platform::StartDetached(folder / "hostlet", arguments));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (platform::ReapDetachedChildren() > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(platform::ReapDetachedChildren(), 0) << "hostlet did not end";
        if (!fs::exists(folder / "Hostlet.tmp")) return "(no file)";
        return ReadBytes(folder / "Hostlet.tmp");
    }

    TempDir folder;
};

TEST_F(HostletRun, ResolvesTheLoopbackAddressThroughWinsock) {
    const auto name = platform::ReverseLookupIpv4(*platform::ParseIpv4Text("127.0.0.1"));
    ASSERT_TRUE(name) << "the system knows no name for 127.0.0.1";
    EXPECT_EQ(Run({"127.0.0.1"}), "127.0.0.1 ==> " + *name + "\r\n");
    // Wrapped in quotes, the same address; the old answer is replaced.
    EXPECT_EQ(Run({"\"127.0.0.1\""}), "127.0.0.1 ==> " + *name + "\r\n");
}

TEST_F(HostletRun, AnArgumentThatIsNoAddressIsAnsweredWithADashInCp949) {
    // "주소" (address) arrives whole through the UTF-16 command line and is written in code page 949.
    EXPECT_EQ(Run({"\xEC\xA3\xBC\xEC\x86\x8C"}), "\xC1\xD6\xBC\xD2 ==> -\r\n");
    EXPECT_EQ(Run({"255.255.255.255"}), "255.255.255.255 ==> -\r\n");
}

TEST_F(HostletRun, AnEmptyArgumentWritesNothing) {
    EXPECT_EQ(Run({"\"\""}), "(no file)");
}

}  // namespace
}  // namespace velmor::test
