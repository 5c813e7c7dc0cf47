#pragma once

// AES-256-CBC through OpenSSL's EVP interface, for the cloud credentials kept in the
// project file. Failures throw std::runtime_error after one "OpenSSL: " log line.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Encryption {

using uint8 = std::uint8_t;

// The key of a text: its first 32 characters, padded with zero bytes. Never stored.
class Key256 {
public:
    static constexpr int kSize = 32;
    explicit Key256(const std::string& text);
    const uint8* Data() const { return bytes; }

private:
    uint8 bytes[kSize];
};

class InitializationVector {
public:
    static constexpr int kSize = 16;
    // 16 bytes from the system's cryptographic random source; throws when it fails.
    InitializationVector();
    // The first 16 bytes at raw.
    explicit InitializationVector(const uint8* raw);
    // A base64 text that decodes to exactly 16 bytes; std::invalid_argument otherwise.
    explicit InitializationVector(const std::string& base64);
    std::string ToBase64() const;
    const uint8* Data() const { return bytes; }

private:
    uint8 bytes[kSize];
};

// Loads the cipher tables and error texts once per process.
void InitializeOpenSSL();

// out has room for length + 16 bytes; returns the ciphertext length (PKCS#7 padding).
int Encrypt(const uint8* in, int length, const uint8* key, const uint8* iv, uint8* out);
// out has room for length + 16 bytes (the library may write a block beyond the plain
// text while it holds back the last one); returns the plain-text length.
int Decrypt(const uint8* in, int length, const uint8* key, const uint8* iv, uint8* out);
int Encrypt(const uint8* in, int length, const Key256& key, const InitializationVector& iv, uint8* out);
int Decrypt(const uint8* in, int length, const Key256& key, const InitializationVector& iv, uint8* out);
std::vector<uint8> Decrypt(const uint8* in, int length, const Key256& key, const InitializationVector& iv);
// Base64 of the ciphertext alone (no IV).
std::string Encrypt(const std::string& plain, const Key256& key, const InitializationVector& iv);
// Plain text of the base64 ciphertext.
std::string Decrypt(const std::string& base64, const Key256& key, const InitializationVector& iv);

// Error-queue printer: logs "OpenSSL: <text>"; returns 0 so that only the first is printed.
int printErrorLog(const char* text, size_t length, void* context);

}  // namespace Encryption
