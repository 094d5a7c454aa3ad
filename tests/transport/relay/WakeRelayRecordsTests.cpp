// The relay's records: the target's address rule with its exact texts, the
// wake configuration it makes, the wire forms of actions and statuses, the
// invitation's text form (golden strings by hand, refusals, redaction), and
// the client's error for each relay status.

#include "support/LoopRunner.hpp"

#include "core/RemoteEndpoint.hpp"
#include "transport/relay/WakeRelayClientError.hpp"
#include "transport/relay/WakeRelayPairingInvitation.hpp"
#include "transport/relay/WakeRelayRecords.hpp"
#include "transport/wake/LocalWakeError.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

const MACAddress kMac(std::string_view("02:00:00:AA:BB:CC"));
const Uuid kTarget = *Uuid::fromString("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
const Uuid kTicket = *Uuid::fromString("99999999-8888-4777-8666-555555555555");
const std::string kSecret = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kFingerprintHex = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";

WakeNetworkInterfaceTarget interface(std::optional<std::string> ipv4, std::optional<std::string> broadcast,
                                     std::string name = "en0") {
    return WakeNetworkInterfaceTarget::stored(std::move(name), WakeInterfaceKind::ethernet, kMac, std::move(ipv4),
                                              std::nullopt, std::move(broadcast));
}

// The text the validation fails with, "" when it passes.
std::string validation(std::vector<WakeNetworkInterfaceTarget> interfaces, bool allowLoopback = false) {
    try {
        WakeRelayTargetRecord::validate(kTarget, "Mac", std::move(interfaces), std::nullopt, false, Date(1),
                                        allowLoopback);
        return "";
    } catch (const LocalWakeError& error) {
        return error.what();
    } catch (const WakeModelError& error) {
        return std::string("WakeModelError: ") + error.what();
    }
}

TEST(WakeRelayTargetRecord, TheAddressRuleAndItsTexts) {
    const std::string unusable = "Invalid local wake destination: Relay wake target en0 must have a valid private LAN "
                                 "or link-local IPv4 address.";
    const struct {
        const char* name;
        std::vector<WakeNetworkInterfaceTarget> interfaces;
        bool allowLoopback;
        std::string expected;
    } rows[] = {
        {"no interface", {}, false, "No valid local network wake address is saved for this Mac."},
        {"private broadcast only", {interface(std::nullopt, "192.168.1.255")}, false, ""},
        {"public broadcast only", {interface(std::nullopt, "8.8.8.255")}, false, unusable},
        {"public unicast beside a private broadcast", {interface(" 8.8.8.8", "10.0.0.255")}, false,
         "Invalid local wake destination: Unicast IP  8.8.8.8 is outside private LAN ranges."},
        {"unparsable unicast beside a private broadcast", {interface("10.0.0.x", "10.0.0.255")}, false,
         "WakeModelError: Invalid IPv4 address or subnet mask."},
        {"public unicast only", {interface("8.8.8.8", std::nullopt)}, false, unusable},
        {"unparsable broadcast", {interface(std::nullopt, "10.0.0")}, false, unusable},
        {"no address", {interface(std::nullopt, std::nullopt)}, false, unusable},
        {"loopback", {interface("127.0.0.1", std::nullopt)}, false, unusable},
        {"loopback allowed", {interface("127.0.0.1", std::nullopt)}, true, ""},
        {"link-local", {interface("169.254.7.9", std::nullopt)}, false, ""},
        {"unspecified", {interface("0.0.0.0", std::nullopt)}, true, unusable},
        {"limited broadcast", {interface(std::nullopt, "255.255.255.255")}, true, unusable},
        {"the second one fails, named",
         {interface("10.0.0.2", std::nullopt), interface("8.8.4.4", std::nullopt, "en1")}, false,
         "Invalid local wake destination: Relay wake target en1 must have a valid private LAN or link-local IPv4 "
         "address."},
    };
    for (const auto& row : rows) EXPECT_EQ(validation(row.interfaces, row.allowLoopback), row.expected) << row.name;
}

TEST(WakeRelayTargetRecord, KeepsInterfacesAsGivenTrimsTheNameAndMakesAVerifiedConfiguration) {
    const std::vector<WakeNetworkInterfaceTarget> given = {interface(" 10.0.0.2 ", "10.0.0.255")};
    const WakeRelayTargetRecord blank =
        WakeRelayTargetRecord::validate(kTarget, " \n\t ", given, std::nullopt, true, Date(5), false);
    EXPECT_EQ(blank.displayName, "Paired Mac");
    EXPECT_EQ(blank.interfaces, given);
    EXPECT_EQ(
        WakeRelayTargetRecord::validate(kTarget, "  Office Mac \n", given, 5353, false, Date(5), false).displayName,
        "Office Mac");

    const SavedWakeConfiguration configuration = blank.wakeConfiguration(Date(77));
    SavedWakeConfiguration expected;
    expected.targets = given;
    expected.sleepProxyEligible = true;
    expected.wakeForNetworkAccess = Evidence<bool>::verified(true);
    expected.wakeOnlyOnACPower = false;
    expected.lastKnownPowerSource = PowerSourceCondition::acPower;
    expected.lastKnownPowerState = PowerStateEvidence::unknown;
    expected.updatedAt = Date(77);
    EXPECT_EQ(configuration, expected);
    EXPECT_FALSE(configuration.bonjourServicePort.has_value());

    // An absent port and target stay absent in JSON, and come back equal.
    EXPECT_EQ(json::encode(blank).count("bonjourServicePort"), 0u);
    EXPECT_EQ(json::decodeFromString<WakeRelayTargetRecord>(json::encodeToString(blank)), blank);
    const WakeRelayAuditEntry entry{Date(3), "ABCD EF01 2345 6789", std::nullopt, WakeRelayResponseStatus::paired, "x"};
    EXPECT_EQ(json::encode(entry).count("targetMacDeviceID"), 0u);
    EXPECT_EQ(json::decodeFromString<WakeRelayAuditEntry>(json::encodeToString(entry)), entry);
}

TEST(WakeRelayMessages, ActionsAndStatusesOnTheWire) {
    const auto action = [](const std::string& text) { return json::decodeFromString<WakeRelayAction>(text); };
    EXPECT_EQ(action(R"({"sendWakeSignal":{}})"), WakeRelayAction::sendWakeSignal());
    EXPECT_EQ(action(R"("sendWakeSignal")"), WakeRelayAction::sendWakeSignal());
    EXPECT_EQ(action(R"({"sendWakeSignal":{},"extra":1})"), WakeRelayAction::sendWakeSignal());
    const std::string pairing = json::encodeToString(WakeRelayAction::pairClient(kTicket, kSecret));
    EXPECT_EQ(pairing,
              R"({"pairClient":{"secretHex":")" + kSecret + R"(","ticketID":")" + kTicket.uuidString() + "\"}}");
    EXPECT_EQ(action(pairing), WakeRelayAction::pairClient(kTicket, kSecret));
    for (const char* text : {"{}", R"({"sendWakeSignal":{},"pairClient":{"ticketID":"x","secretHex":""}})"}) {
        const auto error = thrown<JSONDecodingError>([&] { action(text); });
        EXPECT_EQ(std::string(error.what()), kInvalidNumberOfKeysText) << text;
    }
    EXPECT_THROW(action(R"({"pairClient":{"ticketID":"not a uuid","secretHex":""}})"), Error);

    EXPECT_EQ(wakeRelayResponseStatus("rateLimited"), WakeRelayResponseStatus::rateLimited);
    EXPECT_EQ(wakeRelayResponseStatus("RateLimited"), std::nullopt);
    EXPECT_EQ(wakeRelayResponseStatus("ratelimited"), std::nullopt);
    EXPECT_THROW(json::decodeFromString<WakeRelayResponseStatus>(R"("Paired")"), JSONDecodingError);
    for (const WakeRelayResponseStatus status : json::allCases<WakeRelayResponseStatus>()) {
        EXPECT_EQ(wakeRelayResponseStatus(rawValue(status)), status);
    }
}

