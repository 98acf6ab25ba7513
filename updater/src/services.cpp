#include "velmor/updater/services.h"

#include <thread>

namespace velmor::updater {
namespace {

class RealClock final : public Clock {
public:
    void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

}  // namespace velmor::updater
