#pragma once

namespace velmor::rules {

// Columns of the address list ListViewWatchIP and of the port list ListViewWatchPORT, which the
// monitoring cycle fills and the list commands edit. The columns from kProgram on are notes of who
// is talking (ListModel::SetNote): the programs of the address's connections and the bytes it
// received and sent (whole numbers, or "-" where nothing was counted); the program of a port.
namespace watch_ip {
inline constexpr int kAddress = 0, kCount = 1, kVerdict = 2, kInfo = 3, kProgram = 4, kReceived = 5,
                     kSent = 6, kColumns = 7;
}
namespace watch_port {
inline constexpr int kAddress = 0, kPort = 1, kProgram = 2, kColumns = 3;
}

}  // namespace velmor::rules
