#pragma once

// A secure store whose writes can be held at a gate, to see what other threads
// can do while a save is in progress. Reads pass at once; writes that the gate
// lets through go to the in-memory store it wraps.

#include "platform/InMemorySecureStore.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace velorinth::testing {

class GatedSecureStore : public SecureStore {
public:
    // How long a write waits at a shut gate before it goes through anyway: a
    // guard against a test that blocked its own opener, reported by overran().
    static constexpr std::chrono::seconds kGuard{10};

    explicit GatedSecureStore(std::shared_ptr<InMemorySecureStore> inner) : inner_(std::move(inner)) {}

    std::optional<Bytes> load(std::string_view service, std::string_view account) override {
        return inner_->load(service, account);
    }
    void save(ByteView data, std::string_view service, std::string_view account) override {
        pass();
        inner_->save(data, service, account);
    }
    void deleteItem(std::string_view service, std::string_view account) override {
        pass();
        inner_->deleteItem(service, account);
    }

    // Later writes wait at the gate.
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        permits_ = 0;
    }
    // Lets every waiting and later write through.
    void open() {
        std::lock_guard lock(mutex_);
        closed_ = false;
        changed_.notify_all();
    }
    // Lets the next `count` writes through and keeps the gate shut after them.
    void release(std::size_t count = 1) {
        std::lock_guard lock(mutex_);
        permits_ += count;
        changed_.notify_all();
    }
    // Waits until `count` writes wait at the gate; false when the guard ran out first.
    bool waitUntilHeld(std::size_t count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kGuard, [&] { return held_ >= count; });
    }
    std::size_t held() const {
        std::lock_guard lock(mutex_);
        return held_;
    }
    bool overran() const {
        std::lock_guard lock(mutex_);
        return overran_;
    }

private:
    void pass() {
        std::unique_lock lock(mutex_);
        if (!closed_) return;
        ++held_;
        changed_.notify_all();
        if (!changed_.wait_for(lock, kGuard, [&] { return !closed_ || permits_ > 0; })) {
            overran_ = true;
        } else if (closed_) {
            --permits_;
        }
        --held_;
        changed_.notify_all();
    }

    const std::shared_ptr<InMemorySecureStore> inner_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
    std::size_t permits_ = 0;
    std::size_t held_ = 0;
    bool overran_ = false;
};

} // namespace velorinth::testing
