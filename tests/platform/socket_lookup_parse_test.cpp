// The answer to an exact-id sock_diag request, as hand-made byte buffers: a found socket, "gone",
// refusals, stale answers and damaged ones.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "velmor/platform/socket_lookup.h"

namespace velmor::platform::sockdiag {
namespace {

void Append(std::vector<std::byte>& bytes, std::uint16_t type, std::uint32_t sequence, const void* payload,
            std::size_t length) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(length));
    header.nlmsg_type = type;
    header.nlmsg_seq = sequence;
    const std::size_t start = bytes.size();
    bytes.resize(start + NLMSG_ALIGN(header.nlmsg_len));
    std::memcpy(bytes.data() + start, &header, sizeof header);
    std::memcpy(bytes.data() + start + NLMSG_HDRLEN, payload, length);
}

inet_diag_msg Message(std::uint8_t family, const char* local, const char* remote) {
    inet_diag_msg message{};
    message.idiag_family = family;
    message.idiag_state = 1;  // ESTABLISHED
    message.id.idiag_sport = htons(80);
    message.id.idiag_dport = htons(40000);
    ::inet_pton(family, local, message.id.idiag_src);
    ::inet_pton(family, remote, message.id.idiag_dst);
    message.id.idiag_if = 2;
    message.id.idiag_cookie[0] = 0xAABBCCDD;
    message.id.idiag_cookie[1] = 0x11;
    return message;
}

void AppendError(std::vector<std::byte>& bytes, std::uint32_t sequence, int error) {
    nlmsgerr answer{};
    answer.error = -error;
    Append(bytes, NLMSG_ERROR, sequence, &answer, sizeof answer);
}

TEST(LookupReply, TakesTheOneRowOfEachFamily) {
    SocketRow row;
    int error = -1;
    std::vector<std::byte> bytes;
    const inet_diag_msg v4 = Message(AF_INET, "10.77.0.1", "10.77.0.2");
    Append(bytes, SOCK_DIAG_BY_FAMILY, 7, &v4, sizeof v4);
    ASSERT_EQ(ParseLookupReply(bytes, 7, row, error), LookupReply::kFound);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(row.ipv4);
    EXPECT_EQ(row.linux_state, 1);
    EXPECT_EQ(row.row.dwState, 5u);
    EXPECT_EQ(row.row.dwLocalAddr, v4.id.idiag_src[0]);
    EXPECT_EQ(row.row.dwRemoteAddr, v4.id.idiag_dst[0]);
    EXPECT_EQ(row.row.dwLocalPort, htons(80));
    EXPECT_EQ(row.row.dwRemotePort, htons(40000));
    EXPECT_EQ(row.id.interface_index, 2u);
    EXPECT_EQ(row.id.cookie[0], 0xAABBCCDDu);
    EXPECT_EQ(row.id.cookie[1], 0x11u);

    bytes.clear();
    const inet_diag_msg mapped = Message(AF_INET6, "::ffff:10.77.0.1", "::ffff:10.77.0.2");
    Append(bytes, SOCK_DIAG_BY_FAMILY, 8, &mapped, sizeof mapped);
    ASSERT_EQ(ParseLookupReply(bytes, 8, row, error), LookupReply::kFound);
    EXPECT_TRUE(row.ipv4);
    EXPECT_EQ(row.id.family, AF_INET6);
    EXPECT_EQ(row.row.dwLocalAddr, v4.id.idiag_src[0]);
    EXPECT_EQ(row.row.dwRemoteAddr, v4.id.idiag_dst[0]);

    bytes.clear();
    const inet_diag_msg pure = Message(AF_INET6, "fd00:77::1", "fd00:77::2");
    Append(bytes, SOCK_DIAG_BY_FAMILY, 9, &pure, sizeof pure);
    ASSERT_EQ(ParseLookupReply(bytes, 9, row, error), LookupReply::kFound);
    EXPECT_FALSE(row.ipv4);
    EXPECT_EQ(row.row.dwLocalAddr, 0u);
    // The same row as a dump of the table gives for it.
    EXPECT_EQ(row.row.family, AddressFamily::kIpv6);
    EXPECT_EQ(std::memcmp(row.row.dwLocalAddr6, pure.id.idiag_src, sizeof row.row.dwLocalAddr6), 0);
    EXPECT_EQ(std::memcmp(row.row.dwRemoteAddr6, pure.id.idiag_dst, sizeof row.row.dwRemoteAddr6), 0);
    EXPECT_EQ(std::memcmp(row.id.destination, pure.id.idiag_dst, sizeof row.id.destination), 0);
}

