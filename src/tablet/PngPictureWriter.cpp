#include "tablet/PngPictureWriter.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace velorinth {

namespace {

struct FrameFree {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct CodecFree {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct ScaleFree {
    void operator()(SwsContext* context) const noexcept { sws_freeContext(context); }
};

std::unique_ptr<AVFrame, FrameFree> rgbPicture(const PixelBuffer& picture) {
    std::unique_ptr<AVFrame, FrameFree> rgb(av_frame_alloc());
    if (!rgb) throw PictureSaveError("out of memory");
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = picture.width();
    rgb->height = picture.height();
    if (av_frame_get_buffer(rgb.get(), 0) < 0) throw PictureSaveError("out of memory");

    std::unique_ptr<SwsContext, ScaleFree> scale(sws_getContext(picture.width(), picture.height(), AV_PIX_FMT_NV12,
                                                                picture.width(), picture.height(), AV_PIX_FMT_RGB24,
                                                                SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scale) throw PictureSaveError("no colour conversion for this picture size");
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(scale.get(), bt709, 0, bt709, 1, 0, 1 << 16, 1 << 16);
    const std::uint8_t* source[4] = {picture.plane(0), picture.plane(1), nullptr, nullptr};
    const int strides[4] = {picture.stride(0), picture.stride(1), 0, 0};
    sws_scale(scale.get(), source, strides, 0, picture.height(), rgb->data, rgb->linesize);
    return rgb;
}

std::string refusal(const std::filesystem::path& path, int error) {
    return path.string() + " cannot be written (" + std::strerror(error) + ")";
}

// A new, empty file beside `path`, open for writing; its name in `temporary`.
int openBeside(const std::filesystem::path& path, std::string& temporary) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) throw PictureSaveError(path.string() + " is a folder");
    if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0) {
        throw PictureSaveError(refusal(path, errno));
    }
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    // Not mkstemp: its file would be 0600, where a saved picture takes the umask as any new file does.
    for (int attempt = 0;; ++attempt) {
        temporary = (folder / ("." + path.filename().string() + "." + std::to_string(::getpid()) + "." +
                               std::to_string(attempt) + ".part"))
                        .string();
        const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file >= 0) return file;
        if (errno != EEXIST || attempt == 99) throw PictureSaveError(refusal(path, errno));
    }
}

bool writeAll(int file, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(file, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

void PngPictureWriter::checkDestination(const std::filesystem::path& path) {
    std::string temporary;
    ::close(openBeside(path, temporary));
    ::unlink(temporary.c_str());
}

void PngPictureWriter::write(const PixelBuffer& picture, const std::filesystem::path& path) {
    const std::unique_ptr<AVFrame, FrameFree> rgb = rgbPicture(picture);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) throw PictureSaveError("no PNG encoder");
    std::unique_ptr<AVCodecContext, CodecFree> context(avcodec_alloc_context3(codec));
    if (!context) throw PictureSaveError("out of memory");
    context->width = picture.width();
    context->height = picture.height();
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 1};
    if (avcodec_open2(context.get(), codec, nullptr) < 0) throw PictureSaveError("the PNG encoder did not open");

    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!packet || avcodec_send_frame(context.get(), rgb.get()) < 0 ||
        avcodec_receive_packet(context.get(), packet.get()) < 0) {
        throw PictureSaveError("the PNG encoder failed");
    }
    std::string temporary;
    const int file = openBeside(path, temporary);
    bool saved = writeAll(file, packet->data, static_cast<std::size_t>(packet->size));
    int error = saved ? 0 : errno;
    if (::close(file) != 0 && saved) {
        saved = false;
        error = errno;
    }
    if (saved && std::rename(temporary.c_str(), path.c_str()) != 0) {
        saved = false;
        error = errno;
    }
    if (!saved) {
        ::unlink(temporary.c_str());
        throw PictureSaveError(refusal(path, error == 0 ? EIO : error));
    }
}

} // namespace velorinth
