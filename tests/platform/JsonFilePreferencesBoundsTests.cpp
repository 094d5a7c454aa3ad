// The preferences file at its edges: a number past the signed range is no
// integer, nesting past the depth is no preferences file, a file that is read
// is never changed by reading, and a write never leaves a file the next read
// would refuse.

#include "platform/linux/JsonFilePreferences.hpp"

#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace velorinth {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kKey = "org.velorinth.host.preferredPort";

std::string fileText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void place(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(JsonFilePreferences, ANumberPastTheSignedRangeIsNoInteger) {
    testing::TemporaryDirectory folder{"velorinth-preferences"};
    const fs::path file = folder.path / "preferences.json";
    const std::pair<std::string, std::optional<std::int64_t>> cases[] = {
        {"9223372036854775807", 9223372036854775807},
        {"9223372036854775808", std::nullopt},
        {"18446744073709551615", std::nullopt},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
    };
    for (const auto& [number, value] : cases) {
        const std::string text = R"({"org.velorinth.host.preferredPort": )" + number + "}";
        place(file, text);
        EXPECT_EQ(JsonFilePreferences(file).integer(kKey), value) << number;
        EXPECT_EQ(fileText(file), text);
    }
}

TEST(JsonFilePreferences, NestingPastTheDepthReadsAsNoKeysAndIsSetAsideWhole) {
    testing::TemporaryDirectory folder{"velorinth-preferences"};
    const fs::path file = folder.path / "preferences.json";
    const auto nested = [](int depth) {
        return R"({"org.velorinth.host.preferredPort": 52000, "n": )" + std::string(depth - 1, '[') +
               std::string(depth - 1, ']') + "}";
    };
    place(file, nested(JsonFilePreferences::kMaximumDepth));
    EXPECT_EQ(JsonFilePreferences(file).integer(kKey), 52000);
    const std::string deep = nested(JsonFilePreferences::kMaximumDepth + 1);
    place(file, deep);
    JsonFilePreferences preferences(file);
    EXPECT_EQ(preferences.integer(kKey), std::nullopt);
    EXPECT_EQ(fileText(file), deep);
    preferences.setInteger(kKey, 53000);
    EXPECT_EQ(fileText(fs::path(file.string() + ".corrupt")), deep);
    EXPECT_EQ(JsonFilePreferences(file).integer(kKey), 53000);
}

TEST(JsonFilePreferences, AWriteNeverLeavesAFileTheReadWouldRefuse) {
    testing::TemporaryDirectory folder{"velorinth-preferences"};
    const fs::path file = folder.path / "preferences.json";
    // 20 KB as written; indented, each of its 10,000 numbers on a line of its own behind 126 spaces.
    const int depth = JsonFilePreferences::kMaximumDepth - 1;
    std::string numbers = "0";
    for (int i = 1; i < 10'000; ++i) numbers += ",0";
    place(file, R"({"nested": )" + std::string(depth - 1, '[') + numbers + std::string(depth - 1, ']') + "}");
    JsonFilePreferences(file).setInteger(kKey, 52000);
    EXPECT_LE(fs::file_size(file), JsonFilePreferences::kMaximumFileSize);
    EXPECT_EQ(JsonFilePreferences(file).integer(kKey), 52000);

    // Too large even compact: the file stays as it was, the value holds for this run.
    const std::string full = R"({"pad": ")" + std::string(JsonFilePreferences::kMaximumFileSize - 20, 'p') + "\"}";
    place(file, full);
    JsonFilePreferences preferences(file);
    preferences.setInteger(kKey, 53000);
    EXPECT_EQ(preferences.integer(kKey), 53000);
    EXPECT_EQ(fileText(file), full);
}

} // namespace
} // namespace velorinth
