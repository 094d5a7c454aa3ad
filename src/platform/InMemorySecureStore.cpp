#include "platform/InMemorySecureStore.hpp"

namespace velorinth {

namespace {

SecureStoreError::Case errorCase(InMemorySecureStore::Operation operation) {
    switch (operation) {
    case InMemorySecureStore::Operation::load: return SecureStoreError::Case::loadFailed;
    case InMemorySecureStore::Operation::save: return SecureStoreError::Case::saveFailed;
    case InMemorySecureStore::Operation::deleteItem: return SecureStoreError::Case::deleteFailed;
    }
    return SecureStoreError::Case::loadFailed;
}

} // namespace

// Counts the call, then fails it when a failure is injected or a name is bad.
// Called with the lock held.
void InMemorySecureStore::begin(Operation operation, std::string_view service, std::string_view account) {
    ++calls_[index(operation)];
    if (auto error = failures_[index(operation)]) throw SecureStoreError(errorCase(operation), *error);
    if (!isValidSecureStoreName(service) || !isValidSecureStoreName(account)) {
        throw SecureStoreError(errorCase(operation), EINVAL);
    }
}

std::optional<Bytes> InMemorySecureStore::load(std::string_view service, std::string_view account) {
    std::lock_guard lock(mutex_);
    begin(Operation::load, service, account);
    auto it = items_.find(Key(service, account));
    if (it == items_.end()) return std::nullopt;
    return it->second;
}

void InMemorySecureStore::save(ByteView data, std::string_view service, std::string_view account) {
    std::lock_guard lock(mutex_);
    begin(Operation::save, service, account);
    if (data.size() > kSecureStoreMaximumItemSize) throw SecureStoreError(SecureStoreError::Case::saveFailed, EFBIG);
    items_[Key(service, account)] = Bytes(data.begin(), data.end());
}

void InMemorySecureStore::deleteItem(std::string_view service, std::string_view account) {
    std::lock_guard lock(mutex_);
    begin(Operation::deleteItem, service, account);
    items_.erase(Key(service, account));
}

void InMemorySecureStore::setFailure(Operation operation, int errorNumber) {
    std::lock_guard lock(mutex_);
    failures_[index(operation)] = errorNumber;
}

void InMemorySecureStore::clearFailure(Operation operation) {
    std::lock_guard lock(mutex_);
    failures_[index(operation)].reset();
}

std::size_t InMemorySecureStore::callCount(Operation operation) const {
    std::lock_guard lock(mutex_);
    return calls_[index(operation)];
}

void InMemorySecureStore::resetCallCounts() {
    std::lock_guard lock(mutex_);
    for (auto& count : calls_) count = 0;
}

std::optional<Bytes> InMemorySecureStore::item(std::string_view service, std::string_view account) const {
    std::lock_guard lock(mutex_);
    auto it = items_.find(Key(service, account));
    if (it == items_.end()) return std::nullopt;
    return it->second;
}

void InMemorySecureStore::setItem(ByteView data, std::string_view service, std::string_view account) {
    std::lock_guard lock(mutex_);
    items_[Key(service, account)] = Bytes(data.begin(), data.end());
}

std::size_t InMemorySecureStore::itemCount() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

} // namespace velorinth
