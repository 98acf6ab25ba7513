#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "velmor/guard/protocol.h"

namespace velmor::guard {

// One connection to velmor-guard's Unix socket; the request link and the event stream are each
// one. A request goes out whole and its reply is read with a time-out: a hanging guard must not
// hang the monitor's tick for long.
class GuardConnection final {
public:
    enum class Read { kSome, kNothing, kEnded };

    explicit GuardConnection(std::string path) : path_(std::move(path)) {}
    ~GuardConnection() { Close(); }
    GuardConnection(const GuardConnection&) = delete;
    GuardConnection& operator=(const GuardConnection&) = delete;

    // Closes what was there and connects anew; false when nobody listens at the path.
    bool Open();
    // Takes over `other`'s connection and what it received and not yet parsed. A number this
    // connection held stays its number (now on `other`'s socket), so whoever watches the number
    // keeps watching the right thing; `other` is left closed.
    void TakeOver(GuardConnection& other);
    // Ends the connection and gives its number up.
    void Close();
    // Ends the connection but keeps its number on a descriptor that is never readable: a
    // level-triggered watcher goes quiet instead of spinning on the end, and the number is not reused
    // meanwhile.
    void Quiet();

    const std::string& Path() const { return path_; }
    bool Connected() const { return connected_; }
    // -1 before the first connection.
    int Fd() const { return fd_; }

    // Sends `request` and reads its reply. A descriptor passed with the reply goes to `descriptor`
    // when that is given and still -1; any other is closed. With `frames_follow` the reads stop at
    // the reply's last byte, so the frames the guard sends after it (the events after a Subscribe
    // reply) stay in the socket and keep its descriptor readable; otherwise a read takes what is
    // there, as nothing is due after a reply. On any failure (no connection, a send or read that
    // fails, no whole reply in time (2 s; 20 s for a change of the shared sets), a reply to another request)
    // the connection is closed and the result is false.
    bool RoundTrip(const Request& request, Reply& reply, int* descriptor = nullptr,
                   bool frames_follow = false);
    // True when the guard sent something or hung up (checked without waiting).
    bool Readable() const;
    // Reads one chunk of what is pending, without waiting, onto Received().
    Read ReadSome();
    // Bytes received and not yet taken by the caller.
    std::vector<std::uint8_t>& Received() { return buffer_; }

private:
    bool SendAll(const std::vector<std::uint8_t>& bytes);
    bool ReceiveReply(Reply& reply, int* descriptor, bool frames_follow, int timeout_ms);

    std::string path_;
    int fd_ = -1;
    bool connected_ = false;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace velmor::guard
