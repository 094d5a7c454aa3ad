// velorinth-client against a name server that never answers, in private
// namespaces: Ctrl+C during the lookup ends the program long before the
// system resolver would give up, and a pairing whose name never resolves
// says so, as connect does.

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
#include <memory>
#include <optional>
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

// `velorinth-client pair slow.test` against a name server that takes
// queries and answers none, each of 5 tries waiting 30 s: glibc gives up
// after minutes. The program, once its query has reached the server; none
// and the reason when that fails.
struct StuckLookup {
    asio::io_context io;
    asio::ip::udp::socket silent{io};
    testing::TemporaryDirectory state{"velorinth-client"};
    std::unique_ptr<ChildProcess> child;

    std::optional<NamespaceOutcome> start() {
        if (auto failed =
                NamespaceDaemons::useResolverConfiguration("nameserver 127.0.0.1\noptions timeout:30 attempts:5\n")) {
            return *failed;
        }
        silent.open(asio::ip::udp::v4());
        silent.bind({asio::ip::make_address("127.0.0.1"), 53});
        // Under the address sanitizer: the program ends while its lookup thread
        // is inside getaddrinfo, which the leak check cannot stop to scan.
        const std::filesystem::path stuck = state.path / "stuck-lookup.supp";
        std::ofstream(stuck) << "leak:__resolv_context_get\nleak:__res_context_send\nleak:HostnameLookup::HostnameLookup\n";
        child = std::make_unique<ChildProcess>(testing::programPath("velorinth-client"),
                                               std::vector<std::string>{"--state-dir", state.path.string(), "pair",
                                                                        "slow.test"},
                                               std::vector<std::string>{"LSAN_OPTIONS=suppressions=" + stuck.string()});
        // Once a query has reached the name server, the lookup is inside getaddrinfo.
        pollfd query{silent.native_handle(), POLLIN, 0};
        if (::poll(&query, 1, 20'000) != 1) {
            child->poll();
            return NamespaceOutcome::fail("no query reached the name server: " + child->out() + child->err());
        }
        return std::nullopt;
    }
};

NamespaceOutcome interruptAStuckLookup() {
    StuckLookup lookup;
    if (auto failed = lookup.start()) return *failed;
    ChildProcess& child = *lookup.child;
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

// The lookup's own limit ends the pairing with the name's failure.
NamespaceOutcome pairWithANameThatNeverResolves() {
    StuckLookup lookup;
    if (auto failed = lookup.start()) return *failed;
    ChildProcess& child = *lookup.child;
    if (!exitsWithin(child, 40s)) return NamespaceOutcome::fail("still running after 40 s: " + child.out() + child.err());
    const std::string expected = "Couldn't resolve \u201cslow.test\u201d. Confirm your private network (such as "
                                 "Tailscale or WireGuard) and MagicDNS/DNS are active.\n";
    if (child.exitCode() != 1 || !child.err().starts_with(expected)) {
        return NamespaceOutcome::fail("exit " + std::to_string(child.exitCode()) + ": " + child.err());
    }
    return NamespaceOutcome::pass();
}

TEST(NetnsClientProgram, CtrlCDuringALookupThatNeverEndsEndsTheProgram) {
    VELORINTH_RUN_IN_PRIVATE_NAMESPACES("NetnsClientProgram.CtrlCDuringALookupThatNeverEndsEndsTheProgram", {},
                                        interruptAStuckLookup);
}

TEST(NetnsClientProgram, APairingWhoseNameNeverResolvesSaysSoAsConnectDoes) {
    VELORINTH_RUN_IN_PRIVATE_NAMESPACES("NetnsClientProgram.APairingWhoseNameNeverResolvesSaysSoAsConnectDoes", {},
                                        pairWithANameThatNeverResolves);
}

} // namespace
} // namespace velorinth
