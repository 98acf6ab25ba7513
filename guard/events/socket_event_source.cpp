#include "velmor/guard/socket_event_source.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include "socket_events.skel.h"
#include "velmor/platform/capabilities.h"

namespace velmor::guard {
namespace {

// libbpf reports through one process-wide print hook. The last warning is kept so that a failure
// reason can say what libbpf saw; nothing reaches stderr (the verifier's log can be long).
std::mutex last_warning_mutex;
std::string last_warning;

int KeepLibbpfWarning(libbpf_print_level level, const char* format, va_list arguments) {
    if (level == LIBBPF_DEBUG) return 0;
    char line[512];
    // The format is libbpf's own, handed to this print hook.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-nonliteral"
#endif
    const int length = std::vsnprintf(line, sizeof line, format, arguments);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    if (length <= 0) return 0;
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty()) return 0;
    const std::lock_guard lock(last_warning_mutex);
    last_warning = std::move(text);
    return 0;
}

std::string TakeLastWarning() {
    const std::lock_guard lock(last_warning_mutex);
    return std::exchange(last_warning, std::string());
}

// Tracing programs need CAP_BPF and CAP_PERFMON, or CAP_SYS_ADMIN, which implies both.
bool MayLoadTracingPrograms() {
    using platform::Capability;
    return platform::HasCapability(Capability::SysAdmin) ||
           (platform::HasCapability(Capability::Bpf) && platform::HasCapability(Capability::Perfmon));
}

// The packet-path (tc) programs need CAP_NET_ADMIN beside CAP_BPF.
bool MayAttachPacketPrograms() {
    using platform::Capability;
    return platform::HasCapability(Capability::SysAdmin) || platform::HasCapability(Capability::NetAdmin);
}

}  // namespace

struct SocketEventSource::State {
    socket_events_bpf* skeleton = nullptr;
    ring_buffer* ring = nullptr;
    // Where a load failed: the tracepoint is unknown, the ring buffer size refused.
    bool not_found = false;
    bool size_refused = false;
    // The first strike's programs are loaded.
    bool strike = false;
    std::uint64_t lost_seen = 0;
    const std::function<void(const EventRecord&)>* callback = nullptr;
    DrainResult* result = nullptr;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (ring != nullptr) ring_buffer__free(ring);
        if (skeleton != nullptr) socket_events_bpf__destroy(skeleton);
    }

    static int OnRecord(void* context, void* data, std::size_t size) {
        auto* self = static_cast<State*>(context);
        const auto event = DecodeSocketEvent(std::span(static_cast<const std::byte*>(data), size));
        if (!event) {
            ++self->result->malformed;
            return 0;
        }
        ++self->result->delivered;
        (*self->callback)(*event);
        return 0;
    }
};

// Opens and loads the object into `state`; false with `error` (and the state's flags saying where)
// when that failed.
bool SocketEventSource::LoadObject(State& state, const Options& options, std::uint32_t netns,
                                   bool first_strike, int& error) {
    error = 0;
    state.skeleton = socket_events_bpf__open();
    if (state.skeleton == nullptr) {
        error = errno;
        return false;
    }
    state.skeleton->rodata->target_netns = netns;
    if (bpf_map__set_max_entries(state.skeleton->maps.events,
                                 static_cast<std::uint32_t>(options.ring_bytes)) != 0) {
        state.size_refused = true;
        error = EINVAL;
        return false;
    }
    // libbpf looks the tracepoint up in the kernel's BTF here; a kernel without it fails now.
    if (error = -bpf_program__set_attach_target(state.skeleton->progs.on_inet_sock_set_state, 0,
                                                options.tracepoint.c_str());
        error != 0) {
        state.not_found = true;
        return false;
    }
    // Without the first strike its packet-path programs stay out of the kernel; its maps are made all
    // the same (the socket state program names them) and stay empty and disarmed.
    if (!first_strike) {
        bpf_program__set_autoload(state.skeleton->progs.velmor_strike_in, false);
        bpf_program__set_autoload(state.skeleton->progs.velmor_strike_out, false);
    }
    error = -socket_events_bpf__load(state.skeleton);
    return error == 0;
}

SocketEventSource::SocketEventSource() = default;

SocketEventSource::~SocketEventSource() {
    Close();
}

bool SocketEventSource::is_open() const {
    return state_ != nullptr;
}

int SocketEventSource::fd() const {
    return state_ != nullptr ? ring_buffer__epoll_fd(state_->ring) : -1;
}

void SocketEventSource::Close() {
    state_.reset();
    netns_inode_ = 0;
}

bpf_object* SocketEventSource::Object() const {
    return state_ != nullptr ? state_->skeleton->obj : nullptr;
}

bool SocketEventSource::FirstStrikeLoaded() const {
    return state_ != nullptr && state_->strike;
}

std::uint64_t SocketEventSource::CurrentNetnsInode() {
    struct stat status {};
    if (::stat("/proc/thread-self/ns/net", &status) != 0) return 0;
    return status.st_ino;
}