WakeRelayPairingInvitation invitation(const std::string& endpointText, Date expiresAt = Date::fromUnixSeconds(1.7e9)) {
    WakeRelayPairingInvitation made;
    made.endpoint = RemoteEndpoint::validating(endpointText, 51892, RemoteTransportKind::privateNetwork, std::nullopt,
                                               Uuid::random(), Date(0), false);
    made.relayFingerprint = DeviceFingerprint(*hexDecode(kFingerprintHex));
    made.targetMacDeviceID = kTarget;
    made.ticketID = kTicket;
    made.secretHex = kSecret;
    made.expiresAt = expiresAt;
    return made;
}

const std::string kGolden = "vlrelay1|192.168.1.20:51892|" + kFingerprintHex +
                            "|aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee|99999999-8888-4777-8666-555555555555|" + kSecret +
                            "|1700000000";

TEST(WakeRelayPairingInvitation, WritesAndReadsTheOneLineForm) {
    EXPECT_EQ(invitation("192.168.1.20").encodedString(), kGolden);
    EXPECT_EQ(invitation("[fd00::5]:4000").encodedString().substr(0, 23), "vlrelay1|[fd00::5]:4000");
    for (const std::string endpoint : {"192.168.1.20:4000", "relay.example.net", "[fd00::5]:4000"}) {
        const WakeRelayPairingInvitation original = invitation(endpoint);
        const WakeRelayPairingInvitation read =
            WakeRelayPairingInvitation::fromEncodedString(original.encodedString(), false);
        EXPECT_EQ(read.endpoint.host, original.endpoint.host) << endpoint;
        EXPECT_EQ(read.endpoint.port, original.endpoint.port);
        EXPECT_EQ(read.endpoint.hostKind, original.endpoint.hostKind);
        EXPECT_NE(read.endpoint.id, original.endpoint.id); // a new endpoint, so the invitations differ
        EXPECT_EQ(read.relayFingerprint, original.relayFingerprint);
        EXPECT_EQ(read.targetMacDeviceID, kTarget);
        EXPECT_EQ(read.ticketID, kTicket);
        EXPECT_EQ(read.secretHex, kSecret);
        EXPECT_EQ(read.expiresAt, original.expiresAt);
        EXPECT_NE(read, original);
    }

    // Either case reads; white space around the whole line is ignored; the secret is kept lower-case.
    std::string upper = kGolden;
    for (std::size_t at = upper.find("|aaaa"); at < upper.size(); ++at) {
        upper[at] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[at])));
    }
    std::string lowerFingerprint = kGolden;
    for (std::size_t at = 28; at < 28 + 64; ++at) {
        lowerFingerprint[at] = static_cast<char>(std::tolower(static_cast<unsigned char>(lowerFingerprint[at])));
    }
    for (const std::string& text : {upper, lowerFingerprint, " \n" + kGolden + "\r\n"}) {
        const auto read = WakeRelayPairingInvitation::fromEncodedString(text, false);
        EXPECT_EQ(read.secretHex, kSecret);
        EXPECT_EQ(read.targetMacDeviceID, kTarget);
        EXPECT_EQ(hexEncodedString(read.relayFingerprint.bytes()), kFingerprintHex);
    }

    const auto withExpiry = [](const std::string& expiry) {
        return WakeRelayPairingInvitation::fromEncodedString(kGolden.substr(0, kGolden.rfind('|') + 1) + expiry, false)
            .expiresAt;
    };
    EXPECT_EQ(withExpiry("-1"), Date::fromUnixSeconds(-1));
    EXPECT_EQ(withExpiry("+5"), Date::fromUnixSeconds(5));
    EXPECT_EQ(withExpiry("0"), Date::fromUnixSeconds(0)); // long past: the relay judges it
    EXPECT_EQ(WakeRelayPairingInvitation::fromEncodedString(
                  "vlrelay1|10.0.0.9|" + kGolden.substr(kGolden.find('|', 9) + 1), false)
                  .endpoint.port,
              51892);
}

