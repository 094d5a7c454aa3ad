// velorinth-client against a name server that never answers, in private
// namespaces: Ctrl+C during the lookup ends the program long before the
// system resolver would give up.

#include "support/ChildProcess.hpp"
#include "support/ClientProgramRig.hpp"
#include "support/NamespaceDaemons.hpp"
#include "support/PrivateNamespaces.hpp"
#include "support/TemporaryDirectory.hpp"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::NamespaceDaemons;
using testing::NamespaceOutcome;

// Polls the program until it has exited or `limit` passed.
bool exitsWithin(ChildProcess& child, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!child.poll()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

NamespaceOutcome interruptAStuckLookup() {
    // Each of 5 tries waits 30 s: glibc gives up after minutes.
    if (auto failed = NamespaceDaemons::useResolverConfiguration("nameserver 127.0.0.1\noptions timeout:30 attempts:5\n")) {
        return *failed;
    }
    asio::io_context io;
    asio::ip::udp::socket silent(io, {asio::ip::make_address("127.0.0.1"), 53}); // takes queries, answers none
    testing::TemporaryDirectory state{"velorinth-client"};
    // Under the address sanitizer: the program ends while its lookup thread
    // is inside getaddrinfo, which the leak check cannot stop to scan.
    const std::filesystem::path stuck = state.path / "stuck-lookup.supp";
    std::ofstream(stuck) << "leak:__resolv_context_get\nleak:__res_context_send\nleak:HostnameLookup::HostnameLookup\n";
    ChildProcess child(testing::programPath("velorinth-client"), {"--state-dir", state.path.string(), "pair", "slow.test"},
                       {"LSAN_OPTIONS=suppressions=" + stuck.string()});

    // Once a query has reached the name server, the lookup is inside getaddrinfo.
    pollfd query{silent.native_handle(), POLLIN, 0};
    if (::poll(&query, 1, 20'000) != 1) {
        child.poll();
        return NamespaceOutcome::fail("no query reached the name server: " + child.out() + child.err());
    }
    child.signal(SIGINT);
    if (!exitsWithin(child, 15s)) {
        return NamespaceOutcome::fail("still running 15 s after Ctrl+C, with the lookup stuck: " + child.out() +
                                      child.err());
    }
    // Only what the program says: a sanitizer may add a note of its own.
    if (child.exitCode() != 1 || !child.err().starts_with("Connection cancelled.\n")) {
        return NamespaceOutcome::fail("exit " + std::to_string(child.exitCode()) + ": " + child.err());
    }
    return NamespaceOutcome::pass();
}

TEST(NetnsClientProgram, CtrlCDuringALookupThatNeverEndsEndsTheProgram) {
    VELORINTH_RUN_IN_PRIVATE_NAMESPACES("NetnsClientProgram.*", {}, interruptAStuckLookup);
}

} // namespace
} // namespace velorinth