bool SocketEventSource::Open(const Options& options) {
    Close();
    failure_ = Failure::kNone;
    failure_reason_.clear();
    strike_failure_.clear();
    const auto fail = [this](Failure failure, std::string reason) {
        failure_ = failure;
        failure_reason_ = std::move(reason);
        state_.reset();
        return false;
    };

    const std::uint64_t netns = options.netns_inode != 0 ? options.netns_inode : CurrentNetnsInode();
    // The kernel numbers namespaces with 32-bit inode numbers; anything else cannot be matched.
    if (netns == 0 || netns > std::numeric_limits<std::uint32_t>::max()) {
        return fail(Failure::kNamespaceUnknown, "the network namespace's inode number cannot be read");
    }
    if (::access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
        return fail(Failure::kNotSupported, "the kernel exposes no BTF (/sys/kernel/btf/vmlinux)");
    }
    if (!MayLoadTracingPrograms()) {
        return fail(Failure::kNoRights, "loading the socket event program needs CAP_BPF and CAP_PERFMON");
    }
    // Other unsuitable sizes go to the kernel, whose refusal is the authority on what it takes.
    if (options.ring_bytes > std::numeric_limits<std::uint32_t>::max()) {
        return fail(Failure::kLoadFailed, "the ring buffer size is out of range");
    }

    libbpf_set_print(KeepLibbpfWarning);
    TakeLastWarning();
    auto state = std::make_unique<State>();
    int error = 0;
    bool with_strike = options.first_strike;
    if (!with_strike) {
        strike_failure_ = "the first strike was not asked for";
    } else if (!MayAttachPacketPrograms()) {
        with_strike = false;
        strike_failure_ = "the first strike's packet-path programs need CAP_NET_ADMIN";
    }
    if (!LoadObject(*state, options, static_cast<std::uint32_t>(netns), with_strike, error) && with_strike &&
        state->skeleton != nullptr && !state->not_found && !state->size_refused) {
        // A kernel that refuses the packet-path programs still gives the socket events.
        strike_failure_ = "the first strike cannot be loaded: " + std::string(std::strerror(error));
        if (const std::string warning = TakeLastWarning(); !warning.empty())
            strike_failure_ += " (" + warning + ")";
        with_strike = false;
        state = std::make_unique<State>();
        LoadObject(*state, options, static_cast<std::uint32_t>(netns), false, error);
    }
    if (error != 0) {
        if (state->skeleton == nullptr) {
            return fail(Failure::kLoadFailed,
                        std::string("the socket event program cannot be opened: ") + std::strerror(error));
        }
        if (state->not_found) {
            return fail(error == ESRCH ? Failure::kNotSupported : Failure::kLoadFailed,
                        "the socket event program cannot be loaded: the kernel has no tracepoint " +
                            options.tracepoint + " (" + std::strerror(error) + ")");
        }
        if (state->size_refused) return fail(Failure::kLoadFailed, "the ring buffer size cannot be set");
        std::string reason =
            std::string("the socket event program cannot be loaded: ") + std::strerror(error);
        if (const std::string warning = TakeLastWarning(); !warning.empty()) reason += " (" + warning + ")";
        Failure failure = Failure::kLoadFailed;
        if (error == EPERM) failure = Failure::kNoRights;
        // ESRCH: libbpf found no such tracepoint in the kernel's BTF. ENOTSUPP (524) is the kernel's
        // own "not supported" for a helper or program type.
        if (error == ESRCH || error == ENOENT || error == EOPNOTSUPP || error == ENOSYS || error == 524) {
            failure = Failure::kNotSupported;
        }
        return fail(failure, std::move(reason));
    }
    state->strike = with_strike;
    if (const int attach_error = -socket_events_bpf__attach(state->skeleton); attach_error != 0) {
        std::string reason = std::string("the tracepoint inet_sock_set_state cannot be attached: ") +
                             std::strerror(attach_error);
        return fail(attach_error == EPERM ? Failure::kNoRights : Failure::kAttachFailed, std::move(reason));
    }
    state->ring =
        ring_buffer__new(bpf_map__fd(state->skeleton->maps.events), &State::OnRecord, state.get(), nullptr);
    if (state->ring == nullptr) {
        const int map_error = errno;
        return fail(Failure::kLoadFailed,
                    std::string("the ring buffer cannot be mapped: ") + std::strerror(map_error));
    }
    state_ = std::move(state);
    netns_inode_ = netns;
    return true;
}

SocketEventSource::DrainResult SocketEventSource::Drain(
    const std::function<void(const EventRecord&)>& callback) {
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
    // The counter lives in the program's .bss, mapped into this process by the skeleton.
    const std::uint64_t lost = __atomic_load_n(&state_->skeleton->bss->lost_events, __ATOMIC_RELAXED);
    result.lost = lost - state_->lost_seen;
    state_->lost_seen = lost;
    return result;
}

const char* FailureName(SocketEventSource::Failure failure) {
    switch (failure) {
        case SocketEventSource::Failure::kNone:
            return "none";
        case SocketEventSource::Failure::kNoRights:
            return "no rights";
        case SocketEventSource::Failure::kNotSupported:
            return "not supported";
        case SocketEventSource::Failure::kLoadFailed:
            return "load failed";
        case SocketEventSource::Failure::kAttachFailed:
            return "attach failed";
        case SocketEventSource::Failure::kNamespaceUnknown:
            return "namespace unknown";
    }
    return "unknown";
}

}  // namespace velmor::guard
