#include "vault/RecordSealer.h"

#include "vault/VaultManager.h"

#include <stdexcept>

namespace velmora {

namespace {

// A record: u32 plaintext length (little-endian) | nonce | tag | ciphertext.
constexpr std::size_t kLengthFieldBytes = 4;
constexpr std::size_t kNonceOffset = kLengthFieldBytes;
constexpr std::size_t kTagOffset = kNonceOffset + kGcmNonceSizeBytes;
static_assert(kTagOffset + kGcmTagSizeBytes == VaultManager::recordOverhead);

constexpr const char* kPlainSizeOutOfRange = "a vault record holds 1 to 1,048,576 plaintext bytes";

}  // namespace

RecordSealer::RecordSealer(SecretBytes key) : key_(std::move(key)) {}

void RecordSealer::begin(std::span<std::uint8_t> record) {
    if (record.size() < VaultManager::recordOverhead) throw std::invalid_argument("a vault record needs room for its prefix");
    record_ = record;
    plainBytes_ = 0;
    std::span<std::uint8_t> nonce = record_.subspan(kNonceOffset, kGcmNonceSizeBytes);
    fillRandom(nonce);
    cipher_.begin(key_.span(), nonce);
}

void RecordSealer::add(ByteView plain) {
    std::size_t room = std::min<std::size_t>(VaultManager::chunkSize, record_.size() - VaultManager::recordOverhead);
    if (plain.size() > room - plainBytes_) throw std::invalid_argument(kPlainSizeOutOfRange);
    cipher_.update(plain, record_.subspan(VaultManager::recordOverhead + plainBytes_, plain.size()));
    plainBytes_ += plain.size();
}

std::span<std::uint8_t> RecordSealer::finish() {
    if (plainBytes_ == 0) throw std::invalid_argument(kPlainSizeOutOfRange);
    for (std::size_t i = 0; i < kLengthFieldBytes; ++i) record_[i] = static_cast<std::uint8_t>(plainBytes_ >> (8 * i));
    cipher_.finish(record_.subspan(kTagOffset).first<kGcmTagSizeBytes>());
    return record_.first(VaultManager::recordOverhead + plainBytes_);
}

}  // namespace velmora
