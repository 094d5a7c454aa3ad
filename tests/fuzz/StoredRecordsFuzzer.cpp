// Reads what this device keeps on disk as someone with the disk could have
// written it: the trust store's one item (raw, or records built around the
// input's ids, hosts and ports, duplicates included), the identity record
// with its key import (raw, or a record around an input key), and the file
// secure store's names and contents in a scratch folder. Refusals are each
// store's own errors. A trust store read holds only endpoints the validator
// accepts, never two records under one id, and reads back the same once
// written; a stored identity is never replaced and signs with the key it
// shows; a store name works exactly when it is a valid name.
#include "FuzzSupport.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "platform/linux/FileSecureStore.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <stdlib.h>

#include <cctype>
#include <fstream>
#include <set>

using namespace velorinth;
using namespace velorinth::fuzz;
namespace fs = std::filesystem;

namespace {

using Operation = InMemorySecureStore::Operation;

std::shared_ptr<InMemorySecureStore> holding(const Bytes& item, std::string_view service, std::string_view account) {
    auto store = std::make_shared<InMemorySecureStore>();
    store->setItem(item, service, account);
    return store;
}

bool validEndpoint(const RemoteEndpoint& endpoint) {
    return accepts<RemoteEndpointValidationError>(
        [&] { RemoteEndpointValidator::validate(endpoint.host, endpoint.port, true); });
}

// Returns the devices read, or nothing when the store refused the item.
std::optional<std::vector<TrustedDevice>> readTrustStore(const Bytes& item) {
    auto secure = holding(item, TrustedDeviceStore::service(), TrustedDeviceStore::kAccount);
    TrustedDeviceStore store(secure);
    std::vector<TrustedDevice> devices;
    if (!accepts<TrustedDeviceStoreError>([&] { devices = store.allDevices(); })) return std::nullopt;
    for (const auto& device : devices) {
        require(device.id == device.identity.id);
        require(std::all_of(device.remoteEndpoints.begin(), device.remoteEndpoints.end(), validEndpoint));
    }
    if (accepts<JSONEncodingError>([&] { store.persist(devices); })) {
        require(TrustedDeviceStore(secure).allDevices() == devices);
    }
    return devices;
}

void readBuiltTrustStore(FuzzedDataProvider& input) {
    std::vector<TrustedDevice> records;
    std::set<Uuid> ids;
    for (int count = input.ConsumeIntegralInRange(1, 3); count > 0; --count) {
        TrustedDevice record;
        const Bytes& privateKey = fixedPrivateKey(0);
        const Bytes key = validOrTaken(input, Bytes(privateKey.begin(), privateKey.begin() + 65)); // 04 ‖ X ‖ Y
        record.identity = DevicePublicIdentity{fixedUuid(input.ConsumeIntegralInRange<std::uint8_t>(1, 3)), "Mac",
                                               fixedUuid(9), key, DeviceFingerprint::fromPublicKey(key)};
        record.id = record.identity.id;
        if (input.ConsumeBool()) record.authorization = DeviceAuthorization::revoked;
        for (int endpoints = input.ConsumeIntegralInRange(0, 3); endpoints > 0; --endpoints) {
            RemoteEndpoint& endpoint = record.remoteEndpoints.emplace_back();
            endpoint.id = fixedUuid(static_cast<std::uint8_t>(endpoints));
            endpoint.host = input.ConsumeRandomLengthString(80);
            endpoint.port = input.ConsumeIntegral<std::uint16_t>();
        }
        ids.insert(record.id);
        records.push_back(std::move(record));
    }
    Bytes item;
    if (!accepts<JSONEncodingError>([&] { item = json::encodeToBytes(records); })) return;
    const auto devices = readTrustStore(item);
    // Two records under one id are refused whole; otherwise each device keeps
    // exactly the endpoints the validator accepts, in their order.
    require(devices.has_value() == (ids.size() == records.size()));
    if (!devices) return;
    for (auto record : records) {
        std::erase_if(record.remoteEndpoints, [](const RemoteEndpoint& e) { return !validEndpoint(e); });
        require(std::find(devices->begin(), devices->end(), record) != devices->end());
    }
}

void readIdentity(const Bytes& item) {
    auto secure = holding(item, DeviceIdentityService::service(), DeviceIdentityService::kAccount);
    DeviceIdentityService service(secure, nullptr);
    DeviceIdentity record;
    const bool loaded = accepts<DeviceIdentityServiceError>([&] { record = service.loadOrCreateRecord(); });
    require(secure->callCount(Operation::save) == 0);
    if (!loaded) return;
    const DevicePublicIdentity identity = service.publicIdentity(record);
    require(identity.fingerprint == DeviceFingerprint::fromPublicKey(identity.signingPublicKey));
    const Bytes message{'f', 'u', 'z', 'z'};
    require(P256PublicKey::fromX963(identity.signingPublicKey).isValidSignature(service.sign(message), message));
}

Bytes builtIdentity(FuzzedDataProvider& input) {
    const DeviceIdentity record{fixedUuid(1), fixedUuid(2), input.ConsumeRandomLengthString(40),
                                SecretBytes(validOrTaken(input, fixedPrivateKey(0), 120)), Date(0)};
    return json::encodeToBytes(record);
}

struct ScratchFolder {
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "velorinth-fuzz-XXXXXX").string();
        require(::mkdtemp(pattern.data()) != nullptr);
        path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path path;
};

// [A-Za-z0-9._-]+ other than "." and "..".
bool validName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
    });
}

void useFileStore(FuzzedDataProvider& input) {
    static ScratchFolder scratch;
    const int operation = input.ConsumeIntegralInRange(0, 2);
    const std::string service = input.ConsumeRandomLengthString(24);
    const std::string account = input.ConsumeRandomLengthString(24);
    const Bytes contents = takeBytes(input, 512);
    const bool valid = validName(service) && validName(account);
    require(isValidSecureStoreName(service) == validName(service));
    require(isValidSecureStoreName(account) == validName(account));

    FileSecureStore store(scratch.path);
    std::optional<Bytes> loaded;
    if (operation == 0) {
        // Written behind the store's back, then read as stored.
        if (valid) {
            fs::create_directories(scratch.path / service);
            std::ofstream(scratch.path / service / account, std::ios::binary)
                .write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
        }
        require(accepts<SecureStoreError>([&] { loaded = store.load(service, account); }) == valid);
        require(!valid || loaded == contents);
    } else if (operation == 1) {
        require(accepts<SecureStoreError>([&] { store.save(contents, service, account); }) == valid);
        if (valid) {
            require(fs::is_regular_file(scratch.path / service / account));
            require(store.load(service, account) == contents);
            store.deleteItem(service, account);
            require(!store.load(service, account));
        }
    } else {
        require(accepts<SecureStoreError>([&] { store.deleteItem(service, account); }) == valid);
    }
    if (valid) fs::remove_all(scratch.path / service);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange(0, 4)) {
    case 0: readTrustStore(input.ConsumeRemainingBytes<std::uint8_t>()); break;
    case 1: readBuiltTrustStore(input); break;
    case 2: readIdentity(input.ConsumeRemainingBytes<std::uint8_t>()); break;
    case 3: readIdentity(builtIdentity(input)); break;
    default: useFileStore(input);
    }
    return 0;
}
