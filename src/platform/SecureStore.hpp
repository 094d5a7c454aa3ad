#pragma once

#include "core/Bytes.hpp"
#include "core/Error.hpp"

#include <memory>
#include <optional>
#include <string_view>

namespace velorinth {

// A failed secure-store operation, with the system's reason.
class SecureStoreError : public Error {
public:
    enum class Case { loadFailed, saveFailed, deleteFailed };

    // `errorNumber` is an errno value; the text reads
    // "Secure storage <load|save|delete> failed: <strerror>".
    SecureStoreError(Case kind, int errorNumber);

    Case kind;
    int errorNumber;
};

// A store of small secret items (JSON documents), each addressed by a service
// (the application identifier prefix and a suffix) and an account (a versioned
// record name). Implementations are safe to call from any thread.
class SecureStore {
public:
    virtual ~SecureStore() = default;

    // The item's bytes, or nullopt when there is no such item.
    virtual std::optional<Bytes> load(std::string_view service, std::string_view account) = 0;
    // Creates or replaces the item.
    virtual void save(ByteView data, std::string_view service, std::string_view account) = 0;
    // Removes the item; an absent item is success.
    virtual void deleteItem(std::string_view service, std::string_view account) = 0;

    // The platform's store: files under the user's data directory on Linux.
    static std::shared_ptr<SecureStore> create();
};

// Service and account names must match [A-Za-z0-9._-]+ and be neither "."
// nor ".."; they become path components on disk.
bool isValidSecureStoreName(std::string_view name) noexcept;

// Items above this size are refused on load and save, so that a damaged store
// cannot make the process allocate without bound.
inline constexpr std::size_t kSecureStoreMaximumItemSize = 16 * 1024 * 1024;

} // namespace velorinth
