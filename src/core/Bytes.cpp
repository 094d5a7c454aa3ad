#include "core/Bytes.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>

namespace velorinth {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string stringOf(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

namespace {
std::string hexString(ByteView bytes, const char (&digits)[17]) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}
} // namespace

std::string hexEncodedString(ByteView bytes) { return hexString(bytes, "0123456789ABCDEF"); }
std::string lowercaseHexString(ByteView bytes) { return hexString(bytes, "0123456789abcdef"); }

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isBase64Alphabet(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}
} // namespace

std::optional<Bytes> hexDecode(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = hexValue(text[i]);
        int lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
}

std::string base64Encode(ByteView bytes) {
    if (bytes.empty()) return {};
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    // EVP_EncodeBlock takes an int length; our frames and records are far below 2 GiB.
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(written));
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.empty()) return Bytes{};
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
    std::size_t padding = 0;
    if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    // EVP_DecodeBlock skips white space and decodes "=" as zero bits, so the
    // alphabet and the padding position are checked here first.
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        if (!isBase64Alphabet(static_cast<unsigned char>(text[i]))) return std::nullopt;
    }
    Bytes out(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0 || static_cast<std::size_t>(n) != out.size()) return std::nullopt;
    out.resize(out.size() - padding);
    return out;
}

void secureWipe(void* data, std::size_t size) {
    if (data != nullptr && size > 0) OPENSSL_cleanse(data, size);
}

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
    if (this != &other) {
        secureWipe(bytes_);
        bytes_ = other.bytes_;
    }
    return *this;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        secureWipe(bytes_);
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
    }
    return *this;
}

SecretBytes::~SecretBytes() { secureWipe(bytes_); }

bool SecretBytes::operator==(const SecretBytes& other) const noexcept {
    return constantTimeEqual(bytes_, other.bytes_);
}

bool constantTimeEqual(ByteView a, ByteView b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace velorinth
