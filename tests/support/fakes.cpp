#include "velmor/test/fakes.h"

#include <algorithm>
#include <cstring>

#include "velmor/platform/address_text.h"
#include "velmor/platform/resolver.h"

namespace velmor::test {
namespace {

// The families as the Linux kernel numbers them in its socket ids, whatever the system.
constexpr std::uint8_t kInet = 2;
constexpr std::uint8_t kInet6 = 10;

}  // namespace

std::uint32_t PortField(int port) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(port >> 8), static_cast<unsigned char>(port),
                                    0, 0};
    std::uint32_t field = 0;
    std::memcpy(&field, bytes, sizeof field);
    return field;
}

platform::TcpRow MakeRow(const std::string& local_address, int local_port, const std::string& remote_address,
                         int remote_port, std::uint32_t state) {
    platform::TcpRow row;
    row.dwState = state;
    row.dwLocalAddr = platform::ParseIpv4Text(local_address).value_or(0);
    row.dwRemoteAddr = platform::ParseIpv4Text(remote_address).value_or(0);
    row.dwLocalPort = PortField(local_port);
    row.dwRemotePort = PortField(remote_port);
    return row;
}

platform::TcpRow MakeRow6(const std::string& local_address, int local_port, const std::string& remote_address,
                          int remote_port, std::uint32_t state) {
    platform::TcpRow row;
    row.dwState = state;
    row.family = platform::AddressFamily::kIpv6;
    const platform::Ipv6Address local =
        platform::ParseIpv6Text(local_address).value_or(platform::Ipv6Address{});
    const platform::Ipv6Address remote =
        platform::ParseIpv6Text(remote_address).value_or(platform::Ipv6Address{});
    std::copy(local.begin(), local.end(), row.dwLocalAddr6);
    std::copy(remote.begin(), remote.end(), row.dwRemoteAddr6);
    row.dwLocalPort = PortField(local_port);
    row.dwRemotePort = PortField(remote_port);
    return row;
}

bool FakeConnectionTable::ReadTcp(platform::TcpTable& table) {
    ++tcp_reads;
    table.Clear();
    if (fail_reads) return false;
    for (std::size_t i = 0; i < tcp_rows.size(); ++i) {
        table.rows.push_back(tcp_rows[i]);
        platform::SocketId id;
        const std::uint64_t cookie = Cookie(i);
        id.cookie[0] = static_cast<std::uint32_t>(cookie);
        id.cookie[1] = static_cast<std::uint32_t>(cookie >> 32);
        if (tcp_rows[i].family == platform::AddressFamily::kIpv6) {
            id.family = kInet6;
            std::memcpy(id.source, tcp_rows[i].dwLocalAddr6, sizeof id.source);
            std::memcpy(id.destination, tcp_rows[i].dwRemoteAddr6, sizeof id.destination);
        } else {
            id.family = kInet;
            id.source[0] = tcp_rows[i].dwLocalAddr;
            id.destination[0] = tcp_rows[i].dwRemoteAddr;
        }
        id.source_port_be = static_cast<std::uint16_t>(tcp_rows[i].dwLocalPort);
        id.destination_port_be = static_cast<std::uint16_t>(tcp_rows[i].dwRemotePort);
        table.ids.push_back(id);
        if (i < tcp_details.size()) table.details.push_back(tcp_details[i]);
    }
    table.dwNumEntries = static_cast<std::uint32_t>(table.rows.size());
    return true;
}

std::uint64_t FakeConnectionTable::Cookie(std::size_t index) {
    const platform::TcpRow& row = tcp_rows.at(index);
    // A socket is its addresses and ports; its state may change.
    std::vector<std::uint32_t> key{static_cast<std::uint32_t>(row.family), row.dwLocalAddr, row.dwLocalPort,
                                   row.dwRemoteAddr, row.dwRemotePort};
    key.insert(key.end(), std::begin(row.dwLocalAddr6), std::end(row.dwLocalAddr6));
    key.insert(key.end(), std::begin(row.dwRemoteAddr6), std::end(row.dwRemoteAddr6));
    const auto number =
        socket_numbers_.try_emplace(key, static_cast<std::uint32_t>(socket_numbers_.size())).first;
    return (static_cast<std::uint64_t>(number->second) << 32) | static_cast<std::uint32_t>(index);
}

bool FakeConnectionTable::ReadUdp(platform::UdpTable& table) {
    table.dwNumEntries = fail_reads ? 0 : udp_rows;
    return !fail_reads;
}

void FakeConnectionTable::Destroy(std::span<const platform::SocketId> ids) {
    if (on_destroy) on_destroy();
    std::vector<std::size_t> gone;
    for (const platform::SocketId& id : ids) {
        const std::size_t index = id.cookie[0];
        if (index < tcp_rows.size()) {
            destroyed.push_back(tcp_rows[index]);
            gone.push_back(index);
        }
    }
    if (destroy_removes) {
        std::sort(gone.rbegin(), gone.rend());
        gone.erase(std::unique(gone.begin(), gone.end()), gone.end());
        for (std::size_t index : gone) tcp_rows.erase(tcp_rows.begin() + static_cast<std::ptrdiff_t>(index));
    }
}

void ScriptedDialogs::Tell(std::string_view text, Icon icon) {
    shown.push_back({"tell", std::string(text), icon, {}});
}

bool ScriptedDialogs::AskYesNo(std::string_view text) {
    shown.push_back({"ask", std::string(text), Icon::Information, {}});
    if (yes_no_answers.empty()) return false;
    const bool answer = yes_no_answers.front();
    yes_no_answers.pop_front();
    return answer;
}

std::optional<std::string> ScriptedDialogs::AskText(std::string_view prompt, std::string_view default_text) {
    shown.push_back({"input", std::string(prompt), Icon::Information, std::string(default_text)});
    if (text_answers.empty())
        return accept_defaults ? std::optional<std::string>(default_text) : std::nullopt;
    auto answer = text_answers.front();
    text_answers.pop_front();
    return answer;
}

}  // namespace velmor::test
