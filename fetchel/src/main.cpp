// Fetchel: copies one internet address or local file into a file and reports progress to a window
// with posted messages. It prints nothing; its outputs are the file, the messages and its exit status.

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "transfer.h"
#include "velmor/fetchel/fetchel_core.h"
#include "velmor/platform/system_text.h"

int main(int argc, char** argv) {
#ifdef SIGPIPE
    // An output that is a pipe closed by its reader fails the write instead of ending the program.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (!velmor::fetchel::StartInternet()) return 1;

    const std::vector<std::string> texts = velmor::platform::ProgramArguments(argc, argv);
    const std::vector<std::string_view> arguments(texts.begin(), texts.end());
    const auto settings = velmor::fetchel::ParseArguments(arguments);
    if (!settings) return 1;
    const int status = velmor::fetchel::RunTransfer(*settings);
    velmor::fetchel::EndInternet();
    return status;
}
