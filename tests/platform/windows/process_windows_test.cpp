// Starting a non-program through the shell, and this machine's names through GetNetworkParams.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <chrono>
#include <thread>

#include "velmor/platform/local_info.h"
#include "velmor/platform/process.h"
#include "velmor/platform/resolver.h"
#include "velmor/test/temp_dir.h"

namespace velmor::platform {
namespace {

TEST(WindowsProcess, ABatchFileIsOpenedThroughTheShellWithItsArgumentsInItsFolder) {
    test::TempDir folder;
    test::WriteBytes(folder / "probe.bat", "@echo %1 %~2> started.txt\r\n");
    ASSERT_TRUE(StartDetached(folder / "probe.bat", {"first", "with blank"}, folder.path()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::exists(folder / "started.txt") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    while (ReapDetachedChildren() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(test::ReadBytes(folder / "started.txt"), "first with blank\r\n");
    EXPECT_FALSE(StartDetached(folder / "missing.exe", {}));
}

TEST(WindowsLocalInfo, NamesTheHostAndAnAddressOfAnAdapterThatIsUp) {
    const LocalInfo info = ReadLocalInfo();
    WSADATA data{};
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name), 0);
    ::WSACleanup();
    EXPECT_EQ(info.host_name, name);
    EXPECT_TRUE(ParseIpv4Text(info.address)) << info.address;
    EXPECT_EQ(info.domain, GetLocalDomainName());
}

}  // namespace
}  // namespace velmor::platform
