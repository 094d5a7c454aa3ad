#include "core/VideoModels.hpp"

#include <gtest/gtest.h>

#include <array>
#include <limits>

using namespace velorinth;

namespace {

using Config = VideoStreamConfiguration;

// A mid-range configuration with one clamped field (0 maxWidth ... 6 maxFragmentPayloadBytes) set to `v`.
Config withField(int field, std::int64_t v) {
    std::array<std::int64_t, 7> values{1280, 720, 30, 4'000'000, 60, 1'000'000, 16'000};
    values[static_cast<std::size_t>(field)] = v;
    return Config::clamped(Capability::h264, values[0], values[1], values[2], values[3], values[4], values[5],
                           values[6]);
}

std::int64_t fieldOf(const Config& c, int field) {
    const std::array<std::int64_t, 7> values{c.maxWidth,         c.maxHeight,     c.framesPerSecond,
                                             c.targetBitrateBps, c.keyframeIntervalFrames, c.maxFrameBytes,
                                             c.maxFragmentPayloadBytes};
    return values[static_cast<std::size_t>(field)];
}

} // namespace

TEST(VideoStreamConfiguration, ClampsEachFieldAtItsBoundaries) {
    const std::array<std::pair<std::int64_t, std::int64_t>, 7> ranges{{
        {320, 3840}, {240, 2400}, {5, 60}, {500'000, 25'000'000}, {15, 300}, {65'536, 4'194'304}, {4'096, 49'152},
    }};
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    for (int field = 0; field < 7; ++field) {
        auto [low, high] = ranges[static_cast<std::size_t>(field)];
        const std::array<std::pair<std::int64_t, std::int64_t>, 9> cases{{
            {kMin, low}, {-1, low}, {0, low}, {low - 1, low}, {low, low},
            {low + 1, low + 1}, {high, high}, {high + 1, high}, {kMax, high},
        }};
        for (auto [input, expected] : cases) {
            EXPECT_EQ(fieldOf(withField(field, input), field), expected) << "field " << field << " input " << input;
        }
    }
}

TEST(VideoStreamConfiguration, JsonGoldenAndDecodingClamps) {
    auto config = Config::clamped(Capability::h264, 1920, 1080, 60, 8'000'000, 120, 2'000'000, 16'384);
    const char* golden = R"({"codec":"h264","maxWidth":1920,"maxHeight":1080,"framesPerSecond":60,)"
                         R"("targetBitrateBps":8000000,"keyframeIntervalFrames":120,"maxFrameBytes":2000000,)"
                         R"("maxFragmentPayloadBytes":16384})";
    EXPECT_EQ(json::encode(config), json::parse(golden));
    EXPECT_EQ(json::decodeFromString<Config>(golden), config);

    // A hostile peer's values arrive clamped.
    auto decoded = json::decodeFromString<Config>(
        R"({"codec":"hevc","maxWidth":100000,"maxHeight":0,"framesPerSecond":0,"targetBitrateBps":-5,)"
        R"("keyframeIntervalFrames":100000,"maxFrameBytes":1,"maxFragmentPayloadBytes":9223372036854775807})");
    EXPECT_EQ(decoded, Config::clamped(Capability::hevc, 3840, 240, 5, 500'000, 300, 65'536, 49'152));

    const Json good = json::parse(golden);
    auto with = [&good](const char* key, Json value) {
        Json j = good;
        j[key] = std::move(value);
        return j;
    };
    Json missing = good;
    missing.erase("maxWidth");
    for (const Json& bad : {with("codec", "av1"), missing, with("maxWidth", "1"), with("maxWidth", 1e300),
                            with("framesPerSecond", nullptr), with("maxFrameBytes", 1.5)}) {
        EXPECT_THROW(json::decode<Config>(bad), JSONDecodingError) << bad.dump();
    }
}

TEST(VideoStreamConfiguration, FittedSizeTable) {
    struct Row {
        std::int64_t maxWidth, maxHeight, width, height, expectedWidth, expectedHeight;
    };
    const Row rows[] = {
        {1920, 1080, 0, 1080, 1920, 1080},    // a side below 1: the maximum
        {1921, 1081, 1280, -5, 1920, 1080},   // ... made even
        {1920, 1080, 3840, 2160, 1920, 1080}, // halved
        {1920, 1080, 1280, 720, 1280, 720},   // never scaled up
        {1920, 1080, 100, 50, 320, 240},      // raised to the minimum
        {1920, 1080, 10000, 100, 1920, 240},  // scaled, then raised
        {1920, 1080, 1001, 701, 1000, 700},   // odd results down to even
        {1920, 1080, 2880, 1622, 1918, 1080}, // 1917.63 rounds to nearest
        {1000, 2400, 2000, 1003, 1000, 502},  // 501.5: a tie rounds away from zero
        {1921, 2400, 3842, 100, 1920, 240},   // odd maximum
    };
    for (const auto& r : rows) {
        Config config;
        config.maxWidth = r.maxWidth;
        config.maxHeight = r.maxHeight;
        EXPECT_EQ(config.fittedSize(r.width, r.height), (Config::Size{r.expectedWidth, r.expectedHeight}))
            << r.maxWidth << "x" << r.maxHeight << " fitting " << r.width << "x" << r.height;
    }
    // Extreme sources stay defined.
    auto huge = Config::clamped(Capability::h264, 3840, 2400, 30, 1, 1, 1, 1)
                    .fittedSize(std::numeric_limits<std::int64_t>::max(), 1);
    EXPECT_EQ(huge, (Config::Size{3840, 240}));
}

TEST(VideoStreamStopReason, NamesAndError) {
    EXPECT_EQ(json::encode(VideoStreamStopReason::screenViewPermissionRevoked),
              json::parse(R"("screenViewPermissionRevoked")"));
    EXPECT_EQ(json::decodeFromString<VideoStreamStopReason>(R"("sessionDisconnected")"),
              VideoStreamStopReason::sessionDisconnected);
    EXPECT_EQ(json::allCases<VideoStreamStopReason>().size(), 7u);
    try {
        throw VideoStreamStopError(VideoStreamStopReason::encoderFailed);
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "encoderFailed");
        EXPECT_EQ(dynamic_cast<const VideoStreamStopError&>(error).reason, VideoStreamStopReason::encoderFailed);
    }
}

TEST(VideoStreamState, EqualityComparesCaseAndFailureText) {
    EXPECT_EQ(VideoStreamState{}, VideoStreamState::idle());
    EXPECT_EQ(VideoStreamState::failed("capture lost"), VideoStreamState::failed("capture lost"));
    EXPECT_NE(VideoStreamState::failed("capture lost"), VideoStreamState::failed("encoder lost"));
    EXPECT_NE(VideoStreamState::failed(""), VideoStreamState::idle());
    EXPECT_NE(VideoStreamState::stopping(), VideoStreamState::stopped());
    EXPECT_EQ(VideoStreamState::startingCapture().caseName(), "startingCapture");
    ASSERT_NE(VideoStreamState::failed("x").failureMessage(), nullptr);
    EXPECT_EQ(VideoStreamState::streaming().failureMessage(), nullptr);
}

TEST(VideoModels, DiagnosticsEmptyAndFrameFieldOrder) {
    auto empty = VideoStreamDiagnostics::empty();
    EXPECT_EQ(empty.capturedFPS, 0.0);
    EXPECT_FALSE(empty.networkRTTMilliseconds || empty.lastEncodeDurationMilliseconds ||
                 empty.lastDecodeDurationMilliseconds);
    auto changed = empty;
    changed.lastDecodeDurationMilliseconds = 0.0;
    EXPECT_NE(changed, empty);

    H264CodecConfiguration codec{3, 4, {Bytes{0x67, 0x42}}, {Bytes{0x68}}};
    EncodedVideoFrame frame{Uuid::random(), 2, 3, -4, 5, Bytes{9}, true, 6, codec, 1920, 1080, 3840, 2160, 7};
    EXPECT_EQ(frame.generation, 2u);
    EXPECT_EQ(frame.presentationTimestampUs, -4);
    EXPECT_EQ(frame.sourceDisplayHeight, 2160);
    EXPECT_EQ(frame.captureTimestampNs, 7u);
    auto other = codec;
    other.pps[0].push_back(0);
    EXPECT_NE(other, codec);
}
