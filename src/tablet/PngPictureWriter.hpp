#pragma once

#include "core/Error.hpp"
#include "platform/PixelBuffer.hpp"

#include <filesystem>
#include <string>

namespace velorinth {

// A picture that could not be saved; what() says why.
class PictureSaveError : public Error {
public:
    explicit PictureSaveError(const std::string& detail) : Error("Couldn't save the picture: " + detail) {}
};

// Saves a decoded picture as a PNG file: colour conversion with swscale
// (BT.709 video range to full-range RGB), then libavcodec's PNG encoder.
// The file is written beside `path` and renamed over it, so a failed save
// leaves whatever was there.
class PngPictureWriter {
public:
    // Throws PictureSaveError.
    static void write(const PixelBuffer& picture, const std::filesystem::path& path);
    // Whether write() could put a file at `path`, asked before there is a
    // picture: its folder takes a new file, and `path` is no folder and, when
    // it exists, writable. Throws PictureSaveError when not.
    static void checkDestination(const std::filesystem::path& path);
};

} // namespace velorinth
