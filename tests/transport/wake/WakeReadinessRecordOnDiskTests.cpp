// The host's stored wake on a real disk, written by someone else: content
// that is not a record reads as no verified wake and stays byte for byte
// until a wake is recorded or cleared.

#include "support/TemporaryDirectory.hpp"

#include "platform/linux/FileSecureStore.hpp"
#include "transport/wake/WakeReadinessService.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

class StillProbe final : public SystemWakeEnvironmentProbe {
public:
    ObservedWakeEnvironment observe(Date now) override {
        ObservedWakeEnvironment observation;
        observation.observedAt = now;
        return observation;
    }
};

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(WakeReadinessRecordOnDisk, ContentThatIsNoRecordReadsAsNoWakeAndIsLeftByteForByte) {
    TemporaryDirectory directory{"velorinth-wake-record"};
    const auto disk = std::make_shared<FileSecureStore>(directory.path);
    const std::string service = WakeReadinessService::keychainService();
    const std::string account(WakeReadinessService::keychainAccount);
    const std::filesystem::path file = directory.path / service / account;
    const Date now(786'316'800.5);
    for (const std::string content : {"not json", "[1]", R"({"lastVerifiedWakeAt":"yesterday"})",
                                      R"({"lastVerifiedWakeAt":{"seconds":1}})", "\xff\xfe{}"}) {
        SCOPED_TRACE(content);
        disk->save(bytesOf(content), service, account);
        WakeReadinessService reader(std::make_shared<StillProbe>(), disk, [now] { return now; });
        EXPECT_EQ(reader.diagnosticsSnapshot(51891, true, now).configuration.lastVerifiedWakeAt, std::nullopt);
        EXPECT_EQ(fileText(file), content);
        reader.recordVerifiedWake(now.addingTimeInterval(-60));
        EXPECT_EQ(fileText(file), R"({"lastVerifiedWakeAt":786316740.5})");
    }
}

} // namespace
