// Prints HostNameToIp ("forward NAME") or IpToHostName ("reverse ADDRESS") of its arguments, one
// answer a line.
#include <iostream>
#include <string_view>

#include "velmor/engine/host_names.h"

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view how = argv[i];
        const std::string_view text = argv[i + 1];
        if (how == "forward") {
            std::cout << velmor::engine::HostNameToIp(text) << '\n';
        } else if (how == "reverse") {
            std::cout << velmor::engine::IpToHostName(text) << '\n';
        } else {
            std::cout << "?\n";
        }
    }
    return 0;
}
