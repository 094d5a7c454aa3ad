#pragma once

#include "platform/VideoCompressionSession.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

struct x264_t;

namespace velorinth {

// H.264 through libx264 on the CPU: zero-latency tuning (no lookahead, no
// B-frames, sliced threads), Main profile, NV12 in, 4-byte length-prefixed
// NAL units out, SPS and PPS apart.
class X264CompressionSession final : public VideoCompressionSession {
public:
    // Chosen by VideoPipelineBench: the only preset that encodes 1080p60 on two cores.
    static constexpr const char* kDefaultPreset = "ultrafast";
    // Any keyframe past this interval is an IDR, even when frames come slower than the rate.
    static constexpr std::int64_t kMaximumKeyframeSpacingUs = 2'000'000;

    // The rate-control buffer: 1.5 × the target rate, and at most half the
    // frame limit, so a keyframe fits it.
    static std::int64_t vbvBufferBits(const Settings& settings);

    static Factory factory(std::string preset);

    // Null with `status` -1 when x264 refuses the settings (an odd size, an unknown preset).
    static std::shared_ptr<X264CompressionSession> open(const Settings& settings, const std::string& preset,
                                                        int& status);
    ~X264CompressionSession() override;
    X264CompressionSession(const X264CompressionSession&) = delete;
    X264CompressionSession& operator=(const X264CompressionSession&) = delete;

    Result encode(const PixelBuffer& image, std::int64_t presentationTimeUs, std::int64_t durationUs,
                  bool forceKeyframe) override;
    void invalidate() override { invalidated_ = true; }

    // The rate-control buffer in force, in bits.
    std::int64_t currentVbvBufferBits();

private:
    X264CompressionSession(x264_t* encoder, Settings settings);
    bool readHeaders();
    // Lock held: a keyframe over the limit halves the buffer for the next one.
    void shrinkBufferAfter(std::size_t keyframeBytes);

    std::mutex mutex_; // one encode at a time
    std::atomic<bool> invalidated_ = false;
    x264_t* encoder_;
    const Settings settings_;
    std::int64_t vbvBufferKbit_ = 0;
    std::int64_t minimumVbvBufferKbit_ = 1;
    std::vector<Bytes> parameterSets_;
    std::optional<std::int64_t> lastKeyframeUs_;
};

} // namespace velorinth
