#include "velmor/rules/exemptions.h"

namespace velmor::rules {
namespace {

// Blanks, tabs and the CR of a file written with CR LF.
std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

platform::AddressRangeSet RangesOf(const std::vector<std::string>& addresses) {
    platform::AddressRangeSet set;
    for (const std::string& address : addresses) set.Add(address);
    return set;
}

}  // namespace

std::string_view ExemptionText(Exemption exemption) {
    switch (exemption) {
        case Exemption::Loopback:
            return "루프백 주소";
        case Exemption::OwnAddress:
            return "이 컴퓨터의 주소";
        case Exemption::Gateway:
            return "기본 게이트웨이";
        case Exemption::Resolver:
            return "DNS 서버";
        case Exemption::Trusted:
            return "신뢰 목록의 주소";
        case Exemption::None:
            break;
    }
    return "";
}

std::string ExemptionNote(Exemption exemption) {
    return std::string(ExemptionText(exemption)) + ", 자동 차단 제외";
}

std::string BlockExemptQuestion(std::string_view address, Exemption exemption) {
    return std::string(address) + "은(는) " + std::string(ExemptionText(exemption)) +
           "입니다. 차단하면 이 컴퓨터의 연결이 끊길 수 있습니다. 그래도 차단할까요?";
}

Exemptions::Exemptions() {
    loopback_.Add("127.0.0.0/8");
    loopback_.Add("::1");
}

void Exemptions::SetLifelines(const platform::Lifelines& lifelines) {
    if (lifelines == lifelines_ && generation_ > 0) return;
    lifelines_ = lifelines;
    own_ = RangesOf(lifelines.own);
    gateways_ = RangesOf(lifelines.gateways);
    resolvers_ = RangesOf(lifelines.resolvers);
    ++generation_;
}

void Exemptions::SetTrusted(platform::AddressRangeSet trusted) {
    trusted_ = std::move(trusted);
    ++generation_;
}

Exemption Exemptions::Of(std::string_view address_text) const {
    const auto address = platform::ParseIpAddress(address_text);
    return address ? Of(*address) : Exemption::None;
}

Exemption Exemptions::Of(const platform::IpAddress& address) const {
    if (loopback_.Contains(address)) return Exemption::Loopback;
    if (own_.Contains(address)) return Exemption::OwnAddress;
    if (gateways_.Contains(address)) return Exemption::Gateway;
    if (resolvers_.Contains(address)) return Exemption::Resolver;
    if (trusted_.Contains(address)) return Exemption::Trusted;
    return Exemption::None;
}

TrustedList ParseTrustedList(std::string_view text) {
    TrustedList list;
    for (int number = 1;; ++number) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (const std::size_t comment = line.find('#'); comment != std::string_view::npos)
            line = line.substr(0, comment);
        line = TrimBlanks(line);
        if (!line.empty() && !list.ranges.Add(line)) list.bad_lines.push_back(number);
        if (end == std::string_view::npos) break;
    }
    return list;
}

std::string FormatTrustedList(const platform::AddressRangeSet& ranges) {
    std::string text;
    for (const platform::AddressRange& range : ranges.ranges())
        text += platform::FormatAddressRange(range) + '\n';
    return text;
}

}  // namespace velmor::rules