TEST(LookupReply, TellsGoneFromRefusedAndSkipsStaleAnswers) {
    SocketRow row;
    int error = 0;
    std::vector<std::byte> bytes;
    AppendError(bytes, 3, ENOENT);
    EXPECT_EQ(ParseLookupReply(bytes, 3, row, error), LookupReply::kGone);
    EXPECT_EQ(error, ENOENT);

    bytes.clear();
    AppendError(bytes, 3, EPERM);
    EXPECT_EQ(ParseLookupReply(bytes, 3, row, error), LookupReply::kError);
    EXPECT_EQ(error, EPERM);

    // An answer to an earlier request (another sequence number) says nothing about this one; an
    // acknowledgement (error 0) neither.
    bytes.clear();
    AppendError(bytes, 2, ENOENT);
    AppendError(bytes, 3, 0);
    EXPECT_EQ(ParseLookupReply(bytes, 3, row, error), LookupReply::kNothing);
    const inet_diag_msg v4 = Message(AF_INET, "10.77.0.1", "10.77.0.2");
    Append(bytes, SOCK_DIAG_BY_FAMILY, 3, &v4, sizeof v4);
    EXPECT_EQ(ParseLookupReply(bytes, 3, row, error), LookupReply::kFound);
    EXPECT_EQ(ParseLookupReply({}, 3, row, error), LookupReply::kNothing);
}

TEST(LookupReply, RefusesDamagedAnswers) {
    SocketRow row;
    int error = 0;
    std::vector<std::byte> bytes;
    const inet_diag_msg v4 = Message(AF_INET, "10.77.0.1", "10.77.0.2");
    Append(bytes, SOCK_DIAG_BY_FAMILY, 1, &v4, sizeof v4);

    // Cut anywhere: the header's length no longer fits, or the header itself is short.
    for (std::size_t cut : {std::size_t{3}, std::size_t{16}, std::size_t{40}, bytes.size() - 1}) {
        EXPECT_EQ(ParseLookupReply(std::span(bytes).first(cut), 1, row, error), LookupReply::kMalformed)
            << cut;
    }
    // A message too short for the row it claims to be.
    std::vector<std::byte> short_row;
    Append(short_row, SOCK_DIAG_BY_FAMILY, 1, &v4, sizeof v4 - 1);
    EXPECT_EQ(ParseLookupReply(short_row, 1, row, error), LookupReply::kMalformed);
    // A length field below the header's own size.
    std::vector<std::byte> impossible = bytes;
    const std::uint32_t tiny = 4;
    std::memcpy(impossible.data(), &tiny, sizeof tiny);
    EXPECT_EQ(ParseLookupReply(impossible, 1, row, error), LookupReply::kMalformed);
    // A family that is not an internet one.
    std::vector<std::byte> unix_row;
    inet_diag_msg other = v4;
    other.idiag_family = AF_UNIX;
    Append(unix_row, SOCK_DIAG_BY_FAMILY, 1, &other, sizeof other);
    EXPECT_EQ(ParseLookupReply(unix_row, 1, row, error), LookupReply::kMalformed);
    // An error message without room for its error number.
    std::vector<std::byte> short_error;
    const std::uint16_t half = 0;
    Append(short_error, NLMSG_ERROR, 1, &half, sizeof half);
    EXPECT_EQ(ParseLookupReply(short_error, 1, row, error), LookupReply::kMalformed);
}

}  // namespace
}  // namespace velmor::platform::sockdiag