TEST(WakeRelayPairingInvitation, MalformedTextsAreRefused) {
    const auto fields = [](std::size_t index, const std::string& value) {
        std::vector<std::string> parts;
        std::size_t start = 0;
        for (std::size_t bar; (bar = kGolden.find('|', start)) != std::string::npos; start = bar + 1) {
            parts.push_back(kGolden.substr(start, bar - start));
        }
        parts.push_back(kGolden.substr(start));
        parts[index] = value;
        std::string text = parts[0];
        for (std::size_t i = 1; i < parts.size(); ++i) text += "|" + parts[i];
        return text;
    };
    const std::vector<std::pair<const char*, std::string>> malformed = {
        {"six fields", kGolden.substr(0, kGolden.rfind('|'))},
        {"eight fields", kGolden + "|1"},
        {"prefix in another case", fields(0, "VLRELAY1")},
        {"empty fingerprint", fields(2, "")},
        {"63-character fingerprint", fields(2, kFingerprintHex.substr(1))},
        {"65-character fingerprint", fields(2, kFingerprintHex + "0")},
        {"no hex pair", fields(2, "gg" + kFingerprintHex.substr(2))},
        {"space in the fingerprint", fields(2, " " + kFingerprintHex.substr(1))},
        {"empty target", fields(3, "")},
        {"space in the target", fields(3, " aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeee")},
        {"empty ticket", fields(4, "")},
        {"cut secret", fields(5, kSecret.substr(1))},
        {"empty secret", fields(5, "")},
        {"secret not hex", fields(5, "z" + kSecret.substr(1))},
        {"space in the secret", fields(5, kSecret.substr(1) + " ")},
        {"empty expiry", fields(6, "")},
        {"fractional expiry", fields(6, "1.5")},
        {"sign alone", fields(6, "+")},
        {"two signs", fields(6, "+-1")},
        {"beyond Int64", fields(6, "9223372036854775808")},
        {"space in the expiry", fields(6, " 17")},
    };
    for (const auto& [name, text] : malformed) {
        SCOPED_TRACE(name);
        const auto error =
            thrown<WakeRelayClientError>([&] { WakeRelayPairingInvitation::fromEncodedString(text, false); });
        EXPECT_EQ(error.kind(), WakeRelayClientError::Case::invalidInvitationFormat) << name;
    }
    EXPECT_EQ(thrown<WakeRelayClientError>([] { WakeRelayPairingInvitation::fromEncodedString("", false); }).what(),
              std::string("Invalid Wake Relay pairing code. Copy the full vlrelay1|\u2026 invitation generated by "
                          "VelorinthWakeRelay."));
    // Endpoint errors are the validator's own.
    const auto endpointError = [&](const std::string& endpoint, bool allowLoopback) {
        return thrown<RemoteEndpointValidationError>(
                   [&] { WakeRelayPairingInvitation::fromEncodedString(fields(1, endpoint), allowLoopback); })
            .kind;
    };
    EXPECT_EQ(endpointError("", true), RemoteEndpointValidationError::Case::emptyHost);
    EXPECT_EQ(endpointError("http://relay", true), RemoteEndpointValidationError::Case::urlSchemeNotAllowed);
    EXPECT_EQ(endpointError("127.0.0.1:4000", false), RemoteEndpointValidationError::Case::loopbackAddressNotAllowed);
    EXPECT_EQ(WakeRelayPairingInvitation::fromEncodedString(fields(1, "127.0.0.1:4000"), true).endpoint.port, 4000);
}

