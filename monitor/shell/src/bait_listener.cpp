#include "velmor/shell/bait_listener.h"

#include <algorithm>

#include "velmor/guard/guard_link.h"
#include "velmor/platform/listen_backlog.h"

namespace velmor::shell {

BaitListener::BaitListener(QObject* parent) : QObject(parent) {
    server_.setObjectName(QStringLiteral("WinsockUser_1"));
    server_.setListenBacklogSize(platform::MaxListenBacklog());
    connect(&server_, &QTcpServer::newConnection, this, &BaitListener::OnNewConnection);
    resume_timer_.setSingleShot(true);
    resume_timer_.setInterval(100);
    connect(&resume_timer_, &QTimer::timeout, this, [this] {
        paused_ = false;
        server_.resumeAccepting();
        OnNewConnection();
    });
}

BaitListener::~BaitListener() {
    Close();
}

bool BaitListener::Open(quint16 port) {
    Close();
    failure_ = Failure::None;
    // Dual-stack: one IPv6 socket that takes IPv4 connections too, so intruders of either family
    // meet the bait. A machine without IPv6 gets the IPv4-only listener.
    if (server_.listen(QHostAddress::Any, port)) return true;
    if (server_.serverError() != QAbstractSocket::AddressInUseError &&
        server_.serverError() != QAbstractSocket::SocketAccessError &&
        server_.listen(QHostAddress::AnyIPv4, port)) {
        return true;
    }
    switch (server_.serverError()) {
        case QAbstractSocket::AddressInUseError:
            failure_ = Failure::PortInUse;
            break;
        case QAbstractSocket::SocketAccessError:
            failure_ = Failure::NoPermission;
            break;
        default:
            failure_ = Failure::Other;
            break;
    }
    return false;
}

bool BaitListener::Adopt(int descriptor) {
    Close();
    failure_ = Failure::None;
    if (descriptor >= 0 && server_.setSocketDescriptor(descriptor)) return true;
    if (descriptor >= 0) guard::CloseDescriptor(descriptor);
    failure_ = Failure::Other;
    return false;
}

void BaitListener::Close() {
    resume_timer_.stop();
    paused_ = false;
    server_.close();
    for (const Held& held : held_) {
        if (held.socket) {
            held.socket->abort();
            held.socket->deleteLater();
        }
    }
    held_.clear();
}

std::size_t BaitListener::HeldConnections() const {
    return static_cast<std::size_t>(
        std::count_if(held_.begin(), held_.end(), [](const Held& held) { return !held.socket.isNull(); }));
}

bool BaitListener::MakeRoom() {
    std::erase_if(held_, [](const Held& held) { return held.socket.isNull(); });
    if (held_.size() < max_held_) return true;
    if (std::chrono::steady_clock::now() - held_.front().since < min_hold_) return false;
    if (QTcpSocket* oldest = held_.front().socket.data()) oldest->disconnectFromHost();
    held_.pop_front();
    return true;
}

void BaitListener::PauseAccepting() {
    paused_ = true;
    server_.pauseAccepting();
    resume_timer_.start();
}

void BaitListener::OnNewConnection() {
    while (server_.hasPendingConnections()) {
        if (!MakeRoom()) {
            // Closing a connection the monitor has not filed yet would hide its intruder.
            PauseAccepting();
            return;
        }
        QTcpSocket* socket = server_.nextPendingConnection();
        if (socket == nullptr) break;
        // Whatever the peer sends is dropped; a connection that ends (or is torn down) goes away.
        connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::errorOccurred, socket, [socket] { socket->deleteLater(); });
        held_.push_back({socket, std::chrono::steady_clock::now()});
    }
}

}  // namespace velmor::shell
