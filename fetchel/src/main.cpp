// Fetchel: copies one internet address or local file into a file and reports progress to a window
// with posted messages. It prints nothing; its outputs are the file, the messages and its exit status.

#include <curl/curl.h>

#include <csignal>
#include <string_view>
#include <vector>

#include "transfer.h"
#include "velmor/fetchel/fetchel_core.h"

int main(int argc, char** argv) {
    // An output that is a pipe closed by its reader fails the write instead of ending the program.
    std::signal(SIGPIPE, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;

    std::vector<std::string_view> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    const auto settings = velmor::fetchel::ParseArguments(arguments);
    if (!settings) return 1;
    const int status = velmor::fetchel::RunTransfer(*settings);
    curl_global_cleanup();
    return status;
}
