#include "transport/video/DesktopVideoDecoder.hpp"

#include "core/BigEndian.hpp"

#include <algorithm>

namespace velorinth {

DesktopVideoDecoder::DesktopVideoDecoder(UptimeClock uptime) : uptime_(std::move(uptime)), windowStartNs_(uptime_()) {}

DesktopVideoDecoder::~DesktopVideoDecoder() { invalidate(); }

void DesktopVideoDecoder::fail(Case kind, bool counts, bool needsKeyframe, std::int32_t status) {
    if (counts) ++decoderErrorCount_;
    if (needsKeyframe) needsKeyframe_ = true;
    throw VideoDecoderError(kind, status);
}

DecodedVideoFrame DesktopVideoDecoder::decode(const EncodedVideoFrame& frame) {
    const std::uint64_t startNs = uptime_();
    std::lock_guard guard(lock_);
    if (isInvalidated_) throw VideoDecoderError(Case::invalidated);
    if (frame.width < minimumDimension || frame.height < minimumDimension ||
        frame.sourceDisplayWidth < minimumDimension || frame.sourceDisplayHeight < minimumDimension ||
        frame.payload.empty()) {
        fail(Case::invalidMetadata, true, false);
    }
    if (!activeStreamID_ || *activeStreamID_ != frame.streamID || activeGeneration_ != frame.generation) {
        activeStreamID_ = frame.streamID;
        activeGeneration_ = frame.generation;
        lastDecodedSequence_.reset();
        needsKeyframe_ = true;
    }
    if (frame.codecConfiguration && (!activeCodecConfig_ || *frame.codecConfiguration != *activeCodecConfig_ ||
                                     !decompressionSession_ || !formatDescription_)) {
        try {
            configure(*frame.codecConfiguration, frame.width, frame.height);
        } catch (const VideoDecoderError& error) {
            fail(error.kind, true, true, error.status);
        }
    }
    if (!activeCodecConfig_ || !formatDescription_ || !decompressionSession_) {
        fail(Case::missingConfiguration, false, true);
    }
    if (frame.codecConfigVersion != activeCodecConfig_->version) fail(Case::missingConfiguration, false, true);
    if (needsKeyframe_ && !frame.isKeyframe) throw VideoDecoderError(Case::awaitingKeyframe);
    if (!needsKeyframe_ && !frame.isKeyframe &&
        (!lastDecodedSequence_ || frame.sequence != *lastDecodedSequence_ + 1)) {
        fail(Case::missingReferenceFrame, true, true);
    }
    if (!isStructurallyValid(frame.payload, activeCodecConfig_->nalUnitHeaderLength)) {
        fail(Case::corruptedPayload, true, true);
    }

    const MediaTime presentationTime = MediaTime::make(frame.presentationTimestampUs, 1'000'000);
    const MediaTime duration = MediaTime::make(std::max<std::int64_t>(frame.durationUs, 1), 1'000'000);
    const VideoDecompressionSession::Result result =
        decompressionSession_->decode(frame.payload, presentationTime, duration);
    if (result.wrapStatus != 0) throw VideoDecoderError(Case::decodingFailed, result.wrapStatus);
    if (result.status != 0 || !result.image) fail(Case::decodingFailed, true, true, result.status);

    needsKeyframe_ = false;
    lastDecodedSequence_ = frame.sequence;
    ++decodedFramesWindow_;
    const std::uint64_t endNs = uptime_();
    lastDecodeMs_ = static_cast<double>(endNs - startNs) / 1'000'000.0;
    updateRateWindow(endNs);

    DecodedVideoFrame decoded;
    decoded.streamID = frame.streamID;
    decoded.generation = frame.generation;
    decoded.sequence = frame.sequence;
    decoded.width = result.image->width();
    decoded.height = result.image->height();
    decoded.pixelBuffer = result.image;
    decoded.presentationTimeStamp = presentationTime;
    decoded.duration = duration;
    decoded.sourceDisplayWidth = frame.sourceDisplayWidth;
    decoded.sourceDisplayHeight = frame.sourceDisplayHeight;
    decoded.decodeDurationMilliseconds = *lastDecodeMs_;
    return decoded;
}

void DesktopVideoDecoder::configure(const H264CodecConfiguration& configuration, std::int64_t width,
                                    std::int64_t height) {
    dropSession();
    if (configuration.sps.empty() || configuration.pps.empty()) throw VideoDecoderError(Case::missingConfiguration);
    int status = 0;
    std::optional<VideoFormatDescription> format = VideoFormatDescription::fromH264ParameterSets(
        configuration.sps, configuration.pps, configuration.nalUnitHeaderLength, status);
    if (!format) throw VideoDecoderError(Case::formatDescriptionFailed, status != 0 ? status : -1);
    // The frame's size is only a hint here (the SPS decides); it was checked against 64 and is kept in int.
    const int hintWidth = static_cast<int>(std::min<std::int64_t>(width, 1 << 16));
    const int hintHeight = static_cast<int>(std::min<std::int64_t>(height, 1 << 16));
    std::unique_ptr<VideoDecompressionSession> session =
        VideoDecompressionSession::create(*format, hintWidth, hintHeight, status);
    if (!session) throw VideoDecoderError(Case::sessionCreationFailed, status);
    formatDescription_ = std::move(format);
    decompressionSession_ = std::move(session);
    activeCodecConfig_ = configuration;
    needsKeyframe_ = true;
}

void DesktopVideoDecoder::dropSession() {
    decompressionSession_.reset();
    formatDescription_.reset();
}

void DesktopVideoDecoder::reset() {
    std::lock_guard guard(lock_);
    if (isInvalidated_) return;
    dropSession();
    activeCodecConfig_.reset();
    activeStreamID_.reset();
    activeGeneration_ = 0;
    lastDecodedSequence_.reset();
    needsKeyframe_ = true;
}

void DesktopVideoDecoder::invalidate() {
    std::lock_guard guard(lock_);
    isInvalidated_ = true;
    dropSession();
    activeCodecConfig_.reset();
    activeStreamID_.reset();
    lastDecodedSequence_.reset();
    needsKeyframe_ = true;
}

bool DesktopVideoDecoder::isWaitingForKeyframe() {
    std::lock_guard guard(lock_);
    return needsKeyframe_;
}

DesktopVideoDecoder::Statistics DesktopVideoDecoder::statistics() {
    std::lock_guard guard(lock_);
    updateRateWindow(uptime_());
    return {measuredDecodedFPS_, decoderErrorCount_, lastDecodeMs_};
}

void DesktopVideoDecoder::updateRateWindow(std::uint64_t uptimeNs) {
    if (uptimeNs < windowStartNs_ || uptimeNs - windowStartNs_ < rateWindowNs) return;
    const double seconds = static_cast<double>(uptimeNs - windowStartNs_) / 1e9;
    measuredDecodedFPS_ = static_cast<double>(decodedFramesWindow_) / seconds;
    decodedFramesWindow_ = 0;
    windowStartNs_ = uptimeNs;
}

bool DesktopVideoDecoder::isStructurallyValid(ByteView payload, int prefixSize) {
    if (prefixSize != 1 && prefixSize != 2 && prefixSize != 4) return false;
    const auto prefix = static_cast<std::size_t>(prefixSize);
    std::size_t offset = 0, units = 0;
    while (offset < payload.size()) {
        if (payload.size() - offset < prefix) return false;
        const ByteView field = payload.subspan(offset, prefix);
        const std::uint64_t length = prefix == 1   ? field[0]
                                     : prefix == 2 ? bigendian::load<std::uint16_t>(field.first<2>())
                                                   : bigendian::load<std::uint32_t>(field.first<4>());
        offset += prefix;
        if (length < 1 || length > payload.size() - offset) return false;
        if ((payload[offset] & 0x80) != 0) return false;
        offset += static_cast<std::size_t>(length);
        ++units;
    }
    return units > 0;
}

} // namespace velorinth
