#include "core/Crypto.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>
#include <stdexcept>

namespace velmora {

namespace {

template <typename T, void (*Release)(T*)>
struct OpenSslDeleter {
    void operator()(T* handle) const { Release(handle); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, OpenSslDeleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using KdfContext = std::unique_ptr<EVP_KDF_CTX, OpenSslDeleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, OpenSslDeleter<EVP_KDF, EVP_KDF_free>>;
using Cipher = std::unique_ptr<EVP_CIPHER, OpenSslDeleter<EVP_CIPHER, EVP_CIPHER_free>>;

[[noreturn]] void throwOpenSslError(const char* what) {
    char text[256] = "unknown error";
    if (unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    throw std::runtime_error(std::string(what) + ": " + text);
}

// Fetched once: implicit fetching by name on every call costs more than a small record's cipher work.
const EVP_CIPHER* aes256Gcm() {
    static const Cipher cipher(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
    if (!cipher) throwOpenSslError("AES-256-GCM unavailable");
    return cipher.get();
}

int lengthAsInt(std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX)) throw std::invalid_argument("AES-GCM input too large");
    return static_cast<int>(size);
}

void checkGcmSizes(ByteView key, ByteView nonce) {
    if (key.size() != kAes256KeySizeBytes) throw std::invalid_argument("AES-256-GCM needs a 32-byte key");
    if (nonce.size() != kGcmNonceSizeBytes) throw std::invalid_argument("AES-256-GCM needs a 12-byte nonce");
}

CipherContext gcmContext(ByteView key, ByteView nonce, bool encrypt) {
    checkGcmSizes(key, nonce);
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context) throwOpenSslError("EVP_CIPHER_CTX_new");
    if (EVP_CipherInit_ex2(context.get(), aes256Gcm(), key.data(), nonce.data(), encrypt ? 1 : 0, nullptr) != 1) {
        throwOpenSslError("AES-256-GCM init");
    }
    return context;
}

void encryptInto(EVP_CIPHER_CTX* context, ByteView plaintext, std::span<std::uint8_t> ciphertext) {
    if (ciphertext.size() != plaintext.size()) throw std::invalid_argument("AES-GCM output size must equal input size");
    int written = 0;
    if (!plaintext.empty() &&
        EVP_EncryptUpdate(context, ciphertext.data(), &written, plaintext.data(), lengthAsInt(plaintext.size())) != 1) {
        throwOpenSslError("AES-256-GCM encrypt");
    }
    if (static_cast<std::size_t>(written) != plaintext.size()) throw std::runtime_error("AES-256-GCM encrypt: output withheld");
}

// GCM emits every byte from EVP_EncryptUpdate; the final call only computes the tag.
void finishSealing(EVP_CIPHER_CTX* context, std::span<std::uint8_t, kGcmTagSizeBytes> tag) {
    std::uint8_t none[16];
    int finalWritten = 0;
    if (EVP_EncryptFinal_ex(context, none, &finalWritten) != 1) throwOpenSslError("AES-256-GCM final");
    if (EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tag.size()), tag.data()) != 1) {
        throwOpenSslError("AES-256-GCM tag");
    }
}

void addAssociatedData(EVP_CIPHER_CTX* context, ByteView associatedData) {
    if (associatedData.empty()) return;
    int written = 0;
    if (EVP_CipherUpdate(context, nullptr, &written, associatedData.data(), lengthAsInt(associatedData.size())) != 1) {
        throwOpenSslError("AES-256-GCM associated data");
    }
}

}  // namespace

std::string hexLower(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0x0f]);
    }
    return out;
}

Sha256Digest sha256(ByteView data) {
    Sha256Digest digest{};
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) throwOpenSslError("SHA-256");
    return digest;
}

