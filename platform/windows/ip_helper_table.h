#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
// Separate block: iphlpapi.h needs the Winsock headers first.
#include <iphlpapi.h>

#include <functional>
#include <memory>

#include "velmor/platform/connection_table.h"

// The IP Helper connection table with the teardown call handed in, for the tests that watch what
// reaches SetTcpEntry. Internal to platform/windows and its tests.
namespace velmor::platform::windows {

using SetTcpEntryCall = std::function<DWORD(MIB_TCPROW& row)>;

std::unique_ptr<ConnectionTable> MakeIpHelperConnectionTable(SetTcpEntryCall set_tcp_entry);

}  // namespace velmor::platform::windows
