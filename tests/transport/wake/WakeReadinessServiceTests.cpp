#include "transport/wake/WakeReadinessService.hpp"

#include "core/WakeReadinessEvaluator.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/linux/FileSecureStore.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace velorinth {
namespace {

using Operation = InMemorySecureStore::Operation;

const Date kNow(786316800.5);
const std::string kService = "org.velorinth.host-wake-readiness";
const std::string kAccount = "wake-state-v1";

class FakeProbe : public SystemWakeEnvironmentProbe {
public:
    ObservedWakeEnvironment observe(Date now) override {
        if (duringObservation) duringObservation();
        auto copy = observation;
        copy.observedAt = now;
        return copy;
    }

    ObservedWakeEnvironment observation;
    std::function<void()> duringObservation;
};

ObservedWakeEnvironment ethernetOnAC() {
    ObservedWakeEnvironment observation;
    observation.powerSource = PowerSourceCondition::acPower;
    observation.wakeForNetworkAccess = Evidence<bool>::verified(true);
    observation.interfaces = {WakeNetworkInterfaceTarget("eth0", WakeInterfaceKind::ethernet,
                                                         MACAddress(std::string_view("02:00:00:00:50:02")),
                                                         "192.168.50.2", "255.255.255.0")};
    observation.sleepProxyEligible = true;
    return observation;
}

struct WakeReadinessTest : ::testing::Test {
    std::optional<Date> snapshotDate() {
        return service.diagnosticsSnapshot(51891, true, kNow).configuration.lastVerifiedWakeAt;
    }
    std::string stored() const { return stringOf(store->item(kService, kAccount).value_or(Bytes{})); }
    void storeText(const std::string& text) { store->setItem(bytesOf(text), kService, kAccount); }