SecretBytes hkdfSha256(ByteView inputKey, ByteView salt, ByteView info, std::size_t length) {
    Kdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf) throwOpenSslError("HKDF unavailable");
    KdfContext context(EVP_KDF_CTX_new(kdf.get()));
    if (!context) throwOpenSslError("EVP_KDF_CTX_new");
    char digestName[] = "SHA256";
    // OpenSSL's parameter API takes non-const pointers but only reads them, and refuses a null
    // pointer even for an empty salt or info.
    static std::uint8_t emptyInput = 0;
    auto mutableBytes = [](ByteView view) { return view.empty() ? &emptyInput : const_cast<std::uint8_t*>(view.data()); };
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutableBytes(inputKey), inputKey.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutableBytes(salt), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mutableBytes(info), info.size()),
        OSSL_PARAM_construct_end(),
    };
    SecretBytes out(length);
    if (EVP_KDF_derive(context.get(), out.data(), out.size(), params) != 1) throwOpenSslError("HKDF-SHA256");
    return out;
}

void fillRandom(std::span<std::uint8_t> out) {
    if (out.empty()) return;
    if (RAND_bytes(out.data(), lengthAsInt(out.size())) != 1) throwOpenSslError("RAND_bytes");
}

Bytes randomBytes(std::size_t count) {
    Bytes bytes(count);
    fillRandom(bytes);
    return bytes;
}

void AesGcm256::seal(ByteView key, ByteView nonce, ByteView plaintext, ByteView associatedData,
                     std::span<std::uint8_t> ciphertext, std::span<std::uint8_t, kGcmTagSizeBytes> tag) {
    CipherContext context = gcmContext(key, nonce, true);
    addAssociatedData(context.get(), associatedData);
    encryptInto(context.get(), plaintext, ciphertext);
    finishSealing(context.get(), tag);
}

bool AesGcm256::open(ByteView key, ByteView nonce, ByteView ciphertext, ByteView associatedData, ByteView tag,
                     std::span<std::uint8_t> plaintext) {
    if (plaintext.size() != ciphertext.size()) throw std::invalid_argument("AES-GCM output size must equal input size");
    if (tag.size() != kGcmTagSizeBytes) return false;
    CipherContext context = gcmContext(key, nonce, false);
    addAssociatedData(context.get(), associatedData);
    int written = 0;
    if (!ciphertext.empty() &&
        EVP_DecryptUpdate(context.get(), plaintext.data(), &written, ciphertext.data(), lengthAsInt(ciphertext.size())) != 1) {
        throwOpenSslError("AES-256-GCM decrypt");
    }
    if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag.size()),
                            const_cast<std::uint8_t*>(tag.data())) != 1) {
        throwOpenSslError("AES-256-GCM tag");
    }
    int finalWritten = 0;
    if (EVP_DecryptFinal_ex(context.get(), plaintext.data() + written, &finalWritten) != 1) {
        ERR_clear_error();
        if (!plaintext.empty()) OPENSSL_cleanse(plaintext.data(), plaintext.size());
        return false;
    }
    return true;
}

void AesGcm256Sealer::Release::operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }

AesGcm256Sealer::AesGcm256Sealer() : context_(EVP_CIPHER_CTX_new()) {
    if (!context_) throwOpenSslError("EVP_CIPHER_CTX_new");
}

AesGcm256Sealer::~AesGcm256Sealer() = default;

void AesGcm256Sealer::begin(ByteView key, ByteView nonce) {
    checkGcmSizes(key, nonce);
    if (EVP_CipherInit_ex2(context_.get(), aes256Gcm(), key.data(), nonce.data(), 1, nullptr) != 1) {
        throwOpenSslError("AES-256-GCM init");
    }
}

void AesGcm256Sealer::update(ByteView plaintext, std::span<std::uint8_t> ciphertext) {
    encryptInto(context_.get(), plaintext, ciphertext);
}

void AesGcm256Sealer::finish(std::span<std::uint8_t, kGcmTagSizeBytes> tag) { finishSealing(context_.get(), tag); }

}  // namespace velmora
