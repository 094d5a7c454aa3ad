#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

Bytes bytesOf(std::string_view text);
std::string stringOf(ByteView bytes);

// Every byte as two upper-case hexadecimal digits, no separator.
std::string hexEncodedString(ByteView bytes);
// The same in lower case.
std::string lowercaseHexString(ByteView bytes);
// Accepts either case; nullopt on odd length or a non-hex digit.
std::optional<Bytes> hexDecode(std::string_view text);

// Standard Base64 with padding.
std::string base64Encode(ByteView bytes);
// Strict: the length is a multiple of 4, only alphabet bytes, '=' only as the
// last one or two characters. nullopt otherwise.
std::optional<Bytes> base64Decode(std::string_view text);

// Overwrites the bytes with zeros in a way the compiler cannot elide.
void secureWipe(void* data, std::size_t size);
inline void secureWipe(Bytes& bytes) { secureWipe(bytes.data(), bytes.size()); }

// Byte buffer for key material: wiped when dropped or overwritten.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(Bytes bytes) : bytes_(std::move(bytes)) {}
    SecretBytes(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}
    SecretBytes(const SecretBytes&) = default;
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
    SecretBytes& operator=(const SecretBytes& other);
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    ~SecretBytes();

    const Bytes& bytes() const noexcept { return bytes_; }
    ByteView view() const noexcept { return bytes_; }
    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return bytes_.size(); }
    bool empty() const noexcept { return bytes_.empty(); }

    // Constant-time comparison.
    bool operator==(const SecretBytes& other) const noexcept;

private:
    Bytes bytes_;
};

// Constant-time equality of two byte strings of any length.
bool constantTimeEqual(ByteView a, ByteView b) noexcept;

} // namespace velorinth
