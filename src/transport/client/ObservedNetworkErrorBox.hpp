#pragma once

#include "transport/security/ObservedNetworkError.hpp"

#include <mutex>
#include <optional>

namespace velorinth {

// The first network error one connection attempt reported, shared between
// the attempt and the connector's observer (which may run on any thread).
class ObservedNetworkErrorBox {
public:
    // Keeps `error` unless one is kept already; an empty report changes nothing.
    void observe(const std::optional<ObservedNetworkError>& error) {
        if (!error) return;
        std::lock_guard guard(lock_);
        if (!error_) error_ = error;
    }
    std::optional<ObservedNetworkError> error() const {
        std::lock_guard guard(lock_);
        return error_;
    }

private:
    mutable std::mutex lock_;
    std::optional<ObservedNetworkError> error_;
};

} // namespace velorinth
