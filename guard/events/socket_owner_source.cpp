#include "velmor/guard/socket_owner_source.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "socket_owners.skel.h"
#include "velmor/guard/socket_owner_layout.h"

namespace velmor::guard {
namespace {

bool HasEffective(const __user_cap_data_struct (&data)[_LINUX_CAPABILITY_U32S_3], int capability) {
    return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

// Tracing programs need CAP_BPF and CAP_PERFMON, or CAP_SYS_ADMIN, which implies both.
bool MayLoadTracingPrograms() {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return HasEffective(data, CAP_SYS_ADMIN) ||
           (HasEffective(data, CAP_BPF) && HasEffective(data, CAP_PERFMON));
}

int Silent(libbpf_print_level, const char*, va_list) {
    return 0;
}

}  // namespace

struct SocketOwnerSource::State {
    socket_owners_bpf* skeleton = nullptr;
    ring_buffer* ring = nullptr;
    std::uint64_t lost_seen = 0;
    const std::function<void(const SocketOwnerEvent&)>* callback = nullptr;
    DrainResult* result = nullptr;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (ring != nullptr) ring_buffer__free(ring);
        if (skeleton != nullptr) socket_owners_bpf__destroy(skeleton);
    }

    static int OnRecord(void* context, void* data, std::size_t size) {
        auto* self = static_cast<State*>(context);
        const auto event = DecodeSocketOwner(std::span(static_cast<const std::byte*>(data), size));
        if (!event) {
            ++self->result->malformed;
            return 0;
        }
        ++self->result->delivered;
        (*self->callback)(*event);
        return 0;
    }
};

SocketOwnerSource::SocketOwnerSource() = default;

SocketOwnerSource::~SocketOwnerSource() {
    Close();
}

bool SocketOwnerSource::is_open() const {
    return state_ != nullptr;
}

int SocketOwnerSource::fd() const {
    return state_ != nullptr ? ring_buffer__epoll_fd(state_->ring) : -1;
}

void SocketOwnerSource::Close() {
    state_.reset();
    accept_return_ = false;
}

bool SocketOwnerSource::Open(const Options& options) {
    Close();
    failure_ = Failure::kNone;
    failure_reason_.clear();
    const auto fail = [this](Failure failure, std::string reason) {
        failure_ = failure;
        failure_reason_ = std::move(reason);
        return false;
    };
    const std::uint64_t netns =
        options.netns_inode != 0 ? options.netns_inode : SocketEventSource::CurrentNetnsInode();
    if (netns == 0 || netns > std::numeric_limits<std::uint32_t>::max())
        return fail(Failure::kNamespaceUnknown, "the network namespace's inode number cannot be read");
    if (::access("/sys/kernel/btf/vmlinux", R_OK) != 0)
        return fail(Failure::kNotSupported, "the kernel exposes no BTF (/sys/kernel/btf/vmlinux)");
    if (!MayLoadTracingPrograms())
        return fail(Failure::kNoRights, "loading the socket owner program needs CAP_BPF and CAP_PERFMON");
    if (options.ring_bytes > std::numeric_limits<std::uint32_t>::max())
        return fail(Failure::kLoadFailed, "the ring buffer size is out of range");

    // The verifier's log would go to stderr; the reason below says what failed. A kernel without BPF
    // trampolines refuses the program at the return of the accept call: it is left out then, and an
    // accepted connection keeps the owner of its listener.
    const auto previous = libbpf_set_print(Silent);
    std::unique_ptr<State> state;
    int load_error = 0;
    for (const bool with_accept : {true, false}) {
        state = std::make_unique<State>();
        state->skeleton = socket_owners_bpf__open();
        if (state->skeleton == nullptr) {
            const int error = errno;
            libbpf_set_print(previous);
            return fail(Failure::kLoadFailed,
                        std::string("the socket owner program cannot be opened: ") + std::strerror(error));
        }
        state->skeleton->rodata->target_netns = static_cast<std::uint32_t>(netns);
        bpf_map__set_max_entries(state->skeleton->maps.owner_records,
                                 static_cast<std::uint32_t>(options.ring_bytes));
        bpf_program__set_autoload(state->skeleton->progs.on_accept_return, with_accept);
        load_error = -socket_owners_bpf__load(state->skeleton);
        if (load_error == 0) {
            accept_return_ = with_accept;
            break;
        }
    }
    libbpf_set_print(previous);
    if (load_error != 0) {
        const Failure failure =
            load_error == EPERM ? Failure::kNoRights
            : (load_error == ESRCH || load_error == ENOENT || load_error == EOPNOTSUPP || load_error == 524)
                ? Failure::kNotSupported
                : Failure::kLoadFailed;
        return fail(failure,
                    std::string("the socket owner program cannot be loaded: ") + std::strerror(load_error));
    }
    if (const int error = -socket_owners_bpf__attach(state->skeleton); error != 0) {
        return fail(error == EPERM ? Failure::kNoRights : Failure::kAttachFailed,
                    std::string("the socket owner program cannot be attached: ") + std::strerror(error));
    }
    state->ring = ring_buffer__new(bpf_map__fd(state->skeleton->maps.owner_records), &State::OnRecord,
                                   state.get(), nullptr);
    if (state->ring == nullptr) {
        const int error = errno;
        return fail(Failure::kLoadFailed,
                    std::string("the ring buffer cannot be mapped: ") + std::strerror(error));
    }
    state_ = std::move(state);
    return true;
}

SocketOwnerSource::DrainResult SocketOwnerSource::Drain(
    const std::function<void(const SocketOwnerEvent&)>& callback) {
    DrainResult result;
    if (state_ == nullptr) {
        result.ok = false;
        return result;
    }
    state_->callback = &callback;
    state_->result = &result;
    const int consumed = ring_buffer__consume(state_->ring);
    state_->callback = nullptr;
    state_->result = nullptr;
    if (consumed < 0) result.ok = false;
    const std::uint64_t lost = __atomic_load_n(&state_->skeleton->bss->lost_records, __ATOMIC_RELAXED);
    result.lost = lost - state_->lost_seen;
    state_->lost_seen = lost;
    return result;
}

std::optional<KernelOwner> SocketOwnerSource::Lookup(std::uint64_t cookie) const {
    if (state_ == nullptr || cookie == 0) return std::nullopt;
    velmor_owner value{};
    if (bpf_map__lookup_elem(state_->skeleton->maps.socket_owners, &cookie, sizeof cookie, &value,
                             sizeof value, 0) != 0) {
        return std::nullopt;
    }
    KernelOwner owner;
    owner.tgid = value.tgid;
    owner.uid = value.uid;
    owner.start_ns = value.start_ns;
    owner.name.assign(value.comm, strnlen(value.comm, sizeof value.comm));
    return owner;
}

}  // namespace velmor::guard