    std::shared_ptr<FakeProbe> probe = std::make_shared<FakeProbe>();
    std::shared_ptr<InMemorySecureStore> store = std::make_shared<InMemorySecureStore>();
    Date clock = kNow;
    WakeReadinessService service{probe, store, [this] { return clock; }};
};

TEST_F(WakeReadinessTest, ConfigurationCopiesTheObservationAndNarrowsEligibility) {
    probe->observation = ethernetOnAC();
    probe->observation.powerState = PowerStateEvidence::displayAsleep;
    const auto snapshot = service.diagnosticsSnapshot(51891, true, kNow);
    SavedWakeConfiguration expected;
    expected.targets = probe->observation.interfaces;
    expected.bonjourServicePort = 51891;
    expected.sleepProxyEligible = true;
    expected.wakeForNetworkAccess = Evidence<bool>::verified(true);
    expected.lastKnownPowerSource = PowerSourceCondition::acPower;
    expected.lastKnownPowerState = PowerStateEvidence::displayAsleep;
    expected.updatedAt = kNow;
    EXPECT_EQ(snapshot.configuration, expected);
    EXPECT_EQ(WakeReadinessService::keychainService(), kService);

    EXPECT_FALSE(service.diagnosticsSnapshot(std::nullopt, true, kNow).configuration.sleepProxyEligible);
    EXPECT_FALSE(service.diagnosticsSnapshot(51891, false, kNow).configuration.sleepProxyEligible);
    probe->observation.sleepProxyEligible = false;
    EXPECT_FALSE(service.diagnosticsSnapshot(51891, true, kNow).configuration.sleepProxyEligible);
}

TEST_F(WakeReadinessTest, StoredRecordsAreReadOnceAndBadOnesLeftInPlace) {
    const std::pair<std::string, std::optional<Date>> contents[] = {
        {R"({"lastVerifiedWakeAt":786316800.5})", Date(786316800.5)},
        {"{}", std::nullopt},
        {"not json", std::nullopt},
        {"null", std::nullopt},
        {R"({"lastVerifiedWakeAt":"yesterday"})", std::nullopt},
    };
    for (const auto& [content, date] : contents) {
        SCOPED_TRACE(content);
        auto fresh = std::make_shared<InMemorySecureStore>();
        fresh->setItem(bytesOf(content), kService, kAccount);
        WakeReadinessService reader(probe, fresh);
        EXPECT_EQ(reader.diagnosticsSnapshot(std::nullopt, true, kNow).configuration.lastVerifiedWakeAt, date);
        fresh->setItem(bytesOf(R"({"lastVerifiedWakeAt":1})"), kService, kAccount);
        EXPECT_EQ(reader.diagnosticsSnapshot(std::nullopt, true, kNow).configuration.lastVerifiedWakeAt, date);
        EXPECT_EQ(fresh->callCount(Operation::load), 1u);
        EXPECT_EQ(fresh->callCount(Operation::save) + fresh->callCount(Operation::deleteItem), 0u);
    }
    store->setFailure(Operation::load);
    EXPECT_EQ(snapshotDate(), std::nullopt);
}

TEST_F(WakeReadinessTest, ContentOnDiskThatIsNoRecordIsLeftByteForByteUntilAWakeIsRecorded) {
    const velorinth::testing::TemporaryDirectory directory{"velorinth-wake-record"};
    const auto disk = std::make_shared<FileSecureStore>(directory.path);
    for (const std::string content : {"not json", "[1]", R"({"lastVerifiedWakeAt":"yesterday"})",
                                      R"({"lastVerifiedWakeAt":{"seconds":1}})", "\xff\xfe{}"}) {
        SCOPED_TRACE(content);
        disk->save(bytesOf(content), kService, kAccount);
        WakeReadinessService reader(probe, disk, [] { return kNow; });
        EXPECT_EQ(reader.diagnosticsSnapshot(51891, true, kNow).configuration.lastVerifiedWakeAt, std::nullopt);
        EXPECT_EQ(disk->load(kService, kAccount), bytesOf(content));
        reader.recordVerifiedWake(kNow.addingTimeInterval(-60));
        EXPECT_EQ(disk->load(kService, kAccount), bytesOf(R"({"lastVerifiedWakeAt":786316740.5})"));
    }
}

TEST_F(WakeReadinessTest, RecordsNeverMoveBackAndNeverPastTheClock) {
    storeText(R"({"lastVerifiedWakeAt":786316700.5})");
    service.recordVerifiedWake(Date(786316600)); // earlier: nothing written
    EXPECT_EQ(store->callCount(Operation::save), 0u);
    service.recordVerifiedWake(Date(786316700.5)); // equal: written again
    EXPECT_EQ(store->callCount(Operation::save), 1u);
    EXPECT_EQ(stored(), R"({"lastVerifiedWakeAt":786316700.5})");
    service.recordVerifiedWake(Date(786316750.25));
    EXPECT_EQ(stored(), R"({"lastVerifiedWakeAt":786316750.25})");

    store->setFailure(Operation::save);
    service.recordVerifiedWake(Date(786316790));
    EXPECT_EQ(snapshotDate(), Date(786316790));
    EXPECT_EQ(stored(), R"({"lastVerifiedWakeAt":786316750.25})");
    store->clearFailure(Operation::save);

    // A date an hour ahead of the clock is kept as now.
    service.recordVerifiedWake(kNow.addingTimeInterval(3600));
    EXPECT_EQ(snapshotDate(), kNow);
    EXPECT_EQ(stored(), R"({"lastVerifiedWakeAt":786316800.5})");
}

TEST_F(WakeReadinessTest, AStoredFutureDateDoesNotBlockARecordOfNow) {
    storeText(R"({"lastVerifiedWakeAt":786320400.5})"); // an hour ahead
    service.recordVerifiedWake(kNow);
    EXPECT_EQ(snapshotDate(), kNow);
    EXPECT_EQ(stored(), R"({"lastVerifiedWakeAt":786316800.5})");
}

TEST_F(WakeReadinessTest, ClearForgetsEvenWhenTheDeleteFails) {
    storeText(R"({"lastVerifiedWakeAt":786316700})");
    EXPECT_EQ(snapshotDate(), Date(786316700));
    store->setFailure(Operation::deleteItem);
    service.clearVerifiedWake();
    EXPECT_EQ(snapshotDate(), std::nullopt);
    service.recordVerifiedWake(Date(786316000)); // earlier than the stored one: written after a clear
    EXPECT_EQ(stored(), R"({"lastVerifiedWakeAt":786316000.0})");
}

TEST_F(WakeReadinessTest, ARecordMadeDuringTheObservationShowsInThatSnapshot) {
    probe->duringObservation = [&] { service.recordVerifiedWake(Date(786316000)); };
    EXPECT_EQ(snapshotDate(), Date(786316000));
}

TEST_F(WakeReadinessTest, GuidanceStepsDependEachOnItsOwnCondition) {
    SavedWakeConfiguration worst;
    worst.wakeForNetworkAccess = Evidence<bool>::verified(false);
    worst.lastKnownPowerSource = PowerSourceCondition::batteryPower;
    WakeCapabilityEvaluation assisted;
    assisted.requiresExternalWakeAssistance = true;
    const std::vector<std::string> all{
        "Connect this Mac to your local Wi-Fi or a Wake-on-LAN-capable Ethernet adapter.",
        "Open System Settings > Battery > Options (or Energy Saver) and set \u201CWake for network access\u201D to "
        "Only on Power Adapter or Always.",
        "Connect this Mac to its power adapter \u2014 Apple Silicon MacBooks commonly ignore network wake packets "
        "while sleeping on battery.",
        "Ensure your paired iPad has connected at least once while this Mac is awake so the latest wake target is "
        "synced.",
        "Note: Velorinth Host cannot run code during true macOS system sleep. To verify end-to-end wake, put this Mac "
        "to sleep via Apple menu > Sleep (keep the lid open on MacBooks unless connected to AC power and an external "
        "display), wait 30 seconds, then tap Wake & Connect on your iPad.",
        "Wi-Fi wake depends on your router and/or an Apple TV or HomePod acting as a Bonjour Sleep Proxy on the "
        "same LAN. Wired Ethernet on AC power provides the highest reliability.",
    };
    EXPECT_EQ(WakeReadinessService::preflightGuidanceSteps(worst, assisted), all);

    probe->observation = ethernetOnAC();
    const auto snapshot = service.diagnosticsSnapshot(51891, true, kNow);
    EXPECT_EQ(snapshot.preflightGuidanceSteps, (std::vector<std::string>{all[3], all[4]}));
}

TEST_F(WakeReadinessTest, EvaluationIsTheEvaluatorsForAReachableHostOverAWeek) {
    probe->observation = ethernetOnAC();
    const std::pair<double, WakeReadinessCategory> ages[] = {
        {6 * 86400, WakeReadinessCategory::readyVerified},
        {8 * 86400, WakeReadinessCategory::possibleUnverified},
    };
    for (const auto& [age, category] : ages) {
        service.clearVerifiedWake();
        service.recordVerifiedWake(kNow.addingTimeInterval(-age));
        const auto snapshot = service.diagnosticsSnapshot(51891, true, kNow);
        EXPECT_EQ(snapshot.evaluation,
                  WakeReadinessEvaluator::evaluate(HostAvailability::reachable, snapshot.configuration, false, false,
                                                   kNow, 604800));
        EXPECT_EQ(snapshot.evaluation.category, category);
        EXPECT_EQ(snapshot.evaluation.isEvidenceExpired, age > 604800);
    }
}

} // namespace
} // namespace velorinth
