#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "velmor/fetchel/fetchel_core.h"

namespace velmor::fetchel {

// Posts one percentage to the window (or nothing, without one).
using Progress = std::function<void(std::int32_t percent)>;

// The internet library's set-up for the whole run; false when it cannot start (exit status 1).
bool StartInternet();
void EndInternet();

// Copies the internet source into `output`, counting 1024-byte reads and posting a percentage after
// every hundredth. True when the copy loop ended normally; the data written before an error stays
// in the file. One implementation per system: libcurl on Linux, WinINet on Windows.
bool CopyFromInternet(const Settings& settings, std::FILE* output, const Progress& progress);

// Copies the source into the output file and posts progress and the outcome to the window.
// Returns the exit status: 1 when the output file cannot be created, else 0 (the final
// notification tells success from failure).
int RunTransfer(const Settings& settings);

}  // namespace velmor::fetchel
