#pragma once

#include <exception>
#include <string>
#include <utility>

namespace velorinth {

// Root of every error the system throws. Each component derives one class
// holding its own `Case` and returns the fixed user text from what().
class Error : public std::exception {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    // True for an error that only says the operation was cancelled (see
    // isCancellationError); a component's own cancelled case says so.
    virtual bool isCancellation() const noexcept { return false; }

private:
    std::string message_;
};

// Thrown where an operation is cancelled and its component has no own case.
class CancellationError : public Error {
public:
    CancellationError() : Error("The operation was cancelled.") {}
    bool isCancellation() const noexcept override { return true; }
};

// The user-facing description of any failure: what() of a std::exception,
// a fixed text for anything else.
inline std::string describeError(const std::exception_ptr& error) {
    if (!error) return {};
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "The operation couldn't be completed.";
    }
}

} // namespace velorinth
