#include "velmor/updater/services.h"

#include <thread>

#include "velmor/platform/process.h"

namespace velmor::updater {
namespace {

class RealClock final : public Clock {
public:
    void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

class RealProcessStarter final : public ProcessStarter {
public:
    bool Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) override {
        return platform::StartDetached(program, arguments);
    }
};

}  // namespace

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

ProcessStarter& SystemProcessStarter() {
    static RealProcessStarter starter;
    return starter;
}

}  // namespace velmor::updater
