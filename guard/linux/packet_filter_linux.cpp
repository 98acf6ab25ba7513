// libnftables: command input, one transaction per script, in the guard's network namespace.
#include <nftables/libnftables.h>

#include <cstdio>
#include <memory>

#include "velmor/guard/guard_service.h"

namespace velmor::guard {
namespace {

class NftPacketFilter final : public PacketFilter {
public:
    NftPacketFilter() : context_(nft_ctx_new(NFT_CTX_DEFAULT)) {
        if (context_ != nullptr) {
            // Output and errors go to buffers, so nothing of nft's reaches the guard's streams unasked.
            nft_ctx_buffer_output(context_);
            nft_ctx_buffer_error(context_);
        }
    }
    ~NftPacketFilter() override {
        if (context_ != nullptr) nft_ctx_free(context_);
    }
    NftPacketFilter(const NftPacketFilter&) = delete;
    NftPacketFilter& operator=(const NftPacketFilter&) = delete;

    bool Run(const std::string& script) override {
        if (context_ == nullptr) return false;
        const int status = nft_run_cmd_from_buffer(context_, script.c_str());
        if (status != 0) {
            const char* error = nft_ctx_get_error_buffer(context_);
            std::fprintf(stderr, "velmor-guard: nft refused the change: %s\n", error != nullptr ? error : "");
        }
        return status == 0;
    }

private:
    nft_ctx* context_;
};

}  // namespace

std::unique_ptr<PacketFilter> MakeSystemPacketFilter() {
    return std::make_unique<NftPacketFilter>();
}

}  // namespace velmor::guard
