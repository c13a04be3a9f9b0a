#pragma once

#include "core/SecretBytes.h"

#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline constexpr std::size_t kAes256KeySizeBytes = 32;
inline constexpr std::size_t kGcmNonceSizeBytes = 12;
inline constexpr std::size_t kGcmTagSizeBytes = 16;
inline constexpr std::size_t kSha256SizeBytes = 32;

using Sha256Digest = std::array<std::uint8_t, kSha256SizeBytes>;

// The bytes of a text, for hashing and key derivation.
inline ByteView bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Lower-case hexadecimal of bytes.
std::string hexLower(ByteView bytes);

Sha256Digest sha256(ByteView data);

// HKDF-SHA256 (RFC 5869) of `length` bytes. Throws std::runtime_error with OpenSSL's text on failure.
SecretBytes hkdfSha256(ByteView inputKey, ByteView salt, ByteView info, std::size_t length);

// Cryptographically secure random bytes from OpenSSL's DRBG. Throws when the generator fails.
Bytes randomBytes(std::size_t count);
void fillRandom(std::span<std::uint8_t> out);

// AES-256-GCM with a 12-byte nonce and a separate 16-byte tag. `ciphertext` has the plaintext's
// size; in-place operation (same buffer) is allowed. Thread-safe: each call has its own context.
class AesGcm256 {
public:
    // Throws std::invalid_argument for wrong key or nonce sizes, std::runtime_error on cipher failure.
    static void seal(ByteView key, ByteView nonce, ByteView plaintext, ByteView associatedData,
                     std::span<std::uint8_t> ciphertext, std::span<std::uint8_t, kGcmTagSizeBytes> tag);

    // Returns false when the tag does not authenticate the ciphertext (output is then wiped).
    [[nodiscard]] static bool open(ByteView key, ByteView nonce, ByteView ciphertext, ByteView associatedData,
                                   ByteView tag, std::span<std::uint8_t> plaintext);
};

// AES-256-GCM sealing of one message whose plaintext comes in pieces, without associated data:
// begin(), update() for each piece, finish(). One context serves message after message. One
// thread uses a sealer.
class AesGcm256Sealer {
public:
    AesGcm256Sealer();
    ~AesGcm256Sealer();
    AesGcm256Sealer(const AesGcm256Sealer&) = delete;
    AesGcm256Sealer& operator=(const AesGcm256Sealer&) = delete;

    // Starts a message. Throws as AesGcm256::seal.
    void begin(ByteView key, ByteView nonce);
    // Encrypts the next piece into `ciphertext` of the same size (the same buffer is allowed).
    void update(ByteView plaintext, std::span<std::uint8_t> ciphertext);
    // Ends the message and gives its tag.
    void finish(std::span<std::uint8_t, kGcmTagSizeBytes> tag);

private:
    struct Release {
        void operator()(EVP_CIPHER_CTX* context) const;
    };
    std::unique_ptr<EVP_CIPHER_CTX, Release> context_;
};

}  // namespace velmora
