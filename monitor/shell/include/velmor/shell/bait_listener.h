#pragma once

#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <deque>

namespace velmor::shell {

// The bait listener on local TCP port 80 (WinsockUser element 1). Nothing legitimate talks to a
// desktop's port 80, so the monitor files whoever does as an intruder. Connections are accepted and
// held open, without answering, so that they stay in the connection table until the monitor has seen
// and torn them down; the oldest held one is dropped past a cap.
class BaitListener final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BaitListener)
public:
    enum class Failure { None, PortInUse, NoPermission, Other };
    static constexpr quint16 kPort = 80;
    static constexpr std::size_t kMaxHeld = 256;

    explicit BaitListener(QObject* parent = nullptr);
    ~BaitListener() override;

    // SetPortListener(true): listens on `port` of every IPv4 and IPv6 address (IPv4 only where the
    // machine has no IPv6). False (and LastFailure) when the
    // port is taken or may not be bound; then no listener exists.
    bool Open(quint16 port = kPort);
    // Listens on a socket that is already listening (the one velmor-guard hands over, dual stack on
    // port 80); takes the descriptor over, and closes it on failure.
    bool Adopt(int descriptor);
    // SetPortListener(false): closes the listener and every held connection.
    void Close();

    bool IsListening() const { return server_.isListening(); }
    quint16 Port() const { return server_.serverPort(); }
    Failure LastFailure() const { return failure_; }
    std::size_t HeldConnections() const;

private:
    void OnNewConnection();

    QTcpServer server_;
    std::deque<QPointer<QTcpSocket>> held_;
    Failure failure_ = Failure::None;
};

}  // namespace velmor::shell
