#include "velmor/updater/services.h"

#include <thread>

namespace velmor::updater {
namespace {

class ThreadSleeper final : public Sleeper {
public:
    void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

Sleeper& SystemSleeper() {
    static ThreadSleeper sleeper;
    return sleeper;
}

}  // namespace velmor::updater
