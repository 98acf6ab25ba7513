#include "velmor/shell/enforcement_notice.h"

#include "velmor/rules/exemptions.h"

namespace velmor::shell {
namespace {

rules::Exemption ExemptionOf(guard::Refusal refusal) {
    switch (refusal) {
        case guard::Refusal::Loopback:
            return rules::Exemption::Loopback;
        case guard::Refusal::OwnAddress:
            return rules::Exemption::OwnAddress;
        case guard::Refusal::Gateway:
            return rules::Exemption::Gateway;
    }
    return rules::Exemption::None;
}

}  // namespace

std::vector<std::string> RefusedTexts(const std::map<std::string, guard::Refusal, std::less<>>& refused) {
    std::vector<std::string> texts;
    for (const auto& [address, why] : refused)
        texts.push_back(address + " (" + std::string(rules::ExemptionText(ExemptionOf(why))) + ")");
    return texts;
}

std::vector<std::string> EnforcementNotice(const EnforcementFacts& facts) {
    std::vector<std::string> lines;
    if (!facts.refused.empty()) {
        std::string addresses;
        for (const std::string& text : facts.refused) addresses += (addresses.empty() ? "" : ", ") + text;
        lines.push_back(
            "ⓘ 차단 목록에 있지만 이 컴퓨터의 연결에 꼭 필요한 주소라 velmor-guard가 패킷을 버리지 않는 "
            "주소가 있습니다 (연결은 끊습니다): " +
            addresses);
    }
    if (facts.guard) {
        const guard::GuardState& g = *facts.guard;
        if (g.teardown && g.packet_filter) {
            lines.push_back(
                "✔ velmor-guard가 차단을 맡고 있습니다: 차단한 IP의 연결을 끊고, 그 IP의 패킷(TCP, UDP, "
                "ICMP)을 "
                "nftables로 버립니다. Velmor 자신은 아무 권한 없이 실행됩니다. 버려진 패킷은 연결 목록에 "
                "나타나지 않으므로 그 IP의 \"횟수\"는 더 늘지 않습니다.");
        } else if (g.teardown) {
            lines.push_back(
                "⚠ velmor-guard가 연결은 끊지만 nftables 테이블을 만들지 못해 패킷 차단은 적용되지 않습니다: "
                "차단한 "
                "IP의 새 연결이 잠시 성립하고 UDP는 막히지 않습니다.");
        } else {
            lines.push_back(
                "⚠ 차단이 적용되지 않습니다: velmor-guard에 연결을 끊을 권한(CAP_NET_ADMIN)이 없습니다.");
        }
        return lines;
    }
    if (facts.own_teardown) {
        if (facts.guard_expected) {
            lines.push_back(
                "⚠ velmor-guard가 없어 Velmor 자신의 권한으로 연결만 끊습니다: 패킷 차단(nftables)은 "
                "적용되지 않아 "
                "차단한 IP의 새 연결이 잠시 성립하고 UDP는 막히지 않습니다.");
        }
        return lines;
    }
    lines.push_back(
        "⚠ 차단이 적용되지 않습니다: velmor-guard가 없고 연결을 끊을 권한(CAP_NET_ADMIN)도 없습니다. 차단 "
        "목록의 "
        "IP도 연결이 유지됩니다. scripts/run.sh로 velmor-guard와 함께 시작하세요.");
    return lines;
}

}  // namespace velmor::shell
