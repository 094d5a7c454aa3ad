#pragma once
// Runs a test's body in private network, mount and PID namespaces, so that
// nothing it does (interfaces, daemons, mounts) reaches the machine's own:
// the test program runs itself again there as PID 1, filtered to the one
// test, and everything there dies with it.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace velorinth::testing {

// What the namespace's side came to, and why (a pass may carry a note: a bench's figures).
struct NamespaceOutcome {
    enum class Result { passed, failed, skipped };
    Result result = Result::failed;
    std::string message;

    static NamespaceOutcome pass(std::string note = {}) { return {Result::passed, std::move(note)}; }
    static NamespaceOutcome fail(std::string why) { return {Result::failed, std::move(why)}; }
    static NamespaceOutcome skip(std::string why) { return {Result::skipped, std::move(why)}; }
};

// The calling test reaches this twice. Outside, it checks for root and
// `requiredTools`, starts the namespaces and returns their outcome (failed
// when the run takes longer than `limit`, which then ends it). Inside, as
// PID 1, it makes / private, mounts a fresh tmpfs on /run, raises lo, runs
// `inside` and ends the process with its outcome: it never returns there.
// `gtestFilter` names the calling test (e.g. "NetnsWake.*").
NamespaceOutcome runInPrivateNamespaces(const std::string& gtestFilter, const std::vector<std::string>& requiredTools,
                                        const std::function<NamespaceOutcome()>& inside,
                                        std::chrono::seconds limit = std::chrono::seconds(60));

} // namespace velorinth::testing

// Runs runInPrivateNamespaces and turns its outcome into the test's: skipped
// with the reason, or expected to pass.
#define VELORINTH_RUN_IN_PRIVATE_NAMESPACES(...)                                                                       \
    do {                                                                                                               \
        const ::velorinth::testing::NamespaceOutcome namespaceOutcome =                                                \
            ::velorinth::testing::runInPrivateNamespaces(__VA_ARGS__);                                                 \
        if (namespaceOutcome.result == ::velorinth::testing::NamespaceOutcome::Result::skipped) {                      \
            GTEST_SKIP() << namespaceOutcome.message;                                                                  \
        }                                                                                                              \
        EXPECT_EQ(namespaceOutcome.result, ::velorinth::testing::NamespaceOutcome::Result::passed)                     \
            << namespaceOutcome.message;                                                                               \
    } while (false)
