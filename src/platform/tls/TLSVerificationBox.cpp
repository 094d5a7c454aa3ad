#include "platform/tls/TLSVerificationBox.hpp"

namespace velorinth {

void TLSVerificationBox::record(TLSSecurityError::Case failure) {
    std::lock_guard guard(lock_);
    if (!failure_) failure_ = failure;
}

std::optional<TLSSecurityError::Case> TLSVerificationBox::failure() const {
    std::lock_guard guard(lock_);
    return failure_;
}

} // namespace velorinth
