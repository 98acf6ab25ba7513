#pragma once

#include <QObject>
#include <QSocketNotifier>

namespace velmor::platform {

// SIGTERM, SIGINT and SIGHUP through the Qt event loop (EndSignalDescriptor): the signal
// endRequested() stands for a request to end the program, to be handled like a posted close.
class EndSignalNotifier final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EndSignalNotifier)

public:
    explicit EndSignalNotifier(QObject* parent = nullptr);
    ~EndSignalNotifier() override;

    bool isActive() const { return notifier_ != nullptr; }

Q_SIGNALS:
    void endRequested(int signal_number);

private:
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace velmor::platform
