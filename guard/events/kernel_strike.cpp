#include "velmor/guard/kernel_strike.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "velmor/guard/first_strike_layout.h"
#include "velmor/guard/socket_event_source.h"
#include "velmor/platform/diag.h"

namespace velmor::guard {
namespace {

// The guard's filter on each clsact hook, by handle and priority: a guard that starts after one that
// was killed replaces that one's filter instead of adding a second. Priority 1 runs it first.
constexpr std::uint32_t kFilterHandle = 0x5647;  // "VG"
constexpr std::uint32_t kFilterPriority = 1;

velmor_strike_key KeyOf(const Address& address) {
    velmor_strike_key key{};
    if (address.family == Address::Family::V4) {
        key.address[10] = 0xFF;
        key.address[11] = 0xFF;
        std::memcpy(key.address + 12, address.bytes.data(), 4);
    } else {
        std::memcpy(key.address, address.bytes.data(), sizeof key.address);
    }
    return key;
}

velmor_strike_prefix PrefixOf(const ExemptRange& range) {
    velmor_strike_prefix prefix{};
    const velmor_strike_key key = KeyOf(range.address);
    std::memcpy(prefix.address, key.address, sizeof prefix.address);
    prefix.prefix_length = range.address.family == Address::Family::V4 ? 96u + range.prefix : range.prefix;
    return prefix;
}

std::uint64_t MonotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

int MapFd(bpf_object* object, const char* name) {
    const bpf_map* map = bpf_object__find_map_by_name(object, name);
    return map != nullptr ? bpf_map__fd(map) : -1;
}

bpf_tc_hook HookOf(int ifindex, bpf_tc_attach_point point) {
    bpf_tc_hook hook{};
    hook.sz = sizeof hook;
    hook.ifindex = ifindex;
    hook.attach_point = point;
    return hook;
}

bpf_tc_opts FilterOptions(int program = 0) {
    bpf_tc_opts options{};
    options.sz = sizeof options;
    options.prog_fd = program;
    options.handle = kFilterHandle;
    options.priority = kFilterPriority;
    if (program != 0) options.flags = BPF_TC_F_REPLACE;
    return options;
}

int ProgramFd(bpf_object* object, const char* name) {
    const bpf_program* program = bpf_object__find_program_by_name(object, name);
    return program != nullptr ? bpf_program__fd(program) : -1;
}

}  // namespace

std::unique_ptr<KernelStrike> KernelStrike::Open(const SocketEventSource& source, std::string& reason) {
    if (!source.FirstStrikeLoaded()) {
        reason = source.is_open() ? source.first_strike_failure() : "no socket event program";
        return nullptr;
    }
    bpf_object* object = source.Object();
    std::unique_ptr<KernelStrike> strike(new KernelStrike());
    strike->blocked_ = MapFd(object, "strike_blocked");
    strike->exempt_fd_ = MapFd(object, "strike_exempt");
    strike->lifeline_ = MapFd(object, "strike_lifeline");
    strike->config_ = MapFd(object, "strike_config");
    strike->counts_ = MapFd(object, "strike_counts");
    strike->program_in_ = ProgramFd(object, "velmor_strike_in");
    strike->program_out_ = ProgramFd(object, "velmor_strike_out");
    for (const int fd : {strike->blocked_, strike->exempt_fd_, strike->lifeline_, strike->config_,
                         strike->counts_, strike->program_in_, strike->program_out_}) {
        if (fd < 0) {
            reason = "the first strike's maps or programs are missing from the object";
            return nullptr;
        }
    }
    strike->Arm(false);
    return strike;
}

KernelStrike::~KernelStrike() {
    Arm(false);
    Uncover();
}

bool KernelStrike::Arm(bool on) {
    const std::uint32_t zero = 0;
    velmor_strike_config config{};
    config.armed = on ? 1 : 0;
    if (bpf_map_update_elem(config_, &zero, &config, BPF_ANY) != 0) {
        platform::DiagError("strike", "the first strike cannot be switched", errno);
        return false;
    }
    armed_ = on;
    return true;
}

bool KernelStrike::Armed() const {
    return armed_;
}

bool KernelStrike::Block(std::span<const Address> addresses) {
    bool all = true;
    velmor_strike_entry entry{};
    entry.origin = VELMOR_STRIKE_BY_GUARD;
    entry.since_ns = MonotonicNs();
    for (const Address& address : addresses) {
        const velmor_strike_key key = KeyOf(address);
        // An address the kernel struck keeps its entry and its times.
        if (bpf_map_update_elem(blocked_, &key, &entry, BPF_NOEXIST) != 0 && errno != EEXIST) all = false;
    }
    return all;
}

void KernelStrike::Unblock(std::span<const Address> addresses) {
    for (const Address& address : addresses) {
        const velmor_strike_key key = KeyOf(address);
        bpf_map_delete_elem(blocked_, &key);
    }
}

void KernelStrike::ClearBlocked() {
    // The keys first: a hash map walked while it is changed may start over.
    std::vector<velmor_strike_key> keys;
    velmor_strike_key key{}, next{};
    const void* previous = nullptr;
    while (bpf_map_get_next_key(blocked_, previous, &next) == 0) {
        keys.push_back(next);
        key = next;
        previous = &key;
    }
    for (const velmor_strike_key& k : keys) bpf_map_delete_elem(blocked_, &k);
}

std::size_t KernelStrike::BlockedCount() const {
    std::size_t count = 0;
    velmor_strike_key key{}, next{};
    const void* previous = nullptr;
    while (bpf_map_get_next_key(blocked_, previous, &next) == 0) {
        ++count;
        key = next;
        previous = &key;
    }
    return count;
}

bool KernelStrike::Holds(const Address& address) const {
    return Find(address).has_value();
}

std::optional<KernelStrike::Entry> KernelStrike::Find(const Address& address) const {
    const velmor_strike_key key = KeyOf(address);
    velmor_strike_entry value{};
    if (bpf_map_lookup_elem(blocked_, &key, &value) != 0) return std::nullopt;
    return Entry{value.since_ns, value.first_drop_ns, value.origin == VELMOR_STRIKE_BY_KERNEL};
}

bool KernelStrike::UpdateExempt(bool clear, std::span<const ExemptRange> add,
                                std::span<const ExemptRange> remove) {
    const auto erase = [this](const ExemptRange& range) {
        const velmor_strike_prefix prefix = PrefixOf(range);
        bpf_map_delete_elem(exempt_fd_, &prefix);
    };
    if (clear) {
        for (const ExemptRange& range : exempt_) erase(range);
        exempt_.clear();
    } else {
        for (const ExemptRange& range : remove) {
            erase(range);
            exempt_.erase(range);
        }
    }
    const std::uint8_t present = 1;
    for (const ExemptRange& range : add) {
        const velmor_strike_prefix prefix = PrefixOf(range);
        if (bpf_map_update_elem(exempt_fd_, &prefix, &present, BPF_ANY) != 0) {
            platform::DiagError("strike", "the exempt ranges are full", errno);
            return false;
        }
        exempt_.insert(range);
    }
    return true;
}

void KernelStrike::SetLifelines(const std::set<Address>& lifelines) {
    for (const Address& address : lifelines_) {
        if (lifelines.contains(address)) continue;
        const velmor_strike_key key = KeyOf(address);
        bpf_map_delete_elem(lifeline_, &key);
    }
    const std::uint8_t present = 1;
    for (const Address& address : lifelines) {
        const velmor_strike_key key = KeyOf(address);
        if (bpf_map_update_elem(lifeline_, &key, &present, BPF_ANY) != 0)
            platform::DiagError("strike", "a lifeline cannot be spared in the kernel", errno);
    }
    lifelines_ = lifelines;
}

bool KernelStrike::Attach(int ifindex) {
    bpf_tc_hook hook = HookOf(ifindex, BPF_TC_INGRESS);
    int error = bpf_tc_hook_create(&hook);
    bool made = error == 0;
    if (error == -EEXIST) {
        // A clsact hook that holds our filter was made by a guard before this one, which never got to
        // remove it: it goes with this guard.
        bpf_tc_opts query = FilterOptions();
        made = bpf_tc_query(&hook, &query) == 0;
    } else if (error != 0) {
        platform::DiagError("strike", "no clsact hook on interface " + std::to_string(ifindex), -error);
        return false;
    }
    for (const auto& [point, program] :
         {std::pair{BPF_TC_INGRESS, program_in_}, std::pair{BPF_TC_EGRESS, program_out_}}) {
        hook.attach_point = point;
        bpf_tc_opts options = FilterOptions(program);
        if (error = bpf_tc_attach(&hook, &options); error != 0) {
            platform::DiagError(
                "strike",
                "the packet-path program cannot be attached to interface " + std::to_string(ifindex), -error);
            Detach(ifindex, made);
            return false;
        }
    }
    covered_[ifindex] = made;
    return true;
}

void KernelStrike::Detach(int ifindex, bool hook_made) {
    bpf_tc_hook hook = HookOf(ifindex, BPF_TC_INGRESS);
    for (const auto point : {BPF_TC_INGRESS, BPF_TC_EGRESS}) {
        hook.attach_point = point;
        bpf_tc_opts options = FilterOptions();
        bpf_tc_detach(&hook, &options);
    }
    if (!hook_made) return;
    hook.attach_point = static_cast<bpf_tc_attach_point>(BPF_TC_INGRESS | BPF_TC_EGRESS);
    bpf_tc_hook_destroy(&hook);
}

std::size_t KernelStrike::CoverInterfaces() {
    struct if_nameindex* names = ::if_nameindex();
    if (names == nullptr) {
        platform::DiagError("strike", "the interfaces cannot be listed", errno);
        return covered_.size();
    }
    std::set<int> present;
    for (const struct if_nameindex* name = names; name->if_index != 0; ++name) {
        const int index = static_cast<int>(name->if_index);
        present.insert(index);
        if (covered_.contains(index)) continue;
        if (Attach(index)) {
            refused_.erase(index);
        } else {
            refused_.insert(index);
        }
    }
    ::if_freenameindex(names);
    // Interfaces that went took their hooks with them.
    std::erase_if(covered_, [&](const auto& entry) { return !present.contains(entry.first); });
    std::erase_if(refused_, [&](int index) { return !present.contains(index); });
    return covered_.size();
}

void KernelStrike::Uncover() {
    for (const auto& [index, made] : covered_) Detach(index, made);
    covered_.clear();
}

KernelStrike::Counts KernelStrike::GetCounts() const {
    Counts counts;
    const int cpus = libbpf_num_possible_cpus();
    if (cpus <= 0) return counts;
    std::vector<velmor_strike_counts> per_cpu(static_cast<std::size_t>(cpus));
    const std::uint32_t zero = 0;
    if (bpf_map_lookup_elem(counts_, &zero, per_cpu.data()) != 0) return counts;
    for (const velmor_strike_counts& c : per_cpu) {
        counts.struck += c.struck;
        counts.spared += c.spared;
        counts.full += c.full;
        counts.dropped_in += c.dropped_in;
        counts.dropped_out += c.dropped_out;
    }
    return counts;
}

}  // namespace velmor::guard
