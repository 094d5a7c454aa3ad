#include "platform/linux/X264CompressionSession.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

extern "C" {
#include <x264.h>
}

namespace velorinth {

namespace {

constexpr int kStatusFailed = -1;
constexpr int kPrefixBytes = 4; // b_annexb = 0: each NAL starts with its 4-byte big-endian size
// The retries stop at a sixteenth of the first buffer (four halvings).
constexpr std::int64_t kMaximumShrink = 16;

std::int64_t kilobits(std::int64_t bits) { return std::max<std::int64_t>(bits / 1000, 1); }

bool isParameterSetOrDelimiter(int type) { return type == NAL_SPS || type == NAL_PPS || type == NAL_AUD; }

} // namespace

std::int64_t X264CompressionSession::vbvBufferBits(const Settings& settings) {
    const std::int64_t cap = settings.frameByteLimit * 8 / 2;
    return std::min(settings.targetBitrateBps * 3 / 2, cap);
}

VideoCompressionSession::Factory X264CompressionSession::factory(std::string preset) {
    return [preset = std::move(preset)](const Settings& settings,
                                        int& status) -> std::shared_ptr<VideoCompressionSession> {
        return open(settings, preset, status);
    };
}

VideoCompressionSession::Factory VideoCompressionSession::defaultFactory() {
    return X264CompressionSession::factory(X264CompressionSession::kDefaultPreset);
}

std::shared_ptr<X264CompressionSession> X264CompressionSession::open(const Settings& settings,
                                                                     const std::string& preset, int& status) {
    status = kStatusFailed;
    // 4:2:0 needs even sides. x264 refuses others too, but leaks a little doing so.
    if (settings.width < 2 || settings.height < 2 || settings.width % 2 != 0 || settings.height % 2 != 0)
        return nullptr;
    x264_param_t param;
    if (x264_param_default_preset(&param, preset.c_str(), "zerolatency") < 0) return nullptr;
    const std::int64_t fps = std::max<std::int64_t>(settings.framesPerSecond, 1);
    param.i_log_level = X264_LOG_NONE;
    param.i_csp = X264_CSP_NV12;
    param.i_bitdepth = 8;
    param.i_width = settings.width;
    param.i_height = settings.height;
    param.i_fps_num = static_cast<std::uint32_t>(fps);
    param.i_fps_den = 1;
    param.i_timebase_num = 1;
    param.i_timebase_den = 1'000'000;
    // With variable-rate input x264 holds the first frame back.
    param.b_vfr_input = 0;
    param.i_keyint_max = static_cast<int>(std::min(settings.keyframeIntervalFrames, 2 * fps));
    param.vui.b_fullrange = 0;
    param.vui.i_colorprim = 1; // BT.709
    param.vui.i_transfer = 1;
    param.vui.i_colmatrix = 1;
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = static_cast<int>(kilobits(settings.targetBitrateBps));
    param.rc.i_vbv_max_bitrate = static_cast<int>(kilobits(settings.targetBitrateBps * 3 / 2));
    param.rc.i_vbv_buffer_size = static_cast<int>(kilobits(vbvBufferBits(settings)));
    param.b_annexb = 0;
    param.b_repeat_headers = 0;
    if (x264_param_apply_profile(&param, "main") < 0) return nullptr;
    x264_t* encoder = x264_encoder_open(&param);
    if (encoder == nullptr) return nullptr;
    std::shared_ptr<X264CompressionSession> session(new X264CompressionSession(encoder, settings));
    session->vbvBufferKbit_ = param.rc.i_vbv_buffer_size;
    session->minimumVbvBufferKbit_ = std::max<std::int64_t>(param.rc.i_vbv_buffer_size / kMaximumShrink, 1);
    if (!session->readHeaders()) return nullptr;
    status = 0;
    return session;
}

X264CompressionSession::X264CompressionSession(x264_t* encoder, Settings settings)
    : encoder_(encoder), settings_(settings) {}

X264CompressionSession::~X264CompressionSession() { x264_encoder_close(encoder_); }

bool X264CompressionSession::readHeaders() {
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder_, &nals, &count) < 0) return false;
    for (int i = 0; i < count; ++i) {
        if (nals[i].i_type != NAL_SPS && nals[i].i_type != NAL_PPS) continue;
        if (nals[i].i_payload <= kPrefixBytes) return false;
        parameterSets_.emplace_back(nals[i].p_payload + kPrefixBytes, nals[i].p_payload + nals[i].i_payload);
    }
    return parameterSets_.size() >= 2;
}

