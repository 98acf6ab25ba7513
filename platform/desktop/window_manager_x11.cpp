#include <xcb/xcb.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "velmor/platform/window_manager.h"

namespace velmor::platform {
namespace {

constexpr std::uint32_t kNetWmStateRemove = 0;
constexpr std::uint32_t kNetWmStateAdd = 1;
// The source indication of pagers and task lists: a click on the tray icon is the user asking for
// the window, like a click on its task-list entry, so focus-stealing prevention must not refuse it.
constexpr std::uint32_t kSourceIndicationPager = 2;
constexpr std::uint32_t kWmStateNormal = 1;

class X11WindowManager final : public WindowManager {
public:
    explicit X11WindowManager(xcb_connection_t* connection) : connection_(connection) {
        const xcb_setup_t* setup = xcb_get_setup(connection_);
        root_ = xcb_setup_roots_iterator(setup).data->root;
        const std::array<const char*, 9> names = {
            "_NET_WM_STATE",       "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER",
            "_NET_WM_STATE_ABOVE", "_NET_WM_STATE_HIDDEN",       "_NET_ACTIVE_WINDOW",
            "_NET_WM_DESKTOP",     "_NET_CURRENT_DESKTOP",       "WM_STATE"};
        std::array<xcb_intern_atom_cookie_t, names.size()> cookies{};
        for (std::size_t i = 0; i < names.size(); ++i) {
            cookies[i] =
                xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection_, cookies[i], nullptr);
            atoms_[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
            std::free(reply);
        }
    }
    ~X11WindowManager() override { xcb_disconnect(connection_); }

    bool Request(std::uint64_t window, const WindowRequest& request) override {
        const auto id = static_cast<xcb_window_t>(window);
        if (id == XCB_WINDOW_NONE) return false;
        if (request.skip_taskbar) {
            SendToRoot(id, atoms_[kState], {kNetWmStateAdd, atoms_[kSkipTaskbar], atoms_[kSkipPager], 1, 0});
        }
        SendToRoot(id, atoms_[kState],
                   {request.above ? kNetWmStateAdd : kNetWmStateRemove, atoms_[kAbove], 0, 1, 0});
        if (request.to_current_desktop) {
            if (const auto desktop = CardinalOf(root_, atoms_[kCurrentDesktop])) {
                SendToRoot(id, atoms_[kDesktop], {*desktop, 1, 0, 0, 0});
            }
        }
        if (request.activate) {
            SendToRoot(id, atoms_[kActiveWindow], {kSourceIndicationPager, XCB_CURRENT_TIME, 0, 0, 0});
        }
        return xcb_flush(connection_) > 0;
    }

    std::optional<WindowStates> Read(std::uint64_t window) override {
        const auto id = static_cast<xcb_window_t>(window);
        xcb_get_window_attributes_reply_t* attributes =
            xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, id), nullptr);
        if (attributes == nullptr) return std::nullopt;
        WindowStates states;
        const bool viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(attributes);
        const auto wm_state = CardinalOf(id, atoms_[kWmState], atoms_[kWmState]);
        states.mapped = viewable && wm_state.value_or(kWmStateNormal) == kWmStateNormal;
        for (const std::uint32_t atom : AtomsOf(id, atoms_[kState])) {
            if (atom == atoms_[kSkipTaskbar]) states.skip_taskbar = true;
            if (atom == atoms_[kAbove]) states.above = true;
            if (atom == atoms_[kHidden]) states.hidden = true;
        }
        return states;
    }

private:
    enum Atom : std::size_t {
        kState,
        kSkipTaskbar,
        kSkipPager,
        kAbove,
        kHidden,
        kActiveWindow,
        kDesktop,
        kCurrentDesktop,
        kWmState,
    };

    // An EWMH request: a client message to the root window about `window`.
    void SendToRoot(xcb_window_t window, xcb_atom_t type, const std::array<std::uint32_t, 5>& data) {
        if (type == XCB_ATOM_NONE) return;
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = type;
        for (std::size_t i = 0; i < data.size(); ++i) event.data.data32[i] = data[i];
        char bytes[32] = {};
        static_assert(sizeof(event) == sizeof(bytes));
        std::memcpy(bytes, &event, sizeof(event));
        xcb_send_event(connection_, 0, root_,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY, bytes);
    }

    std::vector<std::uint32_t> Property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
        std::vector<std::uint32_t> values;
        if (property == XCB_ATOM_NONE) return values;
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            connection_, xcb_get_property(connection_, 0, window, property, type, 0, 64), nullptr);
        if (reply == nullptr) return values;
        if (reply->format == 32) {
            const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
            const int count = xcb_get_property_value_length(reply) / 4;
            values.assign(data, data + count);
        }
        std::free(reply);
        return values;
    }

    std::vector<std::uint32_t> AtomsOf(xcb_window_t window, xcb_atom_t property) {
        return Property(window, property, XCB_ATOM_ATOM);
    }

    std::optional<std::uint32_t> CardinalOf(xcb_window_t window, xcb_atom_t property,
                                            xcb_atom_t type = XCB_ATOM_CARDINAL) {
        const auto values = Property(window, property, type);
        if (values.empty()) return std::nullopt;
        return values.front();
    }

    xcb_connection_t* connection_;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    std::array<xcb_atom_t, 9> atoms_{};
};

}  // namespace

std::unique_ptr<WindowManager> ConnectX11WindowManager() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') return nullptr;
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    if (connection == nullptr || xcb_connection_has_error(connection) != 0) {
        if (connection != nullptr) xcb_disconnect(connection);
        return nullptr;
    }
    return std::make_unique<X11WindowManager>(connection);
}

}  // namespace velmor::platform
