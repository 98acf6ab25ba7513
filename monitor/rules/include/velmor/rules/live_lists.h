#pragma once

namespace velmor::rules {

// Columns of the address list ListViewWatchIP and of the port list ListViewWatchPORT, which the
// monitoring cycle fills and the list commands edit.
namespace watch_ip {
inline constexpr int kAddress = 0, kCount = 1, kVerdict = 2, kInfo = 3, kColumns = 4;
}
namespace watch_port {
inline constexpr int kAddress = 0, kPort = 1, kColumns = 2;
}

}  // namespace velmor::rules
