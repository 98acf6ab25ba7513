#include "end_signal_notifier.h"

#include "velmor/platform/end_signals.h"

namespace velmor::platform {

EndSignalNotifier::EndSignalNotifier(QObject* parent) : QObject(parent) {
    const int descriptor = EndSignalDescriptor();
    if (descriptor < 0) return;
    notifier_ = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        if (const int number = TakeEndSignal(); number != 0) Q_EMIT endRequested(number);
    });
}

EndSignalNotifier::~EndSignalNotifier() = default;

}  // namespace velmor::platform
