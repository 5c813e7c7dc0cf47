#include "cloud/Encryption.h"

#include "core/Base64.h"
#include "core/LogSingleton.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace Encryption {

namespace {

std::mutex initMutex;
bool initialised = false;

// Prints the first queued error and drops the rest, so the next failure reports its own.
void PrintErrors() {
    ERR_print_errors_cb(printErrorLog, nullptr);
    ERR_clear_error();
}

struct ContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

int Run(bool encrypt, const uint8* in, int length, const uint8* key, const uint8* iv, uint8* out) {
    InitializeOpenSSL();
    const char* failed = encrypt ? "Encryption failed" : "Decryption failed";
    if ((in == nullptr && length != 0) || out == nullptr || key == nullptr || iv == nullptr || length < 0) {
        throw std::runtime_error(std::string(failed) + ": invalid arguments");
    }
    static const uint8 nothing = 0;
    if (in == nullptr) in = &nothing;
    ERR_clear_error();
    std::unique_ptr<EVP_CIPHER_CTX, ContextFree> context(EVP_CIPHER_CTX_new());
    if (!context) {
        PrintErrors();
        throw std::runtime_error(std::string(failed) + ": Could not create context");
    }
    int total = 0;
    int count = 0;
    bool ok;
    if (encrypt) {
        ok = EVP_EncryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key, iv) == 1 &&
             EVP_EncryptUpdate(context.get(), out, &count, in, length) == 1;
        total = count;
        ok = ok && EVP_EncryptFinal_ex(context.get(), out + total, &count) == 1;
    } else {
        ok = EVP_DecryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key, iv) == 1 &&
             EVP_DecryptUpdate(context.get(), out, &count, in, length) == 1;
        total = count;
        ok = ok && EVP_DecryptFinal_ex(context.get(), out + total, &count) == 1;
    }
    if (!ok) {
        PrintErrors();
        throw std::runtime_error(failed);
    }
    return total + count;
}

}  // namespace

Key256::Key256(const std::string& text) {
    std::memset(bytes, 0, sizeof(bytes));
    std::memcpy(bytes, text.data(), std::min(text.size(), sizeof(bytes)));
}

InitializationVector::InitializationVector() {
    InitializeOpenSSL();
    if (RAND_bytes(bytes, kSize) != 1) {
        PrintErrors();
        throw std::runtime_error("Could not make a random initialization vector");
    }
}

InitializationVector::InitializationVector(const uint8* raw) { std::memcpy(bytes, raw, kSize); }

InitializationVector::InitializationVector(const std::string& base64) {
    char decoded[kSize + 1];
    const unsigned n = Base64::Decode(base64, decoded, sizeof(decoded));
    if (n != static_cast<unsigned>(kSize)) {
        throw std::invalid_argument("Initialization vector text does not hold 16 bytes");
    }
    std::memcpy(bytes, decoded, kSize);
}

std::string InitializationVector::ToBase64() const {
    return Base64::Encode(reinterpret_cast<const char*>(bytes), kSize);
}

void InitializeOpenSSL() {
    std::lock_guard<std::mutex> lock(initMutex);
    if (initialised) return;
    initialised = true;
    // What OPENSSL_add_all_algorithms_noconf and ERR_load_crypto_strings stand for since 1.1.
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                            OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                        nullptr);
}

int Encrypt(const uint8* in, int length, const uint8* key, const uint8* iv, uint8* out) {
    return Run(true, in, length, key, iv, out);
}

int Decrypt(const uint8* in, int length, const uint8* key, const uint8* iv, uint8* out) {
    return Run(false, in, length, key, iv, out);
}

int Encrypt(const uint8* in, int length, const Key256& key, const InitializationVector& iv, uint8* out) {
    return Run(true, in, length, key.Data(), iv.Data(), out);
}

int Decrypt(const uint8* in, int length, const Key256& key, const InitializationVector& iv, uint8* out) {
    return Run(false, in, length, key.Data(), iv.Data(), out);
}

std::vector<uint8> Decrypt(const uint8* in, int length, const Key256& key, const InitializationVector& iv) {
    std::vector<uint8> plain(static_cast<size_t>(std::max(length, 0)) + 16);
    const int n = Decrypt(in, length, key, iv, plain.data());
    plain.resize(static_cast<size_t>(n));
    return plain;
}

std::string Encrypt(const std::string& plain, const Key256& key, const InitializationVector& iv) {
    std::vector<uint8> cipher(plain.size() + 16);
    const int n = Encrypt(reinterpret_cast<const uint8*>(plain.data()), static_cast<int>(plain.size()), key, iv,
                          cipher.data());
    return Base64::Encode(reinterpret_cast<const char*>(cipher.data()), static_cast<size_t>(n));
}

std::string Decrypt(const std::string& base64, const Key256& key, const InitializationVector& iv) {
    const std::vector<unsigned char> cipher = Base64::Decode(base64);
    const std::vector<uint8> plain = Decrypt(cipher.data(), static_cast<int>(cipher.size()), key, iv);
    return std::string(plain.begin(), plain.end());
}

int printErrorLog(const char* text, size_t length, void* /*context*/) {
    std::string line(text, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    LogSingleton::instance()->addFormat("OpenSSL: %s", line.c_str());
    return 0;
}

}  // namespace Encryption
