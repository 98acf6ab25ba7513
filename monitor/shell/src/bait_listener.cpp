#include "velmor/shell/bait_listener.h"

#include <algorithm>

#include "velmor/guard/guard_link.h"

namespace velmor::shell {

BaitListener::BaitListener(QObject* parent) : QObject(parent) {
    server_.setObjectName(QStringLiteral("WinsockUser_1"));
    connect(&server_, &QTcpServer::newConnection, this, &BaitListener::OnNewConnection);
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
    server_.close();
    for (const auto& socket : held_) {
        if (socket) {
            socket->abort();
            socket->deleteLater();
        }
    }
    held_.clear();
}

std::size_t BaitListener::HeldConnections() const {
    return static_cast<std::size_t>(
        std::count_if(held_.begin(), held_.end(), [](const auto& s) { return !s.isNull(); }));
}

void BaitListener::OnNewConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        // Whatever the peer sends is dropped; a connection that ends (or is torn down) goes away.
        connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::errorOccurred, socket, [socket] { socket->deleteLater(); });
        std::erase_if(held_, [](const auto& s) { return s.isNull(); });
        if (held_.size() >= kMaxHeld) {
            if (held_.front()) {
                held_.front()->abort();
                held_.front()->deleteLater();
            }
            held_.pop_front();
        }
        held_.emplace_back(socket);
    }
}

}  // namespace velmor::shell
