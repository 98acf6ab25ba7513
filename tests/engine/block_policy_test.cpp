// The one answer to "is this address blocked, and why", over a list, a rule folder and exemptions of
// the test's own.
#include "velmor/engine/block_policy.h"

#include <gtest/gtest.h>

#include "velmor/common/text_file.h"
#include "velmor/rules/live_lists.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::engine {
namespace {

using test::MakeRow;

class BlockPolicyTest : public ::testing::Test {
protected:
    BlockPolicyTest() {
        std::filesystem::create_directories(folder.path() / "invader");
        EXPECT_TRUE(WriteLineFile(folder / "invader/10.9.9.1.x", "-|10.9.9.1|"));
        EXPECT_TRUE(WriteLineFile(folder / "invader/10.9.9.2.o", "-|10.9.9.2|"));
        EXPECT_TRUE(WriteLineFile(folder / "invader/127.0.0.1.x", "-|127.0.0.1|"));
        store.NoteChanged();
        store.RefreshBlockedIndex();
        exemptions.SetLifelines({{"10.0.0.1"}, {"10.0.0.254"}, {}});
        policy.SetExemptions(&exemptions);
    }
    static std::pair<bool, BlockReason> Of(const BlockDecision& decision) {
        return {decision.blocked, decision.why};
    }

    test::TempDir folder;
    rules::RuleStore store{folder.path()};
    rules::ListModel list{rules::watch_ip::kColumns, rules::watch_ip::kAddress};
    rules::Exemptions exemptions;
    BlockPolicy policy{list, store};
};

TEST_F(BlockPolicyTest, NowTheListedVerdictDecidesThenTheBlockedRuleFileNeverAnUnlistedAddress) {
    list.AddRow({"10.9.9.1", "1", "허용", ""});
    list.AddRow({"10.1.1.1", "1", "차단", ""});
    EXPECT_EQ(Of(policy.Now("10.9.9.1")), std::pair(false, BlockReason::Listed))
        << "the toggle beats the file";
    EXPECT_EQ(Of(policy.Now("10.1.1.1")), std::pair(true, BlockReason::Listed));
    list.Clear();
    EXPECT_EQ(Of(policy.Now("10.9.9.1")), std::pair(true, BlockReason::RuleFile));
    EXPECT_EQ(Of(policy.Now("10.9.9.2")), std::pair(false, BlockReason::NoRule))
        << "allowed files are not read";
    EXPECT_EQ(Of(policy.Now("10.1.1.1")), std::pair(false, BlockReason::NoRule));
    EXPECT_EQ(Of(policy.Now("127.0.0.1")), std::pair(false, BlockReason::Unlisted))
        << "whatever its file says";
}

TEST_F(BlockPolicyTest, ANewAddressIsBlockedOnlyForACompletedHandshakeWithTheBaitAndNeverWhenExempt) {
    const auto row = [](int port, std::uint32_t state) {
        return MakeRow("10.0.0.1", port, "10.7.7.7", 5000, state);
    };
    EXPECT_EQ(Of(policy.ForNewAddress(row(80, kStateEstablished), "10.7.7.7")),
              std::pair(true, BlockReason::Bait));
    EXPECT_EQ(Of(policy.ForNewAddress(row(80, kStateTimeWait), "10.7.7.7")),
              std::pair(true, BlockReason::Bait));
    EXPECT_EQ(Of(policy.ForNewAddress(row(80, kStateSynReceived), "10.7.7.7")),
              std::pair(false, BlockReason::Unproven));
    EXPECT_FALSE(policy.ForNewAddress(row(80, kStateSynReceived), "10.7.7.7").Decided());
    EXPECT_EQ(Of(policy.ForNewAddress(row(443, kStateSynReceived), "10.7.7.7")),
              std::pair(false, BlockReason::Unproven));
    EXPECT_EQ(Of(policy.ForNewAddress(row(443, kStateEstablished), "10.7.7.7")),
              std::pair(false, BlockReason::OtherPort));
    // The gateway and loopback on the bait: allowed, and the decision says which exemption spared them.
    const BlockDecision gateway = policy.ForNewAddress(row(80, kStateEstablished), "10.0.0.254");
    EXPECT_EQ(Of(gateway), std::pair(false, BlockReason::Exempt));
    EXPECT_EQ(gateway.exemption, rules::Exemption::Gateway);
    EXPECT_EQ(policy.ForNewAddress(row(80, kStateEstablished), "127.0.0.9").exemption,
              rules::Exemption::Loopback);
    // Without exemptions of its own the policy spares loopback alone.
    policy.SetExemptions(nullptr);
    EXPECT_EQ(Of(policy.ForNewAddress(row(80, kStateEstablished), "10.0.0.254")),
              std::pair(true, BlockReason::Bait));
    EXPECT_EQ(policy.ForNewAddress(row(80, kStateEstablished), "::1").exemption, rules::Exemption::Loopback);
}

TEST_F(BlockPolicyTest, AfterThePassAVerdictCellThenTheRuleFilesThenFilingDecide) {
    const platform::TcpRow bait = MakeRow("10.0.0.1", 80, "10.9.9.2", 5000);
    // An allowed file on the bait: the pass lists it allowed, nothing is filed.
    EXPECT_EQ(Of(policy.AfterPass(bait, "10.9.9.2")), std::pair(false, BlockReason::RuleFile));
    EXPECT_EQ(Of(policy.AfterPass(bait, "10.9.9.1")), std::pair(true, BlockReason::RuleFile));
    EXPECT_EQ(Of(policy.AfterPass(bait, "10.7.7.7")), std::pair(true, BlockReason::Bait));
    EXPECT_EQ(Of(policy.AfterPass(bait, "0.0.0.0")), std::pair(false, BlockReason::Unlisted));
    // Listed without a verdict yet (half-open rows so far): the files and filing still decide.
    list.AddRow({"10.7.7.7", "1", "", ""});
    EXPECT_EQ(Of(policy.AfterPass(bait, "10.7.7.7")), std::pair(true, BlockReason::Bait));
    list.SetCell(0, rules::watch_ip::kVerdict, "허용");
    EXPECT_EQ(Of(policy.AfterPass(bait, "10.7.7.7")), std::pair(false, BlockReason::Listed));
    EXPECT_EQ(policy.RuleFileVerdict("10.9.9.1"), rules::Verdict::Blocked);
    EXPECT_EQ(policy.RuleFileVerdict("10.9.9.2"), rules::Verdict::Allowed);
    EXPECT_EQ(policy.RuleFileVerdict("10.7.7.7"), std::nullopt);
}

}  // namespace
}  // namespace velmor::engine
