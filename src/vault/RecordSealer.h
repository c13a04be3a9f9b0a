#pragma once

#include "core/Crypto.h"
#include "core/SecretBytes.h"

#include <cstddef>
#include <span>

namespace velmora {

// Seals vault records (layout in VaultManager.h) from plaintext that arrives in pieces of any size,
// straight into the record's place in the caller's buffer, so no piece is copied before it is
// encrypted: begin() picks the record's fresh nonce, add() encrypts each piece behind the
// 32-byte prefix, finish() writes the length and the tag. One thread uses a sealer.
class RecordSealer {
public:
    explicit RecordSealer(SecretBytes key);

    // Starts a record in `record` (at least recordOverhead bytes; the room after the prefix bounds
    // the plaintext together with chunkSize). Throws the random generator's error.
    void begin(std::span<std::uint8_t> record);
    // Encrypts the next piece of the record's plaintext. Throws std::invalid_argument past the room
    // of the record, the cipher's error otherwise.
    void add(ByteView plain);
    // Plaintext bytes in the record begun last.
    std::size_t plainBytes() const { return plainBytes_; }
    // Ends the record; returns its bytes (recordOverhead + plainBytes()). Throws
    // std::invalid_argument for a record without plaintext.
    std::span<std::uint8_t> finish();

private:
    SecretBytes key_;
    AesGcm256Sealer cipher_;
    std::span<std::uint8_t> record_;
    std::size_t plainBytes_ = 0;
};

}  // namespace velmora
