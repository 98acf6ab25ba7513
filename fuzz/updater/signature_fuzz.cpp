// The update page's fourth value and its base64 signature, fed arbitrary bytes: the page as the
// server sent it, the signature decoding, and a verification against a fixed key.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "velmor/updater/fields.h"
#include "velmor/updater/signature.h"

namespace {

using namespace velmor::updater;

// RFC 8032, test 1: a fixed public key, so every run verifies against the same key.
const std::string& FixedKey() {
    static const std::string key =
        "-----BEGIN PUBLIC KEY-----\nMCowBQYDK2VwAyEA11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=\n"
        "-----END PUBLIC KEY-----\n";
    return key;
}

void CheckSignatureText(std::string_view text) {
    const auto signature = DecodeSignature(text);
    if (!signature) return;
    // Only the canonical form decodes: encoding the bytes again gives the very same text.
    const std::string bytes(signature->begin(), signature->end());
    if (EncodeBase64(bytes) != text) std::abort();
    // A signature nobody made with that key for this text must never verify.
    if (VerifySignature(text, *signature, FixedKey())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static const bool key_read = IsEd25519PublicKey(FixedKey());
    if (!key_read) std::abort();
    CheckSignatureText(text);
    if (const auto page = ParseUpdatePage(text)) {
        if (page->signature.find(']') != std::string::npos || page->signature.size() > kMaxFieldBytes)
            std::abort();
        if (page->signature.find_first_of("\r\n") != std::string::npos) std::abort();
        CheckSignatureText(page->signature);
    }
    // Arbitrary bytes as a key: refused or read, never a crash.
    static_cast<void>(IsEd25519PublicKey(text));
    return 0;
}
