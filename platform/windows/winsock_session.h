#pragma once

// Windows Sockets 2.2 for the length of one object: every name service call brackets its own
// start and clean-up, as the classic routines do, so no state lives between calls. Internal to
// platform/windows.
namespace velmor::platform::windows {

class WinsockSession final {
public:
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;

    // False when Windows Sockets could not be started; nothing may be asked then.
    bool Started() const { return started_; }

private:
    bool started_ = false;
};

}  // namespace velmor::platform::windows
