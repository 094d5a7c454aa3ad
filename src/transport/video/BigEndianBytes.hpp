#pragma once

// Big-endian reading and writing for the binary session formats. The reader
// checks every read against the end of its view and fails with
// truncatedPacket, so a decoder never reads or allocates past its input.

#include "core/Bytes.hpp"
#include "transport/video/VideoProtocolError.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace velorinth::bigendian {

template <std::unsigned_integral T>
void append(Bytes& out, T value) {
    for (std::size_t shift = sizeof(T); shift-- > 0;) {
        out.push_back(static_cast<std::uint8_t>(value >> (shift * 8)));
    }
}

inline void appendBytes(Bytes& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

class Reader {
public:
    explicit Reader(ByteView data) : data_(data) {}

    std::size_t remaining() const noexcept { return data_.size() - offset_; }

    template <std::unsigned_integral T>
    T read() {
        auto bytes = take(sizeof(T));
        T value = 0;
        for (std::uint8_t byte : bytes) value = static_cast<T>((value << 8) | byte);
        return value;
    }

    std::int64_t readInt64() { return static_cast<std::int64_t>(read<std::uint64_t>()); }

    // A view of the next `count` bytes; nothing is copied.
    ByteView take(std::size_t count) {
        if (count > remaining()) throw VideoProtocolError(VideoProtocolError::Case::truncatedPacket);
        auto view = data_.subspan(offset_, count);
        offset_ += count;
        return view;
    }

private:
    ByteView data_;
    std::size_t offset_ = 0;
};

} // namespace velorinth::bigendian
