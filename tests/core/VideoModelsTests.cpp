#include "core/VideoModels.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace velorinth;

using Config = VideoStreamConfiguration;

namespace {

constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
const Config kLowest{Capability::h264, 320, 240, 5, 500'000, 15, 65'536, 4'096};
const Config kHighest{Capability::h264, 3840, 2400, 60, 25'000'000, 300, 4'194'304, 49'152};

} // namespace

TEST(VideoStreamConfiguration, ClampsEachFieldAtItsBoundaries) {
    const std::pair<Config, Config> rows[] = {
        {Config::clamped(Capability::h264, 320, 240, 5, 500'000, 15, 65'536, 4'096), kLowest},
        {Config::clamped(Capability::h264, 319, 239, 4, 499'999, 14, 65'535, 4'095), kLowest},
        {Config::clamped(Capability::h264, kMin, 0, -1, kMin, 0, -1, kMin), kLowest},
        {Config::clamped(Capability::h264, 3840, 2400, 60, 25'000'000, 300, 4'194'304, 49'152), kHighest},
        {Config::clamped(Capability::h264, 3841, 2401, 61, 25'000'001, 301, 4'194'305, 49'153), kHighest},
        {Config::clamped(Capability::h264, kMax, kMax, kMax, kMax, kMax, kMax, kMax), kHighest},
        {Config::clamped(Capability::hevc, 321, 241, 6, 500'001, 16, 65'537, 4'097),
         Config{Capability::hevc, 321, 241, 6, 500'001, 16, 65'537, 4'097}},
    };
    for (const auto& [clamped, expected] : rows) EXPECT_EQ(clamped, expected) << json::encodeToString(clamped);
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

    for (const auto& [key, value] : {std::pair<const char*, Json>{"codec", "av1"}, {"maxWidth", "1"},
                                     {"maxWidth", 1e300}, {"framesPerSecond", nullptr}, {"maxFrameBytes", 1.5}}) {
        Json j = json::parse(golden);
        j[key] = value;
        EXPECT_THROW(json::decode<Config>(j), JSONDecodingError) << j.dump();
    }
}

TEST(VideoStreamConfiguration, FittedSizeTable) {
    struct Row {
        std::int64_t maxWidth, maxHeight, width, height, expectedWidth, expectedHeight;
    };
    const Row rows[] = {
        {1921, 1081, 1280, -5, 1920, 1080},   // a side below 1: the maximum made even
        {1920, 1080, 0, 1080, 1920, 1080},
        {1920, 1080, 3840, 2160, 1920, 1080}, // halved
        {1920, 1080, 1280, 720, 1280, 720},   // never scaled up
        {1920, 1080, 100, 50, 320, 240},      // raised to the minimum
        {1920, 1080, 10000, 100, 1920, 240},  // scaled, then raised
        {1920, 1080, 1001, 701, 1000, 700},   // odd results down to even
        {1920, 1080, 2880, 1622, 1918, 1080}, // 1917.63 rounds to nearest
        {1000, 2400, 2000, 1003, 1000, 502},  // 501.5: a tie rounds away from zero
        {3840, 2400, kMax, 1, 3840, 240},     // extreme sources stay defined
    };
    for (const auto& r : rows) {
        Config config;
        config.maxWidth = r.maxWidth;
        config.maxHeight = r.maxHeight;
        EXPECT_EQ(config.fittedSize(r.width, r.height), (Config::Size{r.expectedWidth, r.expectedHeight}))
            << r.maxWidth << "x" << r.maxHeight << " fitting " << r.width << "x" << r.height;
    }
}
