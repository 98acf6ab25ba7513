#include "transfer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "velmor/platform/diag.h"
#include "velmor/platform/file_copy.h"
#include "velmor/platform/mailbox.h"
#include "velmor/platform/safe_file.h"
#include "velmor/platform/system_text.h"

namespace velmor::fetchel {
namespace {

using platform::IsWindow;
using platform::PostWindowMessage;
using platform::WindowMessage;

constexpr std::int32_t kSucceeded = -1;
constexpr std::int32_t kFailed = -2;
constexpr std::int32_t kComplete = 100;

// Local files are copied in large pieces and re-blocked into the 4096-byte reads the counting is
// defined on; the piece size only sets how many system calls the copy takes.
constexpr std::size_t kLocalPiece = 1024 * 1024;
constexpr std::size_t kOutputBuffer = 256 * 1024;

// How long the last notifications, together, wait for room in a full queue of a window that still
// exists.
constexpr auto kFinalPostPatience = std::chrono::seconds(10);

class Notifier final {
public:
    explicit Notifier(const Settings& settings)
        : window_(settings.window),
          message_(platform::kWmUser + settings.message_offset),
          wparam_(settings.wparam) {}

    // Percentages are posted once: a full queue gets the mailbox's short wait for room, and a
    // window that still falls behind loses the percentage, never the download.
    void Progress(std::int32_t percent) const {
        if (window_ != 0) PostWindowMessage(window_, Message(percent));
    }

    // The final 100 and the outcome must arrive, or the window waits for ever: they try again for
    // room in a full queue as long as the window exists, the two together for a bounded time.
    void Final(std::int32_t value) {
        if (window_ == 0) return;
        if (!final_deadline_) final_deadline_ = std::chrono::steady_clock::now() + kFinalPostPatience;
        while (!PostWindowMessage(window_, Message(value))) {
            if (!IsWindow(window_) || std::chrono::steady_clock::now() > *final_deadline_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

private:
    WindowMessage Message(std::int32_t value) const { return {message_, wparam_, value}; }

    std::optional<std::chrono::steady_clock::time_point> final_deadline_;
    std::int64_t window_;
    std::int32_t message_;
    std::int32_t wparam_;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The internet copy (libcurl or WinINet), then 100 when it ended normally and a size was given.
bool FetchFromInternet(const Settings& settings, std::FILE* output, Notifier& notifier) {
    const Progress progress = [&](std::int32_t percent) { notifier.Progress(percent); };
    if (!CopyFromInternet(settings, output, progress)) return false;
    if (settings.expected_size != 0) notifier.Final(kComplete);
    return true;
}

// True when the whole file was read; a source that cannot be opened or read fails the transfer.
bool CopyFromLocalFile(const Settings& settings, std::FILE* output, Notifier& notifier) {
    File source(platform::OpenFile(platform::PathFromText(settings.source), "rb"));
    if (!source) {
        platform::DiagError("transfer", "cannot open " + settings.source, errno);
        return false;
    }
    std::setvbuf(source.get(), nullptr, _IONBF, 0);  // the piece buffer below is the only buffer
    ReadCounter counter(kLocalBlock, settings.expected_size);
    const auto post = [&](std::int32_t percent) { notifier.Progress(percent); };

    // The kernel copies between the files where it can, as cp does; the data then never passes
    // through this process. An empty first answer is checked by an ordinary read, since some
    // special files report nothing to an in-kernel copy.
    bool in_kernel = true;
    bool copied_any = false;
    std::vector<char> piece;
    for (;;) {
        if (in_kernel) {
            std::int64_t copied = 0;
            const auto result = platform::CopyFileChunk(source.get(), output, kLocalPiece, copied);
            if (result == platform::ChunkCopy::Failed) {
                platform::DiagError("transfer", "copy failed", errno);
                return false;
            }
            if (result == platform::ChunkCopy::Unsupported || (copied == 0 && !copied_any)) {
                in_kernel = false;
                continue;
            }
            if (copied == 0) break;
            copied_any = true;
            counter.AddBytes(static_cast<std::uint64_t>(copied), post);
            continue;
        }
        if (piece.empty()) piece.resize(kLocalPiece);
        const std::size_t got = std::fread(piece.data(), 1, piece.size(), source.get());
        if (got > 0) {
            if (std::fwrite(piece.data(), 1, got, output) != got) {
                platform::DiagError("transfer", "cannot write the output", errno);
                return false;
            }
            counter.AddBytes(got, post);
        }
        if (got < piece.size()) {
            if (std::ferror(source.get())) {
                platform::Diag("transfer", "cannot read " + settings.source);
                return false;
            }
            break;
        }
    }
    counter.FinishLocal(post);
    if (settings.expected_size != 0) notifier.Final(kComplete);
    return true;
}

}  // namespace

int RunTransfer(const Settings& settings) {
    Notifier notifier(settings);
    // The output file exists before the source is even opened, so it is there after any failure.
    std::FILE* output = platform::OpenFile(platform::PathFromText(settings.output), "wb");
    if (output == nullptr) {
        platform::DiagError("transfer", "cannot create " + settings.output, errno);
        notifier.Final(kFailed);
        return 1;
    }
    std::vector<char> output_buffer(kOutputBuffer);
    std::setvbuf(output, output_buffer.data(), _IOFBF, output_buffer.size());

    bool succeeded = IsInternetSource(settings.source) ? FetchFromInternet(settings, output, notifier)
                                                       : CopyFromLocalFile(settings, output, notifier);
    // Data that never reached the disk is a failed transfer, not a finished one.
    if (std::fclose(output) != 0) {
        platform::DiagError("transfer", "cannot write the output", errno);
        succeeded = false;
    }
    notifier.Final(succeeded ? kSucceeded : kFailed);
    return 0;
}

}  // namespace velmor::fetchel
