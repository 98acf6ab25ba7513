#pragma once

#include <optional>
#include <string_view>

#include "velmor/engine/module_tcp_table.h"
#include "velmor/engine/shared_verdicts.h"
#include "velmor/rules/exemptions.h"
#include "velmor/rules/list_model.h"
#include "velmor/rules/rule_store.h"

namespace velmor::engine {

// Why an address is blocked, or is not. A new source of verdicts (a list, a fleet's decisions, the
// kernel's first strike) is a new reason here and a new step in BlockPolicy.
enum class BlockReason {
    // A listening socket's or loopback's address (0.0.0.0, 127.0.0.1, ::, ::1): never listed, never
    // blocked, whatever the rule files say.
    Unlisted,
    // The verdict cell of the address list: the user's toggle decides at once.
    Listed,
    // The address's rule file (blocked ones through the store's index).
    RuleFile,
    // Neither listed with a verdict nor filed: nothing blocks it.
    NoRule,
    // No rule yet, and it completed a handshake with the bait: an intruder.
    Bait,
    // No rule yet, it reached the bait, but it is a lifeline or trusted (the decision's exemption).
    Exempt,
    // No rule yet, met on another port in a row that is no half-open answer to a stranger: allowed.
    OtherPort,
    // No rule yet, and only half-open rows of it: no verdict until one of them completes.
    Unproven,
    // No rule file of its own (or a blocked one), but another machine's decision or an imported list
    // blocks it: torn down and listed as blocked, never filed.
    Shared,
};

struct BlockDecision {
    bool blocked = false;
    BlockReason why = BlockReason::NoRule;
    rules::Exemption exemption = rules::Exemption::None;  // set for Exempt

    // False while nothing decides the address yet (Unproven).
    bool Decided() const { return why != BlockReason::Unproven; }
};

// The one answer to "is this address blocked, and why", asked by the full pass and its teardowns,
// by the arrivals filed from their events and by the guard's sets. It reads the address list, the
// rule store and the exemptions; it changes none of them.
class BlockPolicy final {
public:
    BlockPolicy(const rules::ListModel& address_list, const rules::RuleStore& store);

    // The addresses the bait never files as intruders (not owned); nullptr: loopback only.
    void SetExemptions(const rules::Exemptions* exemptions) {
        exemptions_ = exemptions != nullptr ? exemptions : &loopback_only_;
    }

    // Whether automatic blocking tears connections to `address` down now: a listed address by its
    // verdict cell, any other by its blocked rule file (one the list no longer shows, emptied at 100
    // rows or by the user, stays blocked); never an unlisted one.
    BlockDecision Now(std::string_view address) const;

    // What `address`, met in `row`, will be once the full pass has listed it with its verdict or
    // filed it: the decision of the teardowns that go before the pass and its rule files.
    BlockDecision AfterPass(const TcpRow& row, std::string_view address) const;

    // The verdict filing gives `address`, which has no rule file yet, met in `row`.
    BlockDecision ForNewAddress(const TcpRow& row, std::string_view address) const;

    // The verdict of the address's rule file, if it has one (blocked first, as filing reads them).
    std::optional<rules::Verdict> RuleFileVerdict(std::string_view address) const;

    // Listening sockets and loopback connections are neither shown, filed nor blocked.
    static bool IsUnlisted(std::string_view address);

    // Shared and imported decisions (not owned); nullptr: none.
    void SetShared(const SharedVerdicts* shared) { shared_ = shared; }
    const SharedVerdicts* Shared() const { return shared_; }

    const rules::ListModel& AddressList() const { return address_list_; }
    const rules::RuleStore& Store() const { return store_; }

private:
    const rules::ListModel& address_list_;
    const rules::RuleStore& store_;
    const rules::Exemptions loopback_only_;
    const rules::Exemptions* exemptions_ = &loopback_only_;
    const SharedVerdicts* shared_ = nullptr;

    bool SharedBlocks(std::string_view address) const {
        return shared_ != nullptr && shared_->Blocks(address);
    }
};

}  // namespace velmor::engine
