// Reads the wake relay's whole state document as someone with the disk could
// have written it (much of it comes from what strangers sent): the input as
// the stored item, and a sound document built around the input's targets,
// clients, tickets, ledger keys and audit lines, then cut short, stripped of
// one key, given a null, a wrong type, an unknown key or a record twice.
// Refusals are our own errors. A refused document fails every operation the
// server uses and stays byte for byte as it was; a document that is read
// keeps each record under its own id, answers the server's questions as its
// records say, and after a change reads back as the store holds it, the
// audit log at most 100 lines.
#include "FuzzSupport.hpp"
#include "FuzzTally.hpp"
#include "core/Digest.hpp"
#include "transport/relay/WakeRelayConfigurationStore.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <array>

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

using Operation = InMemorySecureStore::Operation;
using State = WakeRelayConfigurationStore::PersistedState;
using Store = WakeRelayConfigurationStore;

const Date kNow(800'000'000.0);
const std::string kSecret(64, 'c');
const std::array<std::string_view, 5> kKeys{"targets", "clients", "tickets", "consumedRequests", "auditLog"};

const Tally documents("relay state documents", {"read", "refused"});
const Tally refusals("refusals", {"dataCorrupted", "keyNotFound", "typeMismatch", "valueNotFound", "a bad record"});
const Tally uses("uses", {"authorized", "ticket redeemed", "request recorded", "audit trimmed", "written again"});
const Tally damage("built documents", {"sound", "cut short", "key removed", "null", "wrong type", "unknown key",
                                       "record twice", "short fingerprint"});

void countRefusal(const Error& refusal) {
    const auto* decoding = dynamic_cast<const JSONDecodingError*>(&refusal);
    if (decoding == nullptr) return refusals.count("a bad record");
    refusals.count(static_cast<std::size_t>(decoding->kind));
}

std::optional<State> read(Store& store) {
    try {
        return store.load();
    } catch (const Error& refusal) {
        countRefusal(refusal);
        return std::nullopt;
    }
}

// A document that cannot be read is never written over: every operation the
// server calls fails, and the item stays as it was.
void refusedAlways(Store& store, InMemorySecureStore& disk, const Bytes& document) {
    const DevicePublicIdentity nobody;
    require(!accepts([&] { store.isClientAuthorized(nobody, fixedUuid(1)); }));
    require(!accepts([&] { store.target(fixedUuid(1)); }));
    require(!accepts([&] { store.isPairingTicketRedeemable(fixedUuid(2), kSecret, fixedUuid(1), kNow); }));
    require(!accepts([&] { store.redeemPairingTicket(fixedUuid(2), kSecret, fixedUuid(1), nobody, kNow); }));
    require(!accepts([&] { store.isRequestConsumed("k", kNow); }));
    require(!accepts([&] { store.consumeRequest("k", kNow); }));
    require(!accepts([&] { store.appendAuditEntry({}); }));
    require(disk.callCount(Operation::save) == 0 && disk.callCount(Operation::deleteItem) == 0);
    require(disk.item(Store::service(), Store::kAccount) == document);
}

bool redeemable(const WakeRelayTicketRecord& ticket, const Uuid& target) {
    return !(ticket.expiresAt < kNow) && ticket.targetMacDeviceID == target &&
           ticket.secretSHA256 == sha256(bytesOf(kSecret));
}

