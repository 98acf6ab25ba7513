#include "velmor/test/scripted_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace velmor::test {

using platform::sockdiag::Transfer;

ScriptedChannel& ScriptedChannel::Datagram(const Bytes& datagram, std::uint32_t sender) {
    Step step;
    step.datagram = datagram;
    step.sender = sender;
    steps_.push_back(std::move(step));
    return *this;
}

ScriptedChannel& ScriptedChannel::Truncated(const Bytes& datagram) {
    Step step;
    step.datagram = datagram;
    step.truncated = true;
    steps_.push_back(std::move(step));
    return *this;
}

ScriptedChannel& ScriptedChannel::ReceiveFails(int error) {
    Step step;
    step.error = error;
    steps_.push_back(std::move(step));
    return *this;
}

ScriptedChannel& ScriptedChannel::SendFails(int error) {
    send_failures_.push_back(error);
    return *this;
}

ScriptedChannel& ScriptedChannel::RefuseOpen() {
    refuse_open_ = true;
    return *this;
}

bool ScriptedChannel::Open() {
    if (open_) return true;
    if (refuse_open_) return false;
    open_ = true;
    ++opens_;
    return true;
}

void ScriptedChannel::Close() {
    if (open_) ++closes_;
    open_ = false;
}

Transfer ScriptedChannel::Send(std::span<const std::byte> datagram) {
    Transfer result;
    if (!open_) {
        result.error = EBADF;
        return result;
    }
    if (!send_failures_.empty()) {
        const int error = send_failures_.front();
        send_failures_.pop_front();
        if (error != 0) {
            result.error = error;
        } else {
            result.length = static_cast<std::ptrdiff_t>(datagram.size()) - 1;
        }
        return result;
    }
    requests_.emplace_back(datagram.begin(), datagram.end());
    nlmsghdr header{};
    if (datagram.size() >= sizeof header) {
        std::memcpy(&header, datagram.data(), sizeof header);
        latest_sequence_ = header.nlmsg_seq;
    }
    result.length = static_cast<std::ptrdiff_t>(datagram.size());
    return result;
}

Transfer ScriptedChannel::Receive(std::span<std::byte> buffer, bool wait) {
    Transfer result;
    if (!open_) {
        result.error = EBADF;
        return result;
    }
    if (steps_.empty()) {
        if (wait) ++unscripted_;
        result.error = EAGAIN;
        return result;
    }
    Step step = std::move(steps_.front());
    steps_.pop_front();
    if (step.error != 0) {
        result.error = step.error;
        return result;
    }
    // Stamp the messages meant for the latest request, walking them as the kernel lays them out.
    for (std::size_t offset = 0; offset + sizeof(nlmsghdr) <= step.datagram.size();) {
        nlmsghdr header{};
        std::memcpy(&header, step.datagram.data() + offset, sizeof header);
        if (header.nlmsg_seq == kLatestRequest) {
            header.nlmsg_seq = latest_sequence_;
            std::memcpy(step.datagram.data() + offset, &header, sizeof header);
        }
        if (header.nlmsg_len < sizeof header) break;
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    const std::size_t length = std::min(buffer.size(), step.datagram.size());
    std::copy_n(step.datagram.begin(), length, buffer.begin());
    result.length = static_cast<std::ptrdiff_t>(length);
    result.truncated = step.truncated || step.datagram.size() > buffer.size();
    result.sender = step.sender;
    return result;
}

}  // namespace velmor::test
