#include <QCoreApplication>
#include <cstring>
#include <iostream>

#include "velmor/platform/program_folder.h"
#include "velmor/shell/headless_host.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    velmor::shell::HeadlessOptions options;
    std::string error;
    if (!velmor::shell::ParseHeadlessOptions(argc, argv, options, error)) {
        std::cerr << "velmor: " << error << "\nusage: velmor --headless [--auto-block=on|off] [--block-internet]"
                  << " [--hidden] [--quiet]\n";
        return 2;
    }
    velmor::shell::HeadlessHost host(velmor::platform::ProgramFolder(), options);
    return QCoreApplication::exec();
}
