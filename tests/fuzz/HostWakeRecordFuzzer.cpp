// Reads the host's stored verified wake as someone with the disk could have
// written it: the input as the stored item, and a record built around a date
// the input picks (a number, null, absent, another type, an unknown key
// beside it). Nothing may fail: content that is not a record reads as no
// verified wake. Reading never writes, deletes or changes the item; the
// snapshot shows exactly the stored date; a recorded wake keeps the later
// of the stored date and the new one (never past the clock) and writes it
// only when it changed, and a clear forgets it.
#include "FuzzSupport.hpp"
#include "FuzzTally.hpp"
#include "core/Constants.hpp"
#include "transport/wake/WakeReadinessService.hpp"

#include <bit>
#include <cmath>

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

using Operation = InMemorySecureStore::Operation;

const Date kNow(786'316'800.5);

const Tally records("stored records", {"a date", "no date", "not a record"});
const Tally wakes("recorded wakes", {"written", "kept", "after a future date", "cleared"});

class StillProbe final : public SystemWakeEnvironmentProbe {
public:
    ObservedWakeEnvironment observe(Date now) override {
        ObservedWakeEnvironment observation;
        observation.observedAt = now;
        return observation;
    }
};

// What the item holds, read without the service: a date, no date, or no record at all.
std::optional<std::optional<Date>> storedDate(const Bytes& item) {
    const Json document = Json::parse(item.begin(), item.end(), nullptr, false);
    if (!document.is_object()) return std::nullopt;
    const auto date = document.find("lastVerifiedWakeAt");
    if (date == document.end() || date->is_null()) return std::optional<Date>();
    if (!date->is_number()) return std::nullopt;
    return std::optional<Date>(Date(date->get<double>()));
}

Bytes item(const InMemorySecureStore& store) {
    return store.item(WakeReadinessService::keychainService(), WakeReadinessService::keychainAccount)
        .value_or(Bytes{});
}

void check(const Bytes& stored, Date at, bool clear) {
    auto store = std::make_shared<InMemorySecureStore>();
    store->setItem(stored, WakeReadinessService::keychainService(), WakeReadinessService::keychainAccount);
    WakeReadinessService service(std::make_shared<StillProbe>(), store, [] { return kNow; });

    const std::optional<std::optional<Date>> expected = storedDate(stored);
    records.count(!expected ? "not a record" : *expected ? "a date" : "no date");
    const HostWakeDiagnosticsSnapshot snapshot = service.diagnosticsSnapshot(51891, true, kNow);
    require(snapshot.configuration.lastVerifiedWakeAt == expected.value_or(std::nullopt));
    require(store->callCount(Operation::save) == 0 && store->callCount(Operation::deleteItem) == 0);
    require(item(*store) == stored);

    if (clear) {
        service.clearVerifiedWake();
        wakes.count("cleared");
        require(!store->item(WakeReadinessService::keychainService(), WakeReadinessService::keychainAccount));
        require(!service.diagnosticsSnapshot(51891, true, kNow).configuration.lastVerifiedWakeAt);
        return;
    }
    const std::optional<Date> before = snapshot.configuration.lastVerifiedWakeAt;
    service.recordVerifiedWake(at);
    const std::optional<Date> after = service.diagnosticsSnapshot(51891, true, kNow).configuration.lastVerifiedWakeAt;
    if (!std::isfinite(at.timeIntervalSinceReferenceDate())) {
        // No date at all: nothing changes.
        require(after == before && item(*store) == stored);
        return;
    }
    const Date wake = std::min(at, kNow);
    const bool kept = before && *before > wake && *before <= kNow;
    if (before && *before > kNow) wakes.count("after a future date");
    if (kept) {
        wakes.count("kept");
        require(after == before && item(*store) == stored && store->callCount(Operation::save) == 0);
        return;
    }
    wakes.count("written");
    require(after == wake && !(*after > kNow));
    require(storedDate(item(*store)) == std::optional(std::optional(wake)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool clear = input.ConsumeIntegralInRange(0, 7) == 0;
    const Date at = input.ConsumeBool() ? Date(std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>()))
                                        : kNow.addingTimeInterval(input.ConsumeIntegralInRange(-1000, 1000));
    // A record around a date the input picks.
    Json built = Json::object();
    switch (input.ConsumeIntegralInRange(0, 4)) {
    case 0:
        built["lastVerifiedWakeAt"] =
            kNow.addingTimeInterval(input.ConsumeIntegralInRange(-2000, 2000)).timeIntervalSinceReferenceDate();
        break;
    case 1: built["lastVerifiedWakeAt"] = std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>()); break;
    case 2: built["lastVerifiedWakeAt"] = nullptr; break;
    case 3: built["lastVerifiedWakeAt"] = input.ConsumeRandomLengthString(8); break;
    default: break;
    }
    if (input.ConsumeBool()) built[input.ConsumeRandomLengthString(8)] = input.ConsumeIntegral<int>();
    const std::string text = json::dump(built);
    check(Bytes(text.begin(), text.end()), at, clear);
    check(Bytes(data, data + size), at, clear);
    return 0;
}
