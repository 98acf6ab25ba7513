#include "velmor/guard/protocol.h"

#include <gtest/gtest.h>

namespace velmor::guard {
namespace {

Address Parsed(std::string_view text) {
    Address a;
    EXPECT_TRUE(ParseAddress(text, a)) << text;
    return a;
}

TEST(GuardAddress, ParsesAndFormatsBothFamilies) {
    EXPECT_EQ(FormatAddress(Parsed("10.77.0.2")), "10.77.0.2");
    EXPECT_EQ(FormatAddress(Parsed("0.0.0.0")), "0.0.0.0");
    // RFC 5952: lower case, no leading zeros, the longest zero run shortened, the first of equals.
    EXPECT_EQ(FormatAddress(Parsed("fd00:77::2")), "fd00:77::2");
    EXPECT_EQ(FormatAddress(Parsed("FD00:0077:0000:0000:0000:0000:0000:0002")), "fd00:77::2");
    EXPECT_EQ(FormatAddress(Parsed("::")), "::");
    EXPECT_EQ(FormatAddress(Parsed("::1")), "::1");
    EXPECT_EQ(FormatAddress(Parsed("1::")), "1::");
    EXPECT_EQ(FormatAddress(Parsed("1:0:0:2:0:0:0:3")), "1:0:0:2::3");
    EXPECT_EQ(FormatAddress(Parsed("1:0:0:2:0:0:3:4")), "1::2:0:0:3:4");
    // A single zero group is never shortened.
    EXPECT_EQ(FormatAddress(Parsed("1:2:3:4:5:6:0:8")), "1:2:3:4:5:6:0:8");
    EXPECT_EQ(Parsed("::ffff:10.77.0.2").bytes[15], 2);
    EXPECT_EQ(Parsed("::ffff:10.77.0.2").family, Address::Family::V6);
}

TEST(GuardAddress, RefusesWhatIsNoAddress) {
    Address a;
    for (const char* text : {"",
                             "10.77.0",
                             "10.77.0.2.",
                             "10.77.0.256",
                             "010.77.0.2",
                             "10.77.0.2x",
                             "a.b.c.d",
                             ":",
                             ":::",
                             "1:::2",
                             "1::2::3",
                             ":1",
                             "1:",
                             "1:2:3:4:5:6:7:8:9",
                             "1:2:3:4:5:6:7",
                             "12345::",
                             "fd00::77::2",
                             "fe80::1%eth0",
                             "::1.2.3",
                             "1.2.3.4::",
                             "g::1",
                             "1:2:3:4:5:6:7::8"}) {
        EXPECT_FALSE(ParseAddress(text, a)) << text;
    }
}

TEST(GuardProtocol, RequestsRoundTrip) {
    Request teardown;
    teardown.op = Op::TearDown;
    ConnectionId id;
    id.family = 10;
    id.source_port_be = 0x5000;
    id.destination_port_be = 0x1234;
    id.source = {1, 2, 3, 4};
    id.destination = {5, 6, 7, 8};
    id.interface_index = 3;
    id.cookie = {0xdeadbeef, 7};
    teardown.connections = {id, id};
    teardown.connections[1].family = 2;

    Request update;
    update.op = Op::UpdateBlocked;
    update.clear = true;
    update.add = {Parsed("10.77.0.2"), Parsed("fd00:77::2")};
    update.remove = {Parsed("10.77.0.3")};

    Request internet;
    internet.op = Op::SetBlockInternet;
    internet.on = true;

    for (const Request& sent :
         {teardown, update, internet, Request{Op::BaitSocket, {}, false, {}, {}, false}}) {
        auto bytes = EncodeRequest(sent);
        // Two frames back to back: the first is read exactly.
        const auto second = EncodeRequest(Request{});
        const std::size_t first_length = bytes.size();
        bytes.insert(bytes.end(), second.begin(), second.end());
        Request got;
        std::size_t consumed = 0;
        ASSERT_EQ(ParseRequest(bytes, got, consumed), ParseStatus::Complete);
        EXPECT_EQ(consumed, first_length);
        EXPECT_EQ(got.op, sent.op);
        EXPECT_EQ(got.connections, sent.connections);
        EXPECT_EQ(got.clear, sent.clear);
        EXPECT_EQ(got.add, sent.add);
        EXPECT_EQ(got.remove, sent.remove);
        EXPECT_EQ(got.on, sent.on);
        // Every shorter prefix only asks for more.
        for (std::size_t n = 0; n < first_length; ++n) {
            ASSERT_EQ(ParseRequest(std::span(bytes).first(n), got, consumed), ParseStatus::Incomplete) << n;
        }
    }
}

TEST(GuardProtocol, RepliesRoundTrip) {
    Reply status;
    status.state = {true, true, false, true, 3, 1};
    auto bytes = EncodeReply(status);
    Reply got;
    std::size_t consumed = 0;
    ASSERT_EQ(ParseReply(bytes, got, consumed), ParseStatus::Complete);
    EXPECT_TRUE(got.state.packet_filter);
    EXPECT_FALSE(got.state.bait);
    EXPECT_TRUE(got.state.block_internet);
    EXPECT_EQ(got.state.blocked_v4, 3u);
    EXPECT_EQ(got.state.blocked_v6, 1u);

    Reply failed{Op::UpdateBlocked, Result::Failed, {}};
    ASSERT_EQ(ParseReply(EncodeReply(failed), got, consumed), ParseStatus::Complete);
    EXPECT_EQ(got.op, Op::UpdateBlocked);
    EXPECT_EQ(got.result, Result::Failed);
    // A request is no reply, and a reply no request.
    Request request;
    EXPECT_EQ(ParseReply(EncodeRequest(Request{}), got, consumed), ParseStatus::Invalid);
    EXPECT_EQ(ParseRequest(EncodeReply(failed), request, consumed), ParseStatus::Invalid);
}

TEST(GuardProtocol, MalformedFramesAreRefused) {
    Request request;
    std::size_t consumed = 0;
    auto parse = [&](std::vector<std::uint8_t> bytes) { return ParseRequest(bytes, request, consumed); };
    const auto good = EncodeRequest(Request{Op::SetBlockInternet, {}, false, {}, {}, true});

    EXPECT_EQ(parse({'X'}), ParseStatus::Invalid);
    auto other_version = good;
    other_version[2] = kProtocolVersion + 1;
    EXPECT_EQ(parse(other_version), ParseStatus::UnsupportedVersion);
    other_version[2] = 0;
    EXPECT_EQ(parse(other_version), ParseStatus::UnsupportedVersion);
    auto unknown_op = good;
    unknown_op[3] = 9;
    EXPECT_EQ(parse(unknown_op), ParseStatus::Invalid);
    auto bad_flag = good;
    bad_flag[kHeaderSize] = 2;
    EXPECT_EQ(parse(bad_flag), ParseStatus::Invalid);
    // Longer than the limit: refused from the header alone, nothing is buffered for it.
    std::vector<std::uint8_t> huge = {'V', 'G', kProtocolVersion, 2, 0, 0, 0, 0};
    const std::uint32_t length = kMaxPayload + 1;
    for (int i = 0; i < 4; ++i)
        huge[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
    EXPECT_EQ(parse(huge), ParseStatus::Invalid);

    Request update{Op::UpdateBlocked, {}, false, {Parsed("10.0.0.1")}, {}, false};
    auto counted_wrong = EncodeRequest(update);
    counted_wrong[kHeaderSize + 1] = 2;  // two additions announced, one present
    EXPECT_EQ(parse(counted_wrong), ParseStatus::Invalid);
    auto v4_with_tail = EncodeRequest(update);
    v4_with_tail[kHeaderSize + 9 + 16] = 1;  // an IPv4 address with bytes beyond its four
    EXPECT_EQ(parse(v4_with_tail), ParseStatus::Invalid);
    auto bad_family = EncodeRequest(update);
    bad_family[kHeaderSize + 9] = 5;
    EXPECT_EQ(parse(bad_family), ParseStatus::Invalid);

    Request teardown{Op::TearDown, {ConnectionId{}}, false, {}, {}, false};
    teardown.connections[0].family = 1;  // AF_UNIX is no TCP connection
    EXPECT_EQ(parse(EncodeRequest(teardown)), ParseStatus::Invalid);
}

TEST(GuardProtocol, RefusalsTravelFromVersionTwoAndAVersionOneClientReadsWhatItAlwaysRead) {
    Reply update;
    update.op = Op::UpdateBlocked;
    update.refused = {{Parsed("10.77.0.254"), Refusal::Gateway},
                      {Parsed("::1"), Refusal::Loopback},
                      {Parsed("fd00:77::1"), Refusal::OwnAddress}};
    update.version = 2;
    Reply got;
    std::size_t consumed = 0;
    update.version = 2;
    const auto v2 = EncodeReply(update);
    ASSERT_EQ(ParseReply(v2, got, consumed), ParseStatus::Complete);
    EXPECT_EQ(got.refused, update.refused);
    EXPECT_EQ(got.version, 2);
    for (std::size_t n = 0; n < v2.size(); ++n) {
        ASSERT_EQ(ParseReply(std::span(v2).first(n), got, consumed), ParseStatus::Incomplete) << n;
    }

    // To a request of version 1 the guard answers byte for byte what a guard of version 1 did: the
    // header of version 1 and the result alone, which such a client takes for success.
    Request old_request{Op::UpdateBlocked, {}, false, {Parsed("10.77.0.254")}, {}, false, 1};
    Request parsed;
    ASSERT_EQ(ParseRequest(EncodeRequest(old_request), parsed, consumed), ParseStatus::Complete);
    EXPECT_EQ(parsed.version, 1);
    update.version = parsed.version;
    EXPECT_EQ(EncodeReply(update), (std::vector<std::uint8_t>{'V', 'G', 1, 0x83, 1, 0, 0, 0, 0}));
    Reply status;
    status.version = 1;
    status.state = {true, true, true, false, 2, 0};
    EXPECT_EQ(EncodeReply(status), (std::vector<std::uint8_t>{'V', 'G', 1, 0x81, 12, 0, 0, 0, 0, 0x07,
                                                              0,   0,   2, 0,    0,  0, 0, 0, 0, 0}));

    // Damaged refusals: an unknown reason, a count that does not match, an IPv4 address with a tail.
    const std::size_t first = kHeaderSize + 5;  // result and count
    auto bad_reason = v2;
    bad_reason[first + kAddressSize] = 0;
    EXPECT_EQ(ParseReply(bad_reason, got, consumed), ParseStatus::Invalid);
    bad_reason[first + kAddressSize] = 4;
    EXPECT_EQ(ParseReply(bad_reason, got, consumed), ParseStatus::Invalid);
    auto counted_wrong = v2;
    counted_wrong[kHeaderSize + 1] = 2;
    EXPECT_EQ(ParseReply(counted_wrong, got, consumed), ParseStatus::Invalid);
    auto v4_with_tail = v2;
    v4_with_tail[first + 1 + 4] = 1;
    EXPECT_EQ(ParseReply(v4_with_tail, got, consumed), ParseStatus::Invalid);
    // A version 1 reply to UpdateBlocked has no room for them.
    auto v1_with_refusals = v2;
    v1_with_refusals[2] = 1;
    EXPECT_EQ(ParseReply(v1_with_refusals, got, consumed), ParseStatus::Invalid);
}

AddressSpan Span(std::string_view first, std::string_view last) {
    return {Parsed(first), Parsed(last)};
}

TEST(GuardProtocol, SharedSetChangesTravelFromVersionFourOnly) {
    Request update;
    update.op = Op::UpdateShared;
    update.clear = true;
    update.shared_add = {{Span("10.99.8.0", "10.99.8.255"), 3600},
                         {Span("10.99.9.7", "10.99.9.7"), 0},
                         {Span("fd00:99::", "fd00:99::ffff"), 30}};
    update.shared_remove = {Span("10.99.7.7", "10.99.7.7")};
    const auto bytes = EncodeRequest(update);
    EXPECT_EQ(bytes.size(), kHeaderSize + 9 + 3 * kSharedElementSize + kSpanSize);
    Request got;
    std::size_t consumed = 0;
    ASSERT_EQ(ParseRequest(bytes, got, consumed), ParseStatus::Complete);
    EXPECT_EQ(got.op, Op::UpdateShared);
    EXPECT_TRUE(got.clear);
    EXPECT_EQ(got.shared_add, update.shared_add);
    EXPECT_EQ(got.shared_remove, update.shared_remove);
    for (std::size_t n = 0; n < bytes.size(); ++n)
        ASSERT_EQ(ParseRequest(std::span(bytes).first(n), got, consumed), ParseStatus::Incomplete) << n;

    // A guard of version 3 knew no such operation; neither does a frame of version 3 now.
    auto in_v3 = bytes;
    in_v3[2] = 3;
    EXPECT_EQ(ParseRequest(in_v3, got, consumed), ParseStatus::Invalid);

    // Spans that are none: last before first, mixed bytes past an IPv4 address, an unknown family.
    const std::size_t first_span = kHeaderSize + 9;
    auto backwards = bytes;
    backwards[first_span + 1 + 3] = 9;  // 10.99.8.9 .. 10.99.8.255 stays fine
    EXPECT_EQ(ParseRequest(backwards, got, consumed), ParseStatus::Complete);
    backwards[first_span + 1 + 2] = 200;  // 10.99.200.9 after 10.99.8.255
    EXPECT_EQ(ParseRequest(backwards, got, consumed), ParseStatus::Invalid);
    auto v4_tail = bytes;
    v4_tail[first_span + 1 + 16 + 6] = 1;
    EXPECT_EQ(ParseRequest(v4_tail, got, consumed), ParseStatus::Invalid);
    auto family = bytes;
    family[first_span] = 5;
    EXPECT_EQ(ParseRequest(family, got, consumed), ParseStatus::Invalid);
    auto counted_wrong = bytes;
    counted_wrong[kHeaderSize + 1] = 4;
    EXPECT_EQ(ParseRequest(counted_wrong, got, consumed), ParseStatus::Invalid);

    Reply reply;
    reply.op = Op::UpdateShared;
    reply.refused_spans = {{Span("10.77.0.0", "10.77.0.255"), Refusal::OwnAddress},
                           {Span("::", "::ffff"), Refusal::Loopback}};
    reply.shared_v4 = 100000;
    reply.shared_v6 = 7;
    Reply answer;
    const auto reply_bytes = EncodeReply(reply);
    ASSERT_EQ(ParseReply(reply_bytes, answer, consumed), ParseStatus::Complete);
    EXPECT_EQ(answer.refused_spans, reply.refused_spans);
    EXPECT_EQ(answer.shared_v4, 100000u);
    EXPECT_EQ(answer.shared_v6, 7u);
    auto bad_reason = reply_bytes;
    bad_reason[kHeaderSize + 5 + kSpanSize] = 9;
    EXPECT_EQ(ParseReply(bad_reason, answer, consumed), ParseStatus::Invalid);
    EXPECT_EQ(FormatSpan(reply.refused_spans[0].span), "10.77.0.0-10.77.0.255");
    EXPECT_EQ(FormatSpan(Span("fd00::7", "fd00::7")), "fd00::7");

    // The state of version 4 says the sets are there and how full; version 3's stays as it was.
    Reply status;
    status.state.packet_filter = status.state.shared_sets = true;
    status.state.struck = 3;
    status.state.shared_v4 = 100000;
    status.state.shared_v6 = 12;
    const auto v4_status = EncodeReply(status);
    ASSERT_EQ(v4_status.size(), kHeaderSize + 24);
    ASSERT_EQ(ParseReply(v4_status, answer, consumed), ParseStatus::Complete);
    EXPECT_TRUE(answer.state.shared_sets);
    EXPECT_EQ(answer.state.struck, 3u);
    EXPECT_EQ(answer.state.shared_v4, 100000u);
    EXPECT_EQ(answer.state.shared_v6, 12u);
    status.version = 3;
    const auto v3_status = EncodeReply(status);
    ASSERT_EQ(v3_status.size(), kHeaderSize + 16);
    ASSERT_EQ(ParseReply(v3_status, answer, consumed), ParseStatus::Complete);
    EXPECT_FALSE(answer.state.shared_sets);
    EXPECT_EQ(answer.state.shared_v4, 0u);
    auto v3_with_shared = v3_status;
    v3_with_shared[kHeaderSize + 1] |= 0x80;
    EXPECT_EQ(ParseReply(v3_with_shared, answer, consumed), ParseStatus::Invalid);
    // Nor does a version 3 answer to UpdateShared exist.
    auto v3_shared_reply = reply_bytes;
    v3_shared_reply[2] = 3;
    EXPECT_EQ(ParseReply(v3_shared_reply, answer, consumed), ParseStatus::Invalid);
}

EventRecord SampleEvent(std::uint8_t family) {
    EventRecord e;
    e.cookie = 0x0102030405060708ULL;
    e.family = family;
    e.old_state = 3;
    e.new_state = 1;
    e.local_port = 80;
    e.remote_port = 54321;
    e.interface_index = 7;
    e.local = {10, 77, 0, 1};
    e.remote = {10, 77, 0, 2};
    if (family == 10) e.remote[15] = 9;
    return e;
}

TEST(GuardProtocol, EventFramesRoundTripAndAreNoReplies) {
    EventBatch batch;
    batch.events = {SampleEvent(2), SampleEvent(10)};
    batch.lost = 3;
    const auto frame = EncodeEvents(batch);
    // From version 3 the socket records are followed by an owner count (none here).
    ASSERT_EQ(frame.size(), kHeaderSize + 8 + 2 * kEventRecordSize + 4);
    EventBatch parsed;
    std::size_t consumed = 0;
    ASSERT_EQ(ParseEvents(frame, parsed, consumed), ParseStatus::Complete);
    EXPECT_EQ(consumed, frame.size());
    EXPECT_EQ(parsed.events, batch.events);
    EXPECT_EQ(parsed.lost, 3u);
    // A subscriber of version 1 gets the same records in frames of its version.
    batch.version = 1;
    const auto old_frame = EncodeEvents(batch);
    EXPECT_EQ(old_frame[2], 1);
    EXPECT_EQ(old_frame.size(), kHeaderSize + 8 + 2 * kEventRecordSize);
    ASSERT_EQ(ParseEvents(old_frame, parsed, consumed), ParseStatus::Complete);
    EXPECT_EQ(parsed.version, 1);
    EXPECT_EQ(parsed.events, batch.events);
    // Split in two reads.
    EXPECT_EQ(ParseEvents(std::span(frame).first(frame.size() - 1), parsed, consumed),
              ParseStatus::Incomplete);

    // An event frame is neither a reply nor a request, and a reply is no event frame.
    Reply reply;
    EXPECT_EQ(ParseReply(frame, reply, consumed), ParseStatus::Invalid);
    Request request;
    EXPECT_EQ(ParseRequest(frame, request, consumed), ParseStatus::Invalid);
    Reply subscribed;
    subscribed.op = Op::Subscribe;
    EXPECT_EQ(ParseEvents(EncodeReply(subscribed), parsed, consumed), ParseStatus::Invalid);
    ASSERT_EQ(ParseReply(EncodeReply(subscribed), reply, consumed), ParseStatus::Complete);
    EXPECT_EQ(reply.op, Op::Subscribe);
    ASSERT_EQ(
        ParseRequest(EncodeRequest(Request{Op::Subscribe, {}, false, {}, {}, false}), request, consumed),
        ParseStatus::Complete);
    EXPECT_EQ(request.op, Op::Subscribe);
    auto subscribe_with_payload = EncodeRequest(Request{Op::SetBlockInternet, {}, false, {}, {}, true});
    subscribe_with_payload[3] = static_cast<std::uint8_t>(Op::Subscribe);
    EXPECT_EQ(ParseRequest(subscribe_with_payload, request, consumed), ParseStatus::Invalid);
}

TEST(GuardProtocol, MalformedEventFramesAreRefused) {
    EventBatch batch;
    batch.events = {SampleEvent(2)};
    const auto good = EncodeEvents(batch);
    EventBatch parsed;
    std::size_t consumed = 0;
    auto parse = [&](std::vector<std::uint8_t> bytes) { return ParseEvents(bytes, parsed, consumed); };
    // The first record's offset: the header, the count and the number lost.
    constexpr std::size_t record = kHeaderSize + 8;
    auto counted_wrong = good;
    counted_wrong[kHeaderSize] = 2;
    EXPECT_EQ(parse(counted_wrong), ParseStatus::Invalid);
    auto bad_family = good;
    bad_family[record + 8] = 1;
    EXPECT_EQ(parse(bad_family), ParseStatus::Invalid);
    auto bad_state = good;
    bad_state[record + 10] = 13;
    EXPECT_EQ(parse(bad_state), ParseStatus::Invalid);
    auto zero_state = good;
    zero_state[record + 9] = 0;
    EXPECT_EQ(parse(zero_state), ParseStatus::Invalid);
    auto unknown_flag = good;
    unknown_flag[record + 11] = 2;
    EXPECT_EQ(parse(unknown_flag), ParseStatus::Invalid);
    auto v4_with_tail = good;
    v4_with_tail[record + 20 + 4] = 1;  // local IPv4 address with bytes beyond its four
    EXPECT_EQ(parse(v4_with_tail), ParseStatus::Invalid);
    auto too_short = good;
    too_short.resize(kHeaderSize + 4);
    too_short[4] = 4;
    EXPECT_EQ(parse(too_short), ParseStatus::Invalid);
    // The same bytes as an IPv6 socket's event are fine.
    batch.events[0].family = 10;
    batch.events[0].local[4] = 1;
    EXPECT_EQ(parse(EncodeEvents(batch)), ParseStatus::Complete);
    EXPECT_EQ(parsed.events, batch.events);
}

TEST(GuardProtocol, TheFirstStrikeTravelsFromVersionThreeOnly) {
    Request exempt;
    exempt.op = Op::UpdateExempt;
    exempt.clear = true;
    exempt.exempt_add = {{Parsed("10.0.0.0"), 8}, {Parsed("fd00::"), 8}, {Parsed("10.77.0.2"), 32}};
    exempt.exempt_remove = {{Parsed("192.168.1.0"), 24}};
    Request got;
    std::size_t consumed = 0;
    const auto bytes = EncodeRequest(exempt);
    ASSERT_EQ(bytes.size(), kHeaderSize + 9 + 4 * kExemptRangeSize);
    ASSERT_EQ(ParseRequest(bytes, got, consumed), ParseStatus::Complete);
    EXPECT_TRUE(got.clear);
    EXPECT_EQ(got.exempt_add, exempt.exempt_add);
    EXPECT_EQ(got.exempt_remove, exempt.exempt_remove);
    // A range has one form: no bits past its prefix, no prefix longer than its family's.
    auto past_prefix = bytes;
    past_prefix[kHeaderSize + 9 + 1] = 11;  // 11.0.0.0/8 is fine, 10.0.0.1/8 is not
    EXPECT_EQ(ParseRequest(past_prefix, got, consumed), ParseStatus::Complete);
    past_prefix[kHeaderSize + 9 + 4] = 1;
    EXPECT_EQ(ParseRequest(past_prefix, got, consumed), ParseStatus::Invalid);
    auto too_long = bytes;
    too_long[kHeaderSize + 9 + 3 * kExemptRangeSize - 1] = 33;
    EXPECT_EQ(ParseRequest(too_long, got, consumed), ParseStatus::Invalid);

    Request arm{Op::SetFirstStrike, {}, false, {}, {}, true};
    ASSERT_EQ(ParseRequest(EncodeRequest(arm), got, consumed), ParseStatus::Complete);
    EXPECT_EQ(got.op, Op::SetFirstStrike);
    EXPECT_TRUE(got.on);
    // A client of an older version cannot ask for it.
    for (Request request : {exempt, arm}) {
        request.version = 2;
        EXPECT_EQ(ParseRequest(EncodeRequest(request), got, consumed), ParseStatus::Invalid);
    }

    // The state of version 3 tells it; the state of version 2 is what it always was.
    Reply status;
    status.state = {true, true, true, false, 2, 1, true, true, 7, true};
    status.version = 3;
    Reply parsed;
    const auto v3 = EncodeReply(status);
    ASSERT_EQ(v3.size(), kHeaderSize + 16);
    ASSERT_EQ(ParseReply(v3, parsed, consumed), ParseStatus::Complete);
    EXPECT_TRUE(parsed.state.first_strike);
    EXPECT_TRUE(parsed.state.first_strike_armed);
    EXPECT_EQ(parsed.state.struck, 7u);
    EXPECT_TRUE(parsed.state.half_open_events);
    status.version = 2;
    const auto v2 = EncodeReply(status);
    ASSERT_EQ(v2.size(), kHeaderSize + 12);
    EXPECT_EQ(v2[kHeaderSize + 1], 0x07);
    ASSERT_EQ(ParseReply(v2, parsed, consumed), ParseStatus::Complete);
    EXPECT_FALSE(parsed.state.first_strike);
    auto v2_with_strike = v2;
    v2_with_strike[kHeaderSize + 1] |= 0x10;
    EXPECT_EQ(ParseReply(v2_with_strike, parsed, consumed), ParseStatus::Invalid);

    // The flag of a struck arrival reaches subscribers of version 3; older ones read a zero there.
    EventBatch batch;
    batch.events = {SampleEvent(2)};
    batch.events[0].flags = kEventStruck;
    EventBatch events;
    ASSERT_EQ(ParseEvents(EncodeEvents(batch), events, consumed), ParseStatus::Complete);
    EXPECT_EQ(events.events[0].flags, kEventStruck);
    batch.version = 2;
    const auto old_frame = EncodeEvents(batch);
    ASSERT_EQ(ParseEvents(old_frame, events, consumed), ParseStatus::Complete);
    EXPECT_EQ(events.events[0].flags, 0);
    auto old_with_flag = old_frame;
    old_with_flag[kHeaderSize + 8 + 11] = kEventStruck;
    EXPECT_EQ(ParseEvents(old_with_flag, events, consumed), ParseStatus::Invalid);
}

OwnerRecord SampleOwner(std::uint64_t cookie, bool with_addresses) {
    OwnerRecord owner;
    owner.cookie = cookie;
    owner.flags = OwnerRecord::kHasOwner;
    owner.pid = 4321;
    owner.uid = 1000;
    owner.name = "firefox";
    owner.path = "/usr/lib/firefox-esr/firefox-esr";
    if (with_addresses) {
        owner.flags |= OwnerRecord::kHasAddresses | OwnerRecord::kClosed | OwnerRecord::kHasCounts;
        owner.family = 10;
        owner.local = {0xfd, 0, 0, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        owner.remote = {0xfd, 0, 0, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
        owner.local_port = 51000;
        owner.remote_port = 443;
        owner.bytes_received = 5'000'000'000ull;
        owner.bytes_sent = 1234;
    }
    return owner;
}

// Version 3: the Owners request and its reply, and owner records after the socket records of an
// event frame; frames of versions 1 and 2 stay as they were, and Owners is no request of theirs.
TEST(GuardProtocol, OwnersTravelFromVersionThree) {
    Request ask;
    ask.op = Op::Owners;
    ask.sockets = {{1, 100}, {0xFFFF'FFFF'FFFF'FFFFull, 0}};
    Request parsed_request;
    std::size_t consumed = 0;
    const auto ask_bytes = EncodeRequest(ask);
    ASSERT_EQ(ParseRequest(ask_bytes, parsed_request, consumed), ParseStatus::Complete);
    EXPECT_EQ(parsed_request.sockets, ask.sockets);
    EXPECT_EQ(consumed, kHeaderSize + 4 + 2 * kSocketRefSize);
    for (const std::uint8_t old : {1, 2}) {
        auto older = ask_bytes;
        older[2] = old;
        EXPECT_EQ(ParseRequest(older, parsed_request, consumed), ParseStatus::Invalid) << int(old);
    }
    auto miscounted = ask_bytes;
    miscounted[kHeaderSize] = 3;
    EXPECT_EQ(ParseRequest(miscounted, parsed_request, consumed), ParseStatus::Invalid);

    Reply answer;
    answer.op = Op::Owners;
    answer.owners = {SampleOwner(1, false), SampleOwner(2, true)};
    answer.owners[0].path.clear();  // a path that could not be read
    Reply parsed_reply;
    ASSERT_EQ(ParseReply(EncodeReply(answer), parsed_reply, consumed), ParseStatus::Complete);
    EXPECT_EQ(parsed_reply.owners, answer.owners);
    Reply refused;
    refused.op = Op::Owners;
    refused.result = Result::NotAvailable;
    ASSERT_EQ(ParseReply(EncodeReply(refused), parsed_reply, consumed), ParseStatus::Complete);
    EXPECT_EQ(parsed_reply.result, Result::NotAvailable);
    EXPECT_TRUE(parsed_reply.owners.empty());

    EventBatch batch;
    batch.events = {SampleEvent(2)};
    batch.owners = {SampleOwner(3, true), SampleOwner(4, false)};
    EventBatch parsed;
    ASSERT_EQ(ParseEvents(EncodeEvents(batch), parsed, consumed), ParseStatus::Complete);
    EXPECT_EQ(parsed.events, batch.events);
    EXPECT_EQ(parsed.owners, batch.owners);
    // A subscriber of an older version gets the socket records alone, byte for byte as before.
    for (const std::uint8_t old : {1, 2}) {
        batch.version = old;
        const auto frame = EncodeEvents(batch);
        EXPECT_EQ(frame.size(), kHeaderSize + 8 + kEventRecordSize) << int(old);
        ASSERT_EQ(ParseEvents(frame, parsed, consumed), ParseStatus::Complete);
        EXPECT_TRUE(parsed.owners.empty());
    }
}

// Names and paths are cut at their limits and a process's name carries no control characters;
// everything that is not one owner record is refused.
TEST(GuardProtocol, OwnerRecordsAreBoundedAndMalformedOnesRefused) {
    Reply answer;
    answer.op = Op::Owners;
    answer.owners = {SampleOwner(1, false)};
    answer.owners[0].name = std::string("evil\n\x1b[2Jname-longer-than-15");
    answer.owners[0].path = std::string(5000, 'p');
    Reply parsed;
    std::size_t consumed = 0;
    const auto good = EncodeReply(answer);
    ASSERT_EQ(ParseReply(good, parsed, consumed), ParseStatus::Complete);
    EXPECT_EQ(parsed.owners[0].name, "evil??[2Jname-l");
    EXPECT_EQ(parsed.owners[0].path.size(), OwnerRecord::kMaxPath);

    // The record starts after the result and the count.
    constexpr std::size_t record = kHeaderSize + 5;
    const auto parse = [&](std::vector<std::uint8_t> bytes) { return ParseReply(bytes, parsed, consumed); };
    auto flags = good;
    flags[record + 32] = 0x10;
    EXPECT_EQ(parse(flags), ParseStatus::Invalid);
    auto addresses_without_flag = good;
    addresses_without_flag[record + 33] = 2;  // a family without kHasAddresses
    EXPECT_EQ(parse(addresses_without_flag), ParseStatus::Invalid);
    auto long_name = good;
    long_name[record + 38] = 16;
    EXPECT_EQ(parse(long_name), ParseStatus::Invalid);
    auto reserved = good;
    reserved[record + 39] = 1;
    EXPECT_EQ(parse(reserved), ParseStatus::Invalid);
    auto control = good;
    control[record + kOwnerRecordFixedSize] = '\n';  // the first byte of the name
    EXPECT_EQ(parse(control), ParseStatus::Invalid);
    auto short_frame = good;
    short_frame.pop_back();
    short_frame[4] = static_cast<std::uint8_t>(short_frame[4] - 1);
    EXPECT_EQ(parse(short_frame), ParseStatus::Invalid);
    // An IPv4 record with bytes past the fourth of an address.
    Reply with_addresses;
    with_addresses.op = Op::Owners;
    with_addresses.owners = {SampleOwner(2, true)};
    with_addresses.owners[0].family = 2;
    auto v4 = EncodeReply(with_addresses);
    EXPECT_EQ(parse(v4), ParseStatus::Invalid);

    // A frame holds as many owner records as fit, whatever their length; the rest waits.
    EventBatch many;
    many.owners.assign(kMaxOwnerRecords + 5, SampleOwner(9, true));
    for (OwnerRecord& owner : many.owners) owner.path.assign(OwnerRecord::kMaxPath, 'x');
    const auto frame = EncodeEvents(many);
    EXPECT_LE(frame.size(), kHeaderSize + kMaxPayload);
    EventBatch taken;
    ASSERT_EQ(ParseEvents(frame, taken, consumed), ParseStatus::Complete);
    EXPECT_EQ(taken.owners.size(), kMaxOwnerRecords);
}

}  // namespace
}  // namespace velmor::guard
