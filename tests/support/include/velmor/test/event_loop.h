#pragma once

#include <chrono>
#include <functional>

// Waiting on Qt's event loop in tests: the loop runs in short slices while the test polls for what
// it waits for. Needs a QCoreApplication (or QApplication) and the library velmor_test_qt.
namespace velmor::test {

// Runs the event loop until `done` holds or `limit` has passed; whether `done` holds at the end.
bool ProcessEventsUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds limit = std::chrono::seconds(5));

// Runs the event loop for `time`, whatever happens.
void ProcessEventsFor(std::chrono::milliseconds time);

}  // namespace velmor::test
