#pragma once

#include "velmor/fetchel/fetchel_core.h"

namespace velmor::fetchel {

// Copies the source into the output file and posts progress and the outcome to the window.
// Returns the exit status: 1 when the output file cannot be created, else 0 (the final
// notification tells success from failure).
int RunTransfer(const Settings& settings);

}  // namespace velmor::fetchel