// What the server asks of a document that was read, then one change of each kind.
void used(Store& store, std::shared_ptr<InMemorySecureStore> disk, const State& state) {
    for (const auto& [id, target] : state.targets) require(target.macDeviceID == id && store.target(id) == target);
    for (const auto& [id, client] : state.clients) {
        require(client.clientIdentity.id == id);
        for (const Uuid& target : client.allowedTargetMacIDs) {
            const bool authorized = store.isClientAuthorized(client.clientIdentity, target);
            require(authorized == (client.authorization == DeviceAuthorization::authorized));
            if (authorized) uses.count("authorized");
        }
    }
    for (const auto& [id, ticket] : state.tickets) {
        require(ticket.ticketID == id);
        const bool good = redeemable(ticket, ticket.targetMacDeviceID);
        require(store.isPairingTicketRedeemable(id, kSecret, ticket.targetMacDeviceID, kNow) == good);
        require(!store.isPairingTicketRedeemable(id, kSecret, fixedUuid(0xEE), kNow));
    }
    for (const auto& [key, at] : state.consumedRequests) {
        require(store.isRequestConsumed(key, kNow) == !(kNow.timeIntervalSince(at) > Store::kReplayRetentionSeconds));
    }

    // A change saves the whole document; one whose encoding or save fails writes nothing.
    const auto changed = [&](auto&& change) {
        const std::optional<Bytes> before = disk->item(Store::service(), Store::kAccount);
        const bool done = accepts(change);
        require(done || disk->item(Store::service(), Store::kAccount) == before);
        return done;
    };
    if (!state.tickets.empty()) {
        const WakeRelayTicketRecord& ticket = state.tickets.begin()->second;
        const Bytes& privateKey = fixedPrivateKey(1);
        const DevicePublicIdentity newcomer = DevicePublicIdentity::fromPublicKey(
            fixedUuid(0xEF), "Newcomer", fixedUuid(0xF0), Bytes(privateKey.begin(), privateKey.begin() + 65));
        bool redeemed = false;
        if (changed([&] {
                accepts<TrustedDeviceStoreError>([&] {
                    redeemed = store.redeemPairingTicket(ticket.ticketID, kSecret, ticket.targetMacDeviceID, newcomer,
                                                         kNow);
                });
            }) &&
            redeemed) {
            uses.count("ticket redeemed");
            require(redeemable(ticket, ticket.targetMacDeviceID));
            require(store.isClientAuthorized(newcomer, ticket.targetMacDeviceID));
            require(!store.isPairingTicketRedeemable(ticket.ticketID, kSecret, ticket.targetMacDeviceID, kNow));
        }
    }
    const std::string key = "fuzz:" + std::to_string(state.consumedRequests.size());
    bool recorded = false;
    if (changed([&] { recorded = store.consumeRequest(key, kNow); }) && recorded) {
        uses.count("request recorded");
        require(store.isRequestConsumed(key, kNow) && !store.consumeRequest(key, kNow));
    }
    const std::size_t lines = store.auditLog().size();
    const WakeRelayAuditEntry entry{kNow, "ABCD EF01 2345 6789", std::nullopt, WakeRelayResponseStatus::paired, "x"};
    if (changed([&] { store.appendAuditEntry(entry); })) {
        const std::vector<WakeRelayAuditEntry> log = store.auditLog();
        require(log.size() == std::min(lines + 1, Store::kAuditLogLimit) && log.back() == entry);
        if (lines >= Store::kAuditLogLimit) uses.count("audit trimmed");
    }
    // What reached the disk is what the store holds.
    if (disk->callCount(Operation::save) > 0) {
        Store reopened(disk);
        require(reopened.load() == store.load());
        uses.count("written again");
    }
}

void check(const Bytes& document) {
    auto disk = std::make_shared<InMemorySecureStore>();
    disk->setItem(document, Store::service(), Store::kAccount);
    Store store(disk);
    const std::optional<State> state = read(store);
    if (!state) {
        documents.count("refused");
        refusedAlways(store, *disk, document);
        return;
    }
    documents.count("read");
    requireRoundTrip(*state);
    used(store, disk, *state);
}

// Text as the relay's own documents hold it: what JSON carried, so valid UTF-8.
std::string text(FuzzedDataProvider& input, std::size_t limit) {
    std::string out = input.ConsumeRandomLengthString(limit);
    for (char& c : out) c = static_cast<char>(0x20 + static_cast<unsigned char>(c) % 0x5F);
    return out;
}

Uuid smallUuid(FuzzedDataProvider& input) { return fixedUuid(input.ConsumeIntegralInRange<std::uint8_t>(1, 4)); }

Date nearNow(FuzzedDataProvider& input) {
    return kNow.addingTimeInterval(static_cast<double>(input.ConsumeIntegralInRange(-400, 400)));
}

