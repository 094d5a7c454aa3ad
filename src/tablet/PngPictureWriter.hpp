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
class PngPictureWriter {
public:
    // Throws PictureSaveError; a file that could not be written is removed.
    static void write(const PixelBuffer& picture, const std::filesystem::path& path);
};

} // namespace velorinth
