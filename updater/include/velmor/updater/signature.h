#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmor::updater {

// An Ed25519 signature of a whole package file, as the update page's fourth value carries it: the
// 64 bytes in standard base64 (RFC 4648, with padding), 88 characters.
inline constexpr std::size_t kSignatureBytes = 64;
using Signature = std::array<unsigned char, kSignatureBytes>;

// The file name of the release public key beside the updater program (P/support/update-key.pem).
inline constexpr std::string_view kUpdateKeyFileName = "update-key.pem";
// A public key PEM is a few hundred bytes; a key file larger than this is not one.
inline constexpr std::size_t kMaxKeyFileBytes = 16 * 1024;

// Standard base64 with padding, no line breaks.
std::string EncodeBase64(std::string_view bytes);

// The signature in `text`, which must be exactly the canonical base64 of 64 bytes: 88 characters
// of the standard alphabet ending in "==", with no blanks, no line breaks and no stray bits in the
// last character. nullopt for anything else.
std::optional<Signature> DecodeSignature(std::string_view text);

// True when `public_key_pem` is an Ed25519 public key (SubjectPublicKeyInfo PEM, "BEGIN PUBLIC KEY").
bool IsEd25519PublicKey(std::string_view public_key_pem);

// True when `key_file` is a regular file of at most kMaxKeyFileBytes holding such a key.
bool IsEd25519PublicKeyFile(const std::filesystem::path& key_file);

// True only when `signature` is a valid Ed25519 signature of `data` by `public_key_pem`.
bool VerifySignature(std::string_view data, const Signature& signature, std::string_view public_key_pem);

// Verifies the file at `package` against the base64 signature text of the update page and the
// public key PEM file `key_file`. False when any of them is missing, unreadable or malformed, or
// the signature does not match every byte of the file.
bool VerifyPackageFile(const std::filesystem::path& package, std::string_view signature_text,
                       const std::filesystem::path& key_file);

// The maker's side (velmor-pack and the tests): a new key pair, and signing with its private key.
struct KeyPair {
    std::string private_pem;  // PKCS#8 "BEGIN PRIVATE KEY", unencrypted
    std::string public_pem;   // SubjectPublicKeyInfo "BEGIN PUBLIC KEY"
};
std::optional<KeyPair> GenerateKeyPair();
// The public key PEM of an Ed25519 private key PEM; nullopt when it is not one.
std::optional<std::string> PublicKeyOf(std::string_view private_key_pem);
// The base64 signature text of `data`; nullopt when the key is not an Ed25519 private key.
std::optional<std::string> SignToBase64(std::string_view data, std::string_view private_key_pem);

}  // namespace velmor::updater
