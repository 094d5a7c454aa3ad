#pragma once

// Big-endian (network order) integers for every binary format we write or
// read: the frame length, the wire frame, the video fragment, the nonce and
// the pairing transcript.

#include "core/Bytes.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velorinth::bigendian {

template <std::unsigned_integral T>
constexpr void store(std::span<std::uint8_t, sizeof(T)> out, T value) noexcept {
    for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(T) - 1 - i)));
}

template <std::unsigned_integral T>
constexpr T load(std::span<const std::uint8_t, sizeof(T)> in) noexcept {
    T value = 0;
    for (std::uint8_t byte : in) value = static_cast<T>((value << 8) | byte);
    return value;
}

template <std::unsigned_integral T>
void append(Bytes& out, T value) {
    const std::size_t at = out.size();
    out.resize(at + sizeof(T));
    store<T>(std::span<std::uint8_t, sizeof(T)>(out.data() + at, sizeof(T)), value);
}

inline void appendBytes(Bytes& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// Reads a view front to back and checks every read against its end: running
// past it calls `Truncated{}()`, which throws the format's own error, so a
// decoder never reads or allocates past its input.
template <class Truncated>
class Reader {
public:
    explicit Reader(ByteView data) : data_(data) {}

    std::size_t remaining() const noexcept { return data_.size() - offset_; }

    template <std::unsigned_integral T>
    T read() {
        return load<T>(take(sizeof(T)).template first<sizeof(T)>());
    }

    std::int64_t readInt64() { return static_cast<std::int64_t>(read<std::uint64_t>()); }

    // A view of the next `count` bytes; nothing is copied.
    ByteView take(std::size_t count) {
        if (count > remaining()) Truncated{}();
        const ByteView view = data_.subspan(offset_, count);
        offset_ += count;
        return view;
    }

private:
    ByteView data_;
    std::size_t offset_ = 0;
};

} // namespace velorinth::bigendian
