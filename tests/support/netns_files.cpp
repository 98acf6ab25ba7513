#include "velmor/test/netns_files.h"

#include <gtest/gtest.h>

#include <fstream>

namespace velmor::test {

NamespaceEtcFiles::NamespaceEtcFiles(const std::string& netns,
                                     const std::map<std::string, std::string>& files)
    : folder_(std::filesystem::path("/etc/netns") / netns) {
    if (netns.empty() || netns.find('/') != std::string::npos) {
        ADD_FAILURE() << "bad namespace name " << netns;
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) {
        ADD_FAILURE() << "cannot create " << folder_ << ": " << error.message();
        return;
    }
    for (const auto& [name, content] : files) {
        std::ofstream out(folder_ / name, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out.good()) {
            ADD_FAILURE() << "cannot write " << folder_ / name;
            return;
        }
    }
    ok_ = true;
}

NamespaceEtcFiles::~NamespaceEtcFiles() {
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
    // /etc/netns itself goes too when no other namespace uses it.
    std::filesystem::remove(folder_.parent_path(), error);
}

std::string NamespaceEtcFiles::LoopbackResolvConf() {
    return "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n";
}

}  // namespace velmor::test
