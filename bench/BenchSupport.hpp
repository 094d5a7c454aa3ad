#pragma once

// What the benchmarks share: event loops on their own threads, bounded waits,
// percentiles, and named identities.

#include "platform/InMemorySecureStore.hpp"
#include "transport/security/DeviceIdentityService.hpp"

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velorinth::bench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr Clock::duration kStepLimit = 10s; // the bound of any one wait

inline volatile std::uint8_t gSink = 0;

// The loops may still run work that refers to the caller's state: leave at once.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "%s failed: %s\n", program_invocation_short_name, what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

// One event loop on its own thread; it may drive a loop that a rig owns.
struct Loop {
    Loop() : owned(std::make_unique<asio::io_context>()), io(*owned), thread([this] { io.run(); }) {}
    explicit Loop(asio::io_context& driven) : io(driven), thread([this] { io.run(); }) {}
    ~Loop() { halt(); }
    void halt() {
        work.reset();
        io.stop();
        if (thread.joinable()) thread.join();
    }
    std::unique_ptr<asio::io_context> owned;
    asio::io_context& io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::thread thread;
};

template <class T>
T waitFor(std::future<T>& future, Clock::time_point deadline, const char* what) {
    if (future.wait_until(deadline) != std::future_status::ready) fail(std::string("timed out waiting for ") + what);
    try {
        return future.get();
    } catch (const std::exception& e) {
        fail(std::string(what) + ": " + e.what());
    }
}

// Runs `body` on `loop` and waits for it, for at most `limit`.
template <class T>
T await(Loop& loop, asio::awaitable<T> body, const char* what, Clock::duration limit = kStepLimit) {
    auto future = asio::co_spawn(loop.io, std::move(body), asio::use_future);
    return waitFor(future, Clock::now() + limit, what);
}

inline double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
inline double megabytesPerSecond(double bytes, Clock::duration d) {
    return bytes / std::chrono::duration<double>(d).count() / 1e6;
}

// Nearest rank.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}
inline double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

inline std::shared_ptr<DeviceIdentityService> identityNamed(std::string name) {
    return std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(),
                                                   [name = std::move(name)] { return name; });
}

} // namespace velorinth::bench
