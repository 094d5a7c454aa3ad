#include "transport/video/DesktopVideoEncoder.hpp"

#include "transport/video/VideoFrameFragmenter.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

namespace velorinth {

namespace {

using Case = VideoEncoderError::Case;

constexpr std::uint8_t kNalTypeSPS = 7;
constexpr std::uint8_t kNalTypePPS = 8;

// seconds × 1,000,000 rounded half away from zero; none when not finite or
// when it does not fit a signed 64-bit value.
std::optional<std::int64_t> microseconds(double seconds) {
    if (!std::isfinite(seconds)) return std::nullopt;
    const double us = seconds * 1e6;
    if (!(std::fabs(us) < 9.2e18)) return std::nullopt;
    return std::llround(us);
}

} // namespace

std::int64_t DesktopVideoEncoder::frameByteLimit(const VideoStreamConfiguration& configuration) {
    return std::min(VideoFrameFragmenter::hostMaxFrameBytes,
                    VideoFrameFragmenter::hostMaxFragmentsPerFrame * configuration.maxFragmentPayloadBytes);
}

DesktopVideoEncoder::DesktopVideoEncoder(Uuid streamID, std::uint64_t generation,
                                         VideoStreamConfiguration configuration,
                                         VideoCompressionSession::Factory sessionFactory, UptimeClock uptime)
    : streamID(streamID), sessionFactory_(std::move(sessionFactory)), uptime_(std::move(uptime)),
      generation_(generation), configuration_(configuration), windowStartNs_(uptime_()) {}

DesktopVideoEncoder::~DesktopVideoEncoder() { invalidate(); }

void DesktopVideoEncoder::updateConfiguration(const VideoStreamConfiguration& configuration,
                                              std::optional<std::uint64_t> generation) {
    std::lock_guard guard(lock_);
    if (isInvalidated_) return;
    configuration_ = configuration;
    if (generation) {
        generation_ = *generation;
        nextSequence_ = 0;
        lastPTSUs_.reset();
    }
    forceKeyframeNext_ = true;
    dropSession();
}

void DesktopVideoEncoder::requestKeyframe() {
    std::lock_guard guard(lock_);
    forceKeyframeNext_ = true;
}

void DesktopVideoEncoder::invalidate() {
    std::lock_guard guard(lock_);
    isInvalidated_ = true;
    dropSession();
    cachedCodecConfig_.reset();
    lastSPS_.clear();
    lastPPS_.clear();
}

DesktopVideoEncoder::Statistics DesktopVideoEncoder::statistics() {
    std::lock_guard guard(lock_);
    updateRateWindow(uptime_());
    return {measuredEncodedFPS_, measuredBitrateBps_, droppedFrameCounter_, inFlightCount_, lastEncodeDurationMs_};
}

void DesktopVideoEncoder::setOnEncodedFrame(EncodedFrameHandler handler) {
    std::lock_guard guard(lock_);
    onEncodedFrame_ = std::move(handler);
}

std::optional<EncodedVideoFrame> DesktopVideoEncoder::encode(const VideoSampleBuffer& sample,
                                                             std::optional<SourceSize> sourceDisplaySize,
                                                             bool forceKeyframe) {
    if (!sample.isValid || !sample.isDataReady || !sample.image) throw VideoEncoderError(Case::invalidSampleBuffer);
    return encode(*sample.image, sample.presentationTime, sample.duration, sourceDisplaySize, forceKeyframe);
}

std::optional<EncodedVideoFrame> DesktopVideoEncoder::encode(const PixelBuffer& image, MediaTime presentationTime,
                                                             MediaTime duration,
                                                             std::optional<SourceSize> sourceDisplaySize,
                                                             bool forceKeyframe) {
    if (!presentationTime.isValid() || presentationTime.isIndefinite() || presentationTime.isInfinite()) {
        throw VideoEncoderError(Case::invalidTimestamp);
    }
    const int width = image.width(), height = image.height();
    if (width < minimumWidth || width > maximumWidth || height < minimumHeight || height > maximumHeight) {
        throw VideoEncoderError(Case::invalidDimensions);
    }
    const std::optional<std::int64_t> ptsUs = microseconds(presentationTime.seconds());
    if (!ptsUs) throw VideoEncoderError(Case::invalidTimestamp);
    // A usable duration must fit too; any other falls back to one frame interval.
    std::optional<std::int64_t> sampleDurationUs;
    if (duration.isNumeric() && duration.seconds() > 0) {
        sampleDurationUs = microseconds(duration.seconds());
        if (!sampleDurationUs) throw VideoEncoderError(Case::invalidTimestamp);
    }
    const std::uint64_t startNs = uptime_();

    std::shared_ptr<VideoCompressionSession> session;
    std::uint64_t generation = 0;
    bool keyframeRequested = false;
    std::int64_t framesPerSecond = 1;
    {
        std::unique_lock lock(lock_);
        sessionOpened_.wait(lock, [this] { return !opening_; });
        if (isInvalidated_) throw VideoEncoderError(Case::invalidated);
        if (lastPTSUs_ && *lastPTSUs_ >= *ptsUs) {
            ++droppedFrameCounter_;
            return std::nullopt;
        }
        if (inFlightCount_ >= maxInFlightFrames && !forceKeyframe && !forceKeyframeNext_) {
            ++droppedFrameCounter_;
            forceKeyframeNext_ = true;
            return std::nullopt;
        }
        if (session_ && (activeWidth_ != width || activeHeight_ != height)) dropSession();
        if (!session_) makeSession(width, height);
        keyframeRequested = forceKeyframe || forceKeyframeNext_;
        forceKeyframeNext_ = false;
        lastPTSUs_ = *ptsUs;
        ++inFlightCount_;
        generation = generation_;
        session = session_;
        framesPerSecond = std::max<std::int64_t>(configuration_.framesPerSecond, 1);
    }
    struct InFlight {
        DesktopVideoEncoder* encoder;
        ~InFlight() { encoder->endInFlight(); }
    } inFlight{this};

    const std::int64_t durationUs =
        std::max<std::int64_t>(sampleDurationUs.value_or(std::llround(1e6 / static_cast<double>(framesPerSecond))), 1);
    VideoCompressionSession::Result result = session->encode(image, *ptsUs, durationUs, keyframeRequested);
    if (result.status != 0) {
        forceKeyframeAfterLoss();
        throw VideoEncoderError(Case::encodingFailed, result.status);
    }
    if (!result.frame || result.frame->payload.empty()) return std::nullopt;
    // From here the codec has used the frame as a reference: losing it must
    // bring a keyframe, or the receiver decodes a broken picture until the
    // next periodic one (it sees no gap, as no sequence number was taken).
    if (result.payloadStatus != 0) {
        forceKeyframeAfterLoss();
        throw VideoEncoderError(Case::encodingFailed, result.payloadStatus);
    }
    try {
        VideoCompressionSession::Frame& output = *result.frame;
        const std::optional<ParameterSets> sets = extractParameterSets(output);
        const std::uint64_t endNs = uptime_();

        EncodedVideoFrame frame;
        EncodedFrameHandler handler;
        {
            std::lock_guard guard(lock_);
            if (sets) applyParameterSets(*sets);
            frame.sequence = nextSequence_++;
            encodedBytesWindow_ += static_cast<std::int64_t>(output.payload.size());
            encodedFramesWindow_ += 1;
            lastEncodeDurationMs_ = static_cast<double>(endNs - startNs) / 1'000'000.0;
            updateRateWindow(endNs);
            frame.codecConfigVersion = codecConfigVersion_;
            if (output.isKeyframe) frame.codecConfiguration = cachedCodecConfig_;
            handler = onEncodedFrame_;
        }
        frame.streamID = streamID;
        frame.generation = generation;
        frame.presentationTimestampUs = *ptsUs;
        frame.durationUs = durationUs;
        frame.payload = std::move(output.payload);
        frame.isKeyframe = output.isKeyframe;
        frame.width = width;
        frame.height = height;
        frame.sourceDisplayWidth = sourceDisplaySize ? sourceDisplaySize->width : width;
        frame.sourceDisplayHeight = sourceDisplaySize ? sourceDisplaySize->height : height;
        frame.captureTimestampNs = startNs;
        if (handler) handler(frame);
        return frame;
    } catch (...) {
        forceKeyframeAfterLoss();
        throw;
    }
}

std::optional<DesktopVideoEncoder::ParameterSets>
DesktopVideoEncoder::extractParameterSets(const VideoCompressionSession::Frame& frame) {
    if (frame.parameterSets.size() < 2) return std::nullopt;
    ParameterSets sets;
    sets.nalUnitHeaderLength = frame.nalUnitHeaderLength;
    for (const Bytes& set : frame.parameterSets) {
        if (set.empty()) continue;
        const std::uint8_t type = set[0] & 0x1F;
        if (type == kNalTypeSPS) sets.sps.push_back(set);
        if (type == kNalTypePPS) sets.pps.push_back(set);
    }
    if (sets.sps.empty() || sets.pps.empty()) return std::nullopt;
    return sets;
}

void DesktopVideoEncoder::prepareSession(int width, int height) {
    VideoCompressionSession::Settings settings;
    std::uint64_t epoch = 0;
    {
        std::lock_guard guard(lock_);
        if (isInvalidated_ || opening_ || session_) return;
        settings = sessionSettings(width, height);
        epoch = sessionEpoch_;
        opening_ = true;
    }
    int status = 0;
    std::shared_ptr<VideoCompressionSession> session;
    std::exception_ptr failure;
    try {
        session = sessionFactory_(settings, status);
    } catch (...) {
        failure = std::current_exception();
    }
    const bool opened = status == 0 && session && !failure;
    {
        std::lock_guard guard(lock_);
        opening_ = false;
        if (opened && !isInvalidated_ && !session_ && sessionEpoch_ == epoch) {
            installSession(std::move(session), width, height);
        } else if (session) {
            session->invalidate();
        }
    }
    sessionOpened_.notify_all();
    if (failure) std::rethrow_exception(failure);
    if (!opened) throw VideoEncoderError(Case::sessionCreationFailed, status);
}

VideoCompressionSession::Settings DesktopVideoEncoder::sessionSettings(int width, int height) const {
    return {width,
            height,
            configuration_.framesPerSecond,
            configuration_.targetBitrateBps,
            configuration_.keyframeIntervalFrames,
            frameByteLimit(configuration_)};
}

void DesktopVideoEncoder::makeSession(int width, int height) {
    activeWidth_ = activeHeight_ = 0;
    int status = 0;
    std::shared_ptr<VideoCompressionSession> session = sessionFactory_(sessionSettings(width, height), status);
    if (status != 0 || !session) throw VideoEncoderError(Case::sessionCreationFailed, status);
    installSession(std::move(session), width, height);
}

void DesktopVideoEncoder::installSession(std::shared_ptr<VideoCompressionSession> session, int width, int height) {
    session_ = std::move(session);
    activeWidth_ = width;
    activeHeight_ = height;
    forceKeyframeNext_ = true;
}

void DesktopVideoEncoder::dropSession() {
    // A running encode keeps its own reference; the session refuses it and
    // closes when the last holder lets go. An open under way for the old
    // configuration is dropped when it ends.
    if (session_) session_->invalidate();
    session_.reset();
    activeWidth_ = activeHeight_ = 0;
    ++sessionEpoch_;
}

void DesktopVideoEncoder::updateRateWindow(std::uint64_t uptimeNs) {
    const std::uint64_t elapsed = uptimeNs - windowStartNs_;
    if (uptimeNs < windowStartNs_ || elapsed < rateWindowNs) return;
    const double seconds = static_cast<double>(elapsed) / 1e9;
    measuredEncodedFPS_ = static_cast<double>(encodedFramesWindow_) / seconds;
    measuredBitrateBps_ = static_cast<double>(encodedBytesWindow_) * 8.0 / seconds;
    encodedFramesWindow_ = 0;
    encodedBytesWindow_ = 0;
    windowStartNs_ = uptimeNs;
}

void DesktopVideoEncoder::applyParameterSets(const ParameterSets& sets) {
    if (sets.sps == lastSPS_ && sets.pps == lastPPS_ && cachedCodecConfig_) return;
    ++codecConfigVersion_;
    lastSPS_ = sets.sps;
    lastPPS_ = sets.pps;
    cachedCodecConfig_ = H264CodecConfiguration{codecConfigVersion_, sets.nalUnitHeaderLength, sets.sps, sets.pps};
}

void DesktopVideoEncoder::forceKeyframeAfterLoss() {
    std::lock_guard guard(lock_);
    forceKeyframeNext_ = true;
}

void DesktopVideoEncoder::endInFlight() {
    std::lock_guard guard(lock_);
    inFlightCount_ = std::max<std::int64_t>(inFlightCount_ - 1, 0);
}

} // namespace velorinth