VideoCompressionSession::Result X264CompressionSession::encode(const PixelBuffer& image,
                                                               std::int64_t presentationTimeUs, std::int64_t durationUs,
                                                               bool forceKeyframe) {
    Result result;
    std::lock_guard guard(mutex_);
    if (invalidated_ || image.width() != settings_.width || image.height() != settings_.height) {
        result.status = kStatusFailed;
        return result;
    }
    x264_picture_t in;
    x264_picture_t out;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_NV12;
    in.img.i_plane = 2;
    for (int plane = 0; plane < 2; ++plane) {
        in.img.plane[plane] = const_cast<std::uint8_t*>(image.plane(plane)); // x264 only reads its input
        in.img.i_stride[plane] = image.stride(plane);
    }
    in.i_pts = presentationTimeUs;
    (void)durationUs; // constant-rate input: x264 takes each frame as 1/fps
    const bool spacingDue = lastKeyframeUs_ && presentationTimeUs - *lastKeyframeUs_ >= kMaximumKeyframeSpacingUs;
    if (forceKeyframe || spacingDue || !lastKeyframeUs_) in.i_type = X264_TYPE_IDR;

    x264_nal_t* nals = nullptr;
    int count = 0;
    const int size = x264_encoder_encode(encoder_, &nals, &count, &in, &out);
    // Invalidated meanwhile: whatever came out belongs to a dead stream.
    if (invalidated_) {
        result.status = kStatusFailed;
        return result;
    }
    if (size < 0) {
        result.status = size;
        return result;
    }
    if (count == 0) return result;
    try {
        Frame frame;
        std::size_t bytes = 0;
        for (int i = 0; i < count; ++i) {
            if (!isParameterSetOrDelimiter(nals[i].i_type)) bytes += static_cast<std::size_t>(nals[i].i_payload);
        }
        frame.payload.reserve(bytes);
        for (int i = 0; i < count; ++i) {
            if (isParameterSetOrDelimiter(nals[i].i_type)) continue;
            frame.payload.insert(frame.payload.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
            if (nals[i].i_type == NAL_SLICE_IDR) frame.isKeyframe = true;
        }
        frame.nalUnitHeaderLength = kPrefixBytes;
        frame.parameterSets = parameterSets_;
        if (frame.isKeyframe) {
            lastKeyframeUs_ = presentationTimeUs;
            shrinkBufferAfter(frame.payload.size());
        }
        result.frame = std::move(frame);
    } catch (const std::bad_alloc&) {
        result.payloadStatus = kStatusFailed;
    }
    return result;
}

// x264's buffer model is best effort: a keyframe of full noise can still pass
// the fragmenter's limit, which would refuse it, ask for another keyframe and
// so never resume. Halving converges within a few keyframes.
void X264CompressionSession::shrinkBufferAfter(std::size_t keyframeBytes) {
    if (static_cast<std::int64_t>(keyframeBytes) <= settings_.frameByteLimit) return;
    const std::int64_t halved = std::max(vbvBufferKbit_ / 2, minimumVbvBufferKbit_);
    if (halved >= vbvBufferKbit_) return;
    x264_param_t param;
    x264_encoder_parameters(encoder_, &param);
    param.rc.i_vbv_buffer_size = static_cast<int>(halved);
    if (x264_encoder_reconfig(encoder_, &param) == 0) vbvBufferKbit_ = halved;
}

std::int64_t X264CompressionSession::currentVbvBufferBits() {
    std::lock_guard guard(mutex_);
    return vbvBufferKbit_ * 1000;
}

} // namespace velorinth