State builtState(FuzzedDataProvider& input) {
    static const std::array<std::string, 4> kAddresses{"192.168.1.20", "10.0.0.255", "8.8.8.8", "127.0.0.1"};
    State state;
    for (int count = input.ConsumeIntegralInRange(0, 2); count > 0; --count) {
        WakeRelayTargetRecord target;
        target.macDeviceID = smallUuid(input);
        target.displayName = text(input, 16);
        const auto address = [&]() -> std::optional<std::string> {
            const int pick = input.ConsumeIntegralInRange(0, 5);
            if (pick < 4) return kAddresses[static_cast<std::size_t>(pick)];
            if (pick == 4) return text(input, 20);
            return std::nullopt;
        };
        target.interfaces.push_back(WakeNetworkInterfaceTarget::stored(
            text(input, 8), static_cast<WakeInterfaceKind>(input.ConsumeIntegralInRange(0, 2)),
            MACAddress::unvalidated(validOrTaken(input, Bytes{2, 0, 0, 0xAA, 0xBB, 0xCC}, 8)), address(), address(),
            address()));
        if (input.ConsumeBool()) target.bonjourServicePort = input.ConsumeIntegral<std::uint16_t>();
        target.sleepProxyEligible = input.ConsumeBool();
        target.createdAt = nearNow(input);
        state.targets.insert_or_assign(target.macDeviceID, std::move(target));
    }
    for (int count = input.ConsumeIntegralInRange(0, 2); count > 0; --count) {
        WakeRelayClientAuthorization client;
        const Bytes& privateKey = fixedPrivateKey(input.ConsumeIntegralInRange(0, 1));
        client.clientIdentity = presentedIdentity(
            input, DevicePublicIdentity::fromPublicKey(smallUuid(input), "Tablet", fixedUuid(9),
                                                       Bytes(privateKey.begin(), privateKey.begin() + 65)));
        for (int targets = input.ConsumeIntegralInRange(0, 2); targets > 0; --targets) {
            client.allowedTargetMacIDs.insert(smallUuid(input));
        }
        if (input.ConsumeBool()) client.authorization = DeviceAuthorization::revoked;
        client.pairedAt = nearNow(input);
        state.clients.insert_or_assign(client.clientIdentity.id, std::move(client));
    }
    for (int count = input.ConsumeIntegralInRange(0, 2); count > 0; --count) {
        const WakeRelayTicketRecord ticket{smallUuid(input), validOrTaken(input, sha256(bytesOf(kSecret)), 40),
                                           smallUuid(input), nearNow(input)};
        state.tickets.insert_or_assign(ticket.ticketID, ticket);
    }
    for (int count = input.ConsumeIntegralInRange(0, 3); count > 0; --count) {
        state.consumedRequests.insert_or_assign(text(input, 24), nearNow(input));
    }
    // Past the limit too: a document written elsewhere may hold more.
    const int lines = input.ConsumeIntegralInRange(0, 104);
    const WakeRelayAuditEntry line{nearNow(input), text(input, 24),
                                   input.ConsumeBool() ? std::optional(smallUuid(input)) : std::nullopt,
                                   static_cast<WakeRelayResponseStatus>(input.ConsumeIntegralInRange(0, 8)),
                                   text(input, 40)};
    state.auditLog.assign(static_cast<std::size_t>(lines), line);
    return state;
}

// The built document as written, or damaged in one way; what it must read as.
void checkBuilt(FuzzedDataProvider& input) {
    const State state = builtState(input);
    Json document = json::encode(state);
    const std::string key(kKeys[input.ConsumeIntegralInRange<std::size_t>(0, kKeys.size() - 1)]);
    const int kind = input.ConsumeIntegralInRange(0, 7);
    bool readable = true;
    std::size_t cut = 0;
    switch (kind) {
    case 1: cut = input.ConsumeIntegral<std::size_t>(); break;
    case 2:
        document.erase(key);
        readable = false;
        break;
    case 3:
        document[key] = nullptr;
        readable = false;
        break;
    case 4:
        document[key] = key == "consumedRequests" ? Json::array() : Json::object();
        readable = false;
        break;
    case 5: {
        const std::string extra = text(input, 12);
        if (std::find(kKeys.begin(), kKeys.end(), extra) != kKeys.end()) return;
        document[extra] = input.ConsumeIntegral<int>();
        break;
    }
    case 6:
        if (key == "consumedRequests" || document[key].empty()) return;
        document[key].push_back(document[key].front());
        // Audit lines may repeat; a record may not.
        readable = key == "auditLog";
        break;
    case 7:
        // A record that decodes as JSON but not as a fingerprint.
        if (document["clients"].empty()) return;
        document["clients"][0]["clientIdentity"]["fingerprint"]["bytes"] = "AAAA";
        readable = false;
        break;
    default: break;
    }
    damage.count(static_cast<std::size_t>(kind));
    std::string text = json::dump(document);
    if (kind == 1) {
        if (text.empty()) return;
        text.resize(cut % text.size());
        readable = false;
    }
    const Bytes bytes = bytesOf(text);
    auto disk = std::make_shared<InMemorySecureStore>();
    disk->setItem(bytes, Store::service(), Store::kAccount);
    Store store(disk);
    const std::optional<State> read = accepts([&] { store.load(); }) ? std::optional(store.load()) : std::nullopt;
    require(read.has_value() == readable);
    if (read && kind != 6) require(*read == state);
    if (read && kind == 6) require(read->auditLog.size() == state.auditLog.size() + 1);
    check(bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(Bytes(data, data + size));
    FuzzedDataProvider input(data, size);
    checkBuilt(input);
    return 0;
}
