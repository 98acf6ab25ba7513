#pragma once

#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <deque>

#include "velmor/guard/protocol.h"

namespace velmor::shell {

// The bait listener on local TCP port 80 (WinsockUser element 1). Nothing legitimate talks to a
// desktop's port 80, so the monitor files whoever does as an intruder. Connections are accepted and
// held open, without answering, so that they stay in the connection table until the monitor has seen
// and torn them down. Past a cap the oldest held one is closed, but only once it has been held long
// enough for the monitor to have filed it; until then the listener stops accepting, and newcomers
// wait in the kernel's accept queue, still in the table.
class BaitListener final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BaitListener)
public:
    enum class Failure { None, PortInUse, NoPermission, Other };
    static constexpr std::size_t kMaxHeld = 256;
    static constexpr std::chrono::milliseconds kMinHold{5000};

    explicit BaitListener(QObject* parent = nullptr);
    ~BaitListener() override;

    // SetPortListener(true): listens on `port` of every IPv4 and IPv6 address (IPv4 only where the
    // machine has no IPv6). False (and LastFailure) when the
    // port is taken or may not be bound; then no listener exists.
    bool Open(quint16 port = guard::kBaitPort);
    // Listens on a socket that is already listening (the one velmor-guard hands over, dual stack on
    // port 80); takes the descriptor over, and closes it on failure.
    bool Adopt(int descriptor);
    // SetPortListener(false): closes the listener and every held connection.
    void Close();

    bool IsListening() const { return server_.isListening(); }
    quint16 Port() const { return server_.serverPort(); }
    Failure LastFailure() const { return failure_; }
    std::size_t HeldConnections() const;
    bool Accepting() const { return !paused_; }
    // The cap and the shortest hold before a held connection may be closed for a newcomer.
    void SetLimits(std::size_t max_held, std::chrono::milliseconds min_hold) {
        max_held_ = max_held;
        min_hold_ = min_hold;
    }

private:
    void OnNewConnection();

    struct Held {
        QPointer<QTcpSocket> socket;
        std::chrono::steady_clock::time_point since;
    };
    // Room for a newcomer: the gone ones leave, and the oldest goes if it has been held long enough.
    bool MakeRoom();
    void PauseAccepting();

    QTcpServer server_;
    std::deque<Held> held_;
    std::size_t max_held_ = kMaxHeld;
    std::chrono::milliseconds min_hold_ = kMinHold;
    bool paused_ = false;
    QTimer resume_timer_;
    Failure failure_ = Failure::None;
};

}  // namespace velmor::shell