TEST(WakeRelayPairingInvitation, NeverShowsItsSecretAndNeverWritesAnExpiryItCannotCarry) {
    const WakeRelayPairingInvitation made = invitation("[fd00::5]:4000");
    EXPECT_EQ(made.description(), "WakeRelayPairingInvitation(endpoint: [fd00::5]:4000, relayFingerprint: 0123 4567 "
                                  "89AB CDEF, targetMac: AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE, secret: [REDACTED])");
    for (const double seconds : {std::numeric_limits<double>::infinity(), std::nan(""), 9.3e18, -9.3e18}) {
        const auto error = thrown<WakeRelayClientError>(
            [&] { invitation("10.0.0.9", Date::fromUnixSeconds(seconds)).encodedString(); });
        EXPECT_EQ(error.kind(), WakeRelayClientError::Case::invalidInvitationFormat) << seconds;
    }
    EXPECT_TRUE(invitation("10.0.0.9", Date::fromUnixSeconds(-1.9)).encodedString().ends_with("|-1"));
}

TEST(WakeRelayClientError, EachRelayStatusBecomesItsCase) {
    using Status = WakeRelayResponseStatus;
    using Case = WakeRelayClientError::Case;
    const struct {
        Status status;
        Case kind;
        std::string text;
    } rows[] = {
        {Status::paired, Case::malformedRequest, "Unexpected relay response status."},
        {Status::wakePacketSent, Case::malformedRequest, "Unexpected relay response status."},
        {Status::packetTransmissionFailed, Case::packetTransmissionFailed, "The relay's words."},
        {Status::targetNotConfigured, Case::targetNotConfigured, "The relay's words."},
        {Status::permissionDenied, Case::permissionDenied, "The relay's words."},
        {Status::rateLimited, Case::rateLimited, "The relay's words."},
        {Status::replayRejected, Case::replayRejected, "The relay's words."},
        {Status::malformedRequest, Case::malformedRequest, "The relay's words."},
        {Status::authenticationFailed, Case::authenticationFailed, "The relay's words."},
    };
    for (const auto& row : rows) {
        WakeRelayResponse response;
        response.status = row.status;
        response.message = "The relay's words.";
        const WakeRelayClientError error(response);
        EXPECT_EQ(error.kind(), row.kind) << rawValue(row.status);
        EXPECT_EQ(error.text(), row.text);
        EXPECT_EQ(std::string(error.what()), row.text);
    }
    EXPECT_NE(WakeRelayClientError::rateLimited("a"), WakeRelayClientError::rateLimited("b"));
    EXPECT_NE(WakeRelayClientError::rateLimited("a"), WakeRelayClientError::replayRejected("a"));
    EXPECT_EQ(WakeRelayClientError::relayIdentityMismatch(), WakeRelayClientError::relayIdentityMismatch());
    EXPECT_EQ(std::string(WakeRelayClientError::relayUnreachable("x").what()), "Wake relay is unreachable: x");
}

} // namespace
