// The relay's state document on a real disk, written by someone else and not
// decodable: every operation the server calls fails with the decoding error,
// and the file stays byte for byte as it was.

#include "support/TemporaryDirectory.hpp"

#include "platform/linux/FileSecureStore.hpp"
#include "transport/relay/WakeRelayConfigurationStore.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Store = WakeRelayConfigurationStore;

TEST(WakeRelayStateOnDisk, AnUndecodableDocumentIsRefusedAndLeftByteForByte) {
    TemporaryDirectory directory{"velorinth-relay-state"};
    const auto disk = std::make_shared<FileSecureStore>(directory.path);
    const std::filesystem::path file = directory.path / Store::service() / Store::kAccount;
    const std::string client = R"({"clientIdentity":{"id":"01010101-0101-0101-0101-010101010101","displayName":"T",)"
                               R"("discoveryInstanceID":"03030303-0303-0303-0303-030303030303","signingPublicKey":"",)"
                               R"("fingerprint":{"bytes":"AAAA"}},"allowedTargetMacIDs":[],"authorization":)"
                               R"("authorized","pairedAt":0})";
    const std::string contents[] = {
        "not json",
        R"({"targets":[],"clients":[],"tickets":[],"consumedRequests":{}})",
        R"({"targets":[],"clients":[],"tickets":[],"consumedRequests":[],"auditLog":[]})",
        R"({"targets":[],"clients":[)" + client + R"(],"tickets":[],"consumedRequests":{},"auditLog":[]})",
        R"({"targets":[],"clients":[],"tickets":[],"consumedRequests":{},"auditLog":[)" + std::string(5000, '[') +
            std::string(5000, ']') + "]}",
    };
    for (const std::string& content : contents) {
        SCOPED_TRACE(content.substr(0, 60));
        disk->save(bytesOf(content), Store::service(), Store::kAccount);
        const auto written = std::filesystem::last_write_time(file);
        Store store(disk);
        const DevicePublicIdentity nobody;
        EXPECT_THROW(store.isClientAuthorized(nobody, Uuid::random()), Error);
        EXPECT_THROW(store.isPairingTicketRedeemable(Uuid::random(), "00", Uuid::random(), Date(0)), Error);
        EXPECT_THROW(store.isRequestConsumed("k", Date(0)), Error);
        EXPECT_THROW(store.consumeRequest("k", Date(0)), Error);
        EXPECT_THROW(store.appendAuditEntry({}), Error);
        EXPECT_EQ(disk->load(Store::service(), Store::kAccount), bytesOf(content));
        EXPECT_EQ(std::filesystem::last_write_time(file), written);
    }
}

} // namespace
