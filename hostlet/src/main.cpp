// Hostlet: one reverse name lookup per run, answered in the exchange file of the program folder.
// No output, no window; the main program starts it once a second for the next unnamed address.
#include <string>
#include <vector>

#include "velmor/engine/host_names.h"
#include "velmor/hostlet/hostlet.h"
#include "velmor/platform/program_folder.h"
#include "velmor/platform/system_text.h"

int main(int argc, char** argv) {
    return velmor::hostlet::HostletMain(
        velmor::platform::ProgramArguments(argc, argv), velmor::platform::ProgramFolder(),
        [](std::string_view text) { return velmor::engine::IpToHostName(text); });
}
