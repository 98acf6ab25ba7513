#include "velmor/shell/enforcement_notice.h"

#include <system_error>

#include "velmor/platform/user_account.h"
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

// What a user the guard refused can do about it.
std::string RefusalAdvice(const EnforcementFacts& facts) {
    const std::string group(kGuardGroup);
    if (facts.session_has_group) {
        return "velmor-guard는 " + group +
               " 그룹의 사용자와 자신과 같은 네트워크 네임스페이스의 프로그램만 받습니다.";
    }
    if (facts.user_listed_in_group) {
        return "사용자 " + facts.user_name + "은(는) " + group +
               " 그룹에 추가되었지만 이 로그인에는 아직 적용되지 않았습니다. 로그아웃했다가 다시 "
               "로그인하세요.";
    }
    return "사용자 " + facts.user_name + "이(가) " + group + " 그룹에 속하지 않기 때문입니다. 터미널에서 \"" +
           JoinGroupCommand(facts.user_name) + "\"를 실행한 뒤 로그아웃했다가 다시 로그인하세요.";
}

}  // namespace

// What is and what is not in force.
static std::vector<std::string> StateLines(const EnforcementFacts& facts);

std::vector<std::string> RefusedTexts(const std::map<std::string, guard::Refusal, std::less<>>& refused) {
    std::vector<std::string> texts;
    for (const auto& [address, why] : refused)
        texts.push_back(address + " (" + std::string(rules::ExemptionText(ExemptionOf(why))) + ")");
    return texts;
}

std::string JoinGroupCommand(const std::string& user_name) {
    return "sudo adduser " + user_name + " " + kGuardGroup;
}

void AddUserFacts(EnforcementFacts& facts, const std::filesystem::path& program_folder) {
    facts.user_name = platform::CurrentUserName();
    const platform::GroupStanding standing = platform::CurrentUserGroupStanding(kGuardGroup);
    facts.user_listed_in_group = standing.listed;
    facts.session_has_group = standing.in_session;
    // A build of the source tree lays P out as build/<preset>/P, beside the tree's scripts.
    const std::filesystem::path tree =
        program_folder.lexically_normal().parent_path().parent_path().parent_path();
    std::error_code error;
    facts.source_tree = std::filesystem::is_regular_file(tree / "scripts" / "run.sh", error) &&
                        std::filesystem::is_regular_file(tree / "deploy" / "velmor-guard.service", error);
}

std::vector<std::string> EnforcementNotice(const EnforcementFacts& facts) {
    std::vector<std::string> lines = StateLines(facts);
    if (!facts.refused.empty()) {
        std::string addresses;
        for (const std::string& text : facts.refused) addresses += (addresses.empty() ? "" : ", ") + text;
        lines.push_back(
            "ⓘ 차단 목록에 있지만 이 컴퓨터의 연결에 꼭 필요한 주소라 velmor-guard가 패킷을 버리지 않는 "
            "주소가 있습니다 (연결은 끊습니다): " +
            addresses);
    }
    return lines;
}

static std::vector<std::string> StateLines(const EnforcementFacts& facts) {
    std::vector<std::string> lines;
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
    if (facts.guard_refused) {
        if (facts.own_teardown) {
            lines.push_back(
                "⚠ velmor-guard가 이 사용자의 요청을 거절하여 Velmor 자신의 권한으로 연결만 끊습니다: 패킷 "
                "차단(nftables)은 적용되지 않습니다. " +
                RefusalAdvice(facts));
        } else {
            lines.push_back(
                "⚠ 차단이 적용되지 않습니다: velmor-guard가 실행 중이지만 이 사용자의 요청을 거절했습니다. "
                "차단 "
                "목록의 IP도 연결이 유지됩니다. " +
                RefusalAdvice(facts));
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
    if (facts.source_tree) {
        lines.push_back(
            "⚠ 차단이 적용되지 않습니다: velmor-guard가 없고 연결을 끊을 권한(CAP_NET_ADMIN)도 없습니다. "
            "차단 "
            "목록의 "
            "IP도 연결이 유지됩니다. scripts/run.sh로 velmor-guard와 함께 시작하세요.");
        return lines;
    }
    std::string line =
        "⚠ 차단이 적용되지 않습니다: velmor-guard 서비스가 실행되고 있지 않고 연결을 끊을 "
        "권한(CAP_NET_ADMIN)도 "
        "없습니다. 차단 목록의 IP도 연결이 유지됩니다. 터미널에서 \"sudo systemctl enable --now "
        "velmor-guard\"를 실행하세요.";
    if (!facts.user_listed_in_group && !facts.session_has_group && !facts.user_name.empty()) {
        line += " 그리고 \"" + JoinGroupCommand(facts.user_name) +
                "\"를 실행한 뒤 로그아웃했다가 다시 로그인하세요.";
    }
    lines.push_back(line);
    return lines;
}

std::string ProgramsNotice(bool every_user) {
    return every_user ? "프로그램 표시: velmor-guard가 모든 사용자의 프로그램을 알려 줍니다."
                      : "프로그램 표시: velmor-guard가 알려 주지 않아 내 사용자의 프로그램만 보입니다. "
                        "다른 사용자의 연결은 \"-\"로 표시됩니다.";
}

}  // namespace velmor::shell
