#pragma once

#include "core/Error.hpp"

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velorinth {

// The system's secure generator refused to give random bytes.
class UuidError : public Error {
public:
    UuidError() : Error("The system's secure random generator failed.") {}
};

// A 128-bit identifier. Text is the 8-4-4-4-12 form, written upper-case and
// read in either case.
class Uuid {
public:
    using Storage = std::array<std::uint8_t, 16>;

    Uuid() = default; // the nil UUID
    explicit Uuid(const Storage& bytes) : bytes_(bytes) {}

    // A random (version 4) identifier from the system's secure generator.
    static Uuid random();
    static std::optional<Uuid> fromString(std::string_view text);

    const Storage& bytes() const noexcept { return bytes_; }
    std::string uuidString() const;      // upper-case
    std::string lowercaseString() const; // as digests and certificate names use it

    auto operator<=>(const Uuid&) const = default;

private:
    Storage bytes_{};
};

} // namespace velorinth

template <>
struct std::hash<velorinth::Uuid> {
    std::size_t operator()(const velorinth::Uuid& id) const noexcept;
};
