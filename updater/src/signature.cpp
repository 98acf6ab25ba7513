#include "velmor/updater/signature.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fstream>
#include <limits>
#include <memory>
#include <system_error>

namespace velmor::updater {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int AlphabetValue(char c) {
    const auto at = kAlphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct DigestDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct KeyContextDeleter {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Bio = std::unique_ptr<BIO, BioDeleter>;

Bio MemoryBio(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return nullptr;
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// Only Ed25519 keys count: an RSA or EC key in the same PEM form is refused, not used.
// OpenSSL queues an error for every refused key or signature; they are not reported, so they are
// dropped at once instead of piling up in the thread's queue.
struct ErrorQueueCleaner {
    ErrorQueueCleaner() = default;
    ErrorQueueCleaner(const ErrorQueueCleaner&) = delete;
    ErrorQueueCleaner& operator=(const ErrorQueueCleaner&) = delete;
    ~ErrorQueueCleaner() { ERR_clear_error(); }
};

Key ReadPublicKey(std::string_view pem) {
    const ErrorQueueCleaner cleaner;
    Bio bio = MemoryBio(pem);
    if (!bio) return nullptr;
    Key key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) return nullptr;
    return key;
}

Key ReadPrivateKey(std::string_view pem) {
    const ErrorQueueCleaner cleaner;
    Bio bio = MemoryBio(pem);
    if (!bio) return nullptr;
    // A passphrase callback that gives none: an encrypted key file fails instead of prompting.
    Key key(PEM_read_bio_PrivateKey(
        bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) return nullptr;
    return key;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    if (length <= 0 || data == nullptr) return {};
    return std::string(data, static_cast<std::size_t>(length));
}

std::optional<std::string> PublicPem(EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) return std::nullopt;
    return BioText(bio.get());
}

// The whole file, or nullopt when it is not a regular file, cannot be read, or exceeds `limit`.
std::optional<std::string> ReadRegular(const std::filesystem::path& path, std::uintmax_t limit) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > limit) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (static_cast<std::uintmax_t>(in.gcount()) != size) return std::nullopt;
    // A file that grew while it was read is not the file whose size was checked.
    if (in.peek() != std::char_traits<char>::eof()) return std::nullopt;
    return bytes;
}

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1]))
                                        << 8 |
                                    static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(group >> shift) & 0x3F]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out.push_back(kAlphabet[(group >> 18) & 0x3F]);
        out.push_back(kAlphabet[(group >> 12) & 0x3F]);
        out.push_back(rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

std::optional<Signature> DecodeSignature(std::string_view text) {
    // 64 bytes are 21 whole groups of three and one byte left over: 84 + 4 characters, "==" last.
    constexpr std::size_t kLength = (kSignatureBytes + 2) / 3 * 4;
    if (text.size() != kLength || text.substr(kLength - 2) != "==") return std::nullopt;
    Signature signature{};
    std::size_t out = 0;
    for (std::size_t i = 0; i + 4 <= kLength - 4; i += 4) {
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const int value = AlphabetValue(text[i + j]);
            if (value < 0) return std::nullopt;
            group = group << 6 | static_cast<std::uint32_t>(value);
        }
        signature[out++] = static_cast<unsigned char>(group >> 16);
        signature[out++] = static_cast<unsigned char>(group >> 8);
        signature[out++] = static_cast<unsigned char>(group);
    }
    const int high = AlphabetValue(text[kLength - 4]);
    const int low = AlphabetValue(text[kLength - 3]);
    // The last byte uses 8 of the 12 bits; the 4 left over must be zero in the canonical form.
    if (high < 0 || low < 0 || (low & 0x0F) != 0) return std::nullopt;
    signature[out++] = static_cast<unsigned char>(high << 2 | low >> 4);
    return signature;
}

bool IsEd25519PublicKey(std::string_view public_key_pem) {
    return ReadPublicKey(public_key_pem) != nullptr;
}

bool IsEd25519PublicKeyFile(const std::filesystem::path& key_file) {
    const auto pem = ReadRegular(key_file, kMaxKeyFileBytes);
    return pem && IsEd25519PublicKey(*pem);
}

bool VerifySignature(std::string_view data, const Signature& signature, std::string_view public_key_pem) {
    const ErrorQueueCleaner cleaner;
    const Key key = ReadPublicKey(public_key_pem);
    if (!key) return false;
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
    if (!context) return false;
    // Ed25519 signs the message itself in one pass: no digest is named and no streaming is used.
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

bool VerifyPackageFile(const std::filesystem::path& package, std::string_view signature_text,
                       const std::filesystem::path& key_file) {
    const auto signature = DecodeSignature(signature_text);
    if (!signature) return false;
    const auto key = ReadRegular(key_file, kMaxKeyFileBytes);
    if (!key) return false;
    const auto bytes = ReadRegular(package, std::numeric_limits<std::uint32_t>::max());
    if (!bytes) return false;
    return VerifySignature(*bytes, *signature, *key);
}

std::optional<KeyPair> GenerateKeyPair() {
    std::unique_ptr<EVP_PKEY_CTX, KeyContextDeleter> context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1) return std::nullopt;
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_keygen(context.get(), &raw) != 1) return std::nullopt;
    const Key key(raw);
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::nullopt;
    auto public_pem = PublicPem(key.get());
    if (!public_pem) return std::nullopt;
    return KeyPair{BioText(bio.get()), std::move(*public_pem)};
}

std::optional<std::string> PublicKeyOf(std::string_view private_key_pem) {
    const Key key = ReadPrivateKey(private_key_pem);
    if (!key) return std::nullopt;
    return PublicPem(key.get());
}

std::optional<std::string> SignToBase64(std::string_view data, std::string_view private_key_pem) {
    const Key key = ReadPrivateKey(private_key_pem);
    if (!key) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return std::nullopt;
    std::string signature(kSignatureBytes, '\0');
    std::size_t length = signature.size();
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1 ||
        length != kSignatureBytes) {
        return std::nullopt;
    }
    return EncodeBase64(signature);
}

}  // namespace velmor::updater
