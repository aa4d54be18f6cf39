#include "cli/ImageSignature.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <stdexcept>

namespace fleet {

namespace {

constexpr std::string_view UntrustedPrefix = "untrusted comment: ";
constexpr std::string_view TrustedPrefix = "trusted comment: ";

// The next line without its line ending (a CR before the LF too); false once none is left.
bool NextLine(std::string_view& text, std::string_view& line)
{
    if (text.empty()) return false;
    const size_t end = text.find('\n');
    line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
}

// Exactly size bytes of base64, or nothing.
std::optional<std::vector<uint8_t>> Base64(std::string_view text, size_t size)
{
    std::vector<uint8_t> bytes(size + 3);
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size() || length != size)
        return std::nullopt;
    bytes.resize(size);
    return bytes;
}

bool Sodium()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

std::string KeyIdText(std::span<const uint8_t, 8> id)
{
    uint64_t value = 0;
    for (size_t i = id.size(); i-- > 0;)
        value = value << 8 | id[i];
    char text[17];
    std::snprintf(text, sizeof text, "%" PRIX64, value);
    return text;
}

std::optional<TrustedKey> ParseTrustedKey(std::string_view text, std::string& error)
{
    std::string_view line;
    if (!NextLine(text, line)) {
        error = "empty: no minisign public key";
        return std::nullopt;
    }
    // The comment line is optional: a key copied from the web often comes without it.
    if (line.substr(0, UntrustedPrefix.size()) == UntrustedPrefix && !NextLine(text, line)) line = {};
    const auto bytes = Base64(line, 2 + 8 + 32);
    if (!bytes || (*bytes)[0] != 'E' || (*bytes)[1] != 'd') {
        error = "no minisign public key (an untrusted comment line, then the key in base64)";
        return std::nullopt;
    }
    TrustedKey key;
    std::copy_n(bytes->begin() + 2, 8, key.id.begin());
    std::copy_n(bytes->begin() + 10, 32, key.key.begin());
    return key;
}

std::optional<ImageSignature> ParseSignature(std::string_view text, std::string& error)
{
    std::string_view lines[4];
    for (auto& line : lines) {
        if (!NextLine(text, line)) {
            error = "cut short: a minisign signature has four lines";
            return std::nullopt;
        }
    }
    if (lines[0].substr(0, UntrustedPrefix.size()) != UntrustedPrefix) {
        error = "its first line is no untrusted comment";
        return std::nullopt;
    }
    if (lines[2].substr(0, TrustedPrefix.size()) != TrustedPrefix) {
        error = "its third line is no trusted comment";
        return std::nullopt;
    }
    const auto signature = Base64(lines[1], 2 + 8 + 64);
    const auto global = Base64(lines[3], 64);
    if (!signature || !global) {
        error = "a signature line is cut short or no base64 of the right length";
        return std::nullopt;
    }
    const auto& s = *signature;
    if (s[0] != 'E' || (s[1] != 'D' && s[1] != 'd')) {
        error = "an unknown signature algorithm";
        return std::nullopt;
    }
    ImageSignature parsed;
    parsed.prehashed = s[1] == 'D';
    std::copy_n(s.begin() + 2, 8, parsed.keyId.begin());
    std::copy_n(s.begin() + 10, 64, parsed.signature.begin());
    parsed.trustedComment = lines[2].substr(TrustedPrefix.size());
    std::copy_n(global->begin(), 64, parsed.globalSignature.begin());
    return parsed;
}

std::vector<std::string> ModelsOf(std::string_view trustedComment)
{
    constexpr std::string_view Key = "model=";
    std::vector<std::string> models;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!trustedComment.empty()) {
        while (!trustedComment.empty() && blank(trustedComment.front()))
            trustedComment.remove_prefix(1);
        size_t end = 0;
        while (end < trustedComment.size() && !blank(trustedComment[end]))
            ++end;
        const std::string_view field = trustedComment.substr(0, end);
        if (field.size() > Key.size() && field.substr(0, Key.size()) == Key)
            models.emplace_back(field.substr(Key.size()));
        trustedComment.remove_prefix(end);
    }
    return models;
}

SignatureCheck VerifySignature(const ImageHash& imageHash, const ImageSignature& signature,
                               const std::vector<TrustedKey>& keys)
{
    if (!Sodium()) throw std::runtime_error("libsodium cannot be initialised");
    SignatureCheck check;
    check.keyId = KeyIdText(signature.keyId);
    check.trustedComment = signature.trustedComment;
    check.models = ModelsOf(signature.trustedComment);
    const auto refuse = [&](SignatureVerdict verdict, std::string message) {
        check.verdict = verdict;
        check.message = std::move(message);
        return check;
    };
    if (!signature.prehashed)
        return refuse(SignatureVerdict::Legacy,
                      "signed in minisign's legacy format (not prehashed); sign it again "
                      "with a current minisign, without -l");
    const auto key =
        std::find_if(keys.begin(), keys.end(), [&](const TrustedKey& k) { return k.id == signature.keyId; });
    if (key == keys.end()) {
        std::string trusted;
        for (const auto& k : keys)
            trusted += (trusted.empty() ? "" : ", ") + KeyIdText(k.id);
        return refuse(SignatureVerdict::OtherKey,
                      "signed by key " + check.keyId + ", which is no trusted key (trusted: " + trusted + ")");
    }
    // The trusted comment (the models among it) is bound to the signature by the second one.
    std::vector<uint8_t> global(signature.signature.begin(), signature.signature.end());
    global.insert(global.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    if (crypto_sign_verify_detached(signature.globalSignature.data(), global.data(), global.size(),
                                    key->key.data()) != 0)
        return refuse(SignatureVerdict::TamperedSignature,
                      "the signature file was changed: its trusted comment or signature does not verify");
    if (crypto_sign_verify_detached(signature.signature.data(), imageHash.data(), imageHash.size(),
                                    key->key.data()) != 0)
        return refuse(SignatureVerdict::TamperedImage,
                      "the image is not the one signed: its signature does not verify (changed or another file)");
    check.verdict = SignatureVerdict::Verified;
    check.message = "signed by key " + check.keyId;
    return check;
}

std::string_view VerdictName(SignatureVerdict verdict)
{
    switch (verdict) {
    case SignatureVerdict::Verified: return "verified";
    case SignatureVerdict::Unsigned: return "unsigned";
    case SignatureVerdict::Malformed: return "malformed";
    case SignatureVerdict::Legacy: return "legacy";
    case SignatureVerdict::OtherKey: return "other-key";
    case SignatureVerdict::TamperedSignature: return "tampered-signature";
    case SignatureVerdict::TamperedImage: return "tampered-image";
    }
    return "unknown";
}

ImageHasher::ImageHasher()
{
    if (!Sodium()) throw std::runtime_error("libsodium cannot be initialised");
    crypto_generichash_init(&state_, nullptr, 0, crypto_generichash_BYTES_MAX);
}

void ImageHasher::Add(std::span<const uint8_t> bytes)
{
    crypto_generichash_update(&state_, bytes.data(), bytes.size());
}

ImageHash ImageHasher::Finish()
{
    ImageHash hash{};
    crypto_generichash_final(&state_, hash.data(), hash.size());
    return hash;
}

} // namespace fleet
