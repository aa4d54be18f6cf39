// Signed firmware images: minisign public keys and signatures read from their text, and the
// verdict on an image from its BLAKE2b-512 hash, as pure functions (libsodium does the
// arithmetic). Operators sign with the minisign tool:
//   untrusted comment: <text>
//   base64(<"ED"> <key id, 8 bytes> <Ed25519 signature of BLAKE2b-512(image), 64 bytes>)
//   trusted comment: <text>
//   base64(<Ed25519 signature of (the signature above || the trusted comment's text), 64 bytes>)
// A public key file is an untrusted comment line and base64(<"Ed"> <key id> <32-byte key>).
#pragma once

#include <sodium.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

struct TrustedKey {
    std::array<uint8_t, 8> id{};
    std::array<uint8_t, 32> key{};
};

struct ImageSignature {
    bool prehashed = false; // "ED": signs BLAKE2b-512 of the image; "Ed" (legacy) signs the image
    std::array<uint8_t, 8> keyId{};
    std::array<uint8_t, 64> signature{};
    std::string trustedComment;
    std::array<uint8_t, 64> globalSignature{};
};

using ImageHash = std::array<uint8_t, 64>; // BLAKE2b-512

// Key ids as minisign prints them: the 8 bytes as a little-endian number in upper-case hex,
// without leading zeros.
std::string KeyIdText(std::span<const uint8_t, 8> id);

// nullopt and error set when the text is no minisign public key.
std::optional<TrustedKey> ParseTrustedKey(std::string_view text, std::string& error);
// nullopt and error set when the text is no whole minisign signature (cut short, a line or
// field missing, bad base64, a length that does not fit).
std::optional<ImageSignature> ParseSignature(std::string_view text, std::string& error);

// The models a trusted comment allows: the NAME of each "model=NAME" among its fields
// (separated by blanks or tabs). Empty: any model.
std::vector<std::string> ModelsOf(std::string_view trustedComment);

enum class SignatureVerdict { Verified, Unsigned, Malformed, Legacy, OtherKey, TamperedSignature, TamperedImage };

struct SignatureCheck {
    SignatureVerdict verdict = SignatureVerdict::Unsigned;
    std::string message; // says which refusal, or what was verified
    std::string keyId;   // of the signature, when it could be read
    std::string trustedComment;
    std::vector<std::string> models;
};

// The verdict on an image whose hash is given, signed by signature, against the trusted
// keys. Only a prehashed signature (the one the whole image need not be held for) by a
// trusted key whose both signatures verify passes.
SignatureCheck VerifySignature(const ImageHash& imageHash, const ImageSignature& signature,
                               const std::vector<TrustedKey>& keys);

// "verified", "unsigned", "malformed", "legacy", "other-key", "tampered-signature",
// "tampered-image": the report's names.
std::string_view VerdictName(SignatureVerdict verdict);

// Streams BLAKE2b-512; for the image's single read.
class ImageHasher {
public:
    ImageHasher();
    void Add(std::span<const uint8_t> bytes);
    ImageHash Finish();

private:
    crypto_generichash_state state_{};
};

} // namespace fleet
