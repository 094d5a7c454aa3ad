#pragma once

#include "platform/SecureStore.hpp"

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace velorinth {

// A secure store held in memory, for tests: the same name rules and size
// limit as the file store, call counts, and failures injected per operation.
class InMemorySecureStore : public SecureStore {
public:
    enum class Operation { load, save, deleteItem };

    std::optional<Bytes> load(std::string_view service, std::string_view account) override;
    void save(ByteView data, std::string_view service, std::string_view account) override;
    void deleteItem(std::string_view service, std::string_view account) override;

    // Every later call of `operation` fails with `errorNumber` until
    // clearFailure; the failed call changes nothing.
    void setFailure(Operation operation, int errorNumber = EIO);
    void clearFailure(Operation operation);

    // Calls of `operation` so far, failed ones included.
    std::size_t callCount(Operation operation) const;
    void resetCallCounts();

    // Direct access to the contents, bypassing failures and counts.
    std::optional<Bytes> item(std::string_view service, std::string_view account) const;
    void setItem(ByteView data, std::string_view service, std::string_view account);
    std::size_t itemCount() const;

private:
    using Key = std::pair<std::string, std::string>;
    static std::size_t index(Operation operation) { return static_cast<std::size_t>(operation); }
    void begin(Operation operation, std::string_view service, std::string_view account);

    mutable std::mutex mutex_;
    std::map<Key, Bytes> items_;
    std::optional<int> failures_[3];
    std::size_t calls_[3] = {0, 0, 0};
};

} // namespace velorinth
