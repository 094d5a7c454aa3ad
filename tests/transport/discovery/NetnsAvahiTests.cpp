// Publication through a real Avahi daemon, in private network, mount and PID
// namespaces so the host's own daemons are never touched: the namespace's
// PID 1 (this program run again) starts D-Bus and, later, Avahi, and browses
// with avahi-browse. Everything there dies with it.

#include "transport/discovery/BonjourHostListener.hpp"

#include "support/NamespaceDaemons.hpp"
#include "support/PrivateNamespaces.hpp"
#include "support/TLSTestIdentities.hpp"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velorinth {
namespace {

using namespace std::chrono_literals;

// Runs `io` until `condition` holds or `limit` passes.
bool eventually(asio::io_context& io, const std::function<bool()>& condition,
                std::chrono::steady_clock::duration limit) {
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        io.restart();
        io.run_for(50ms);
    }
    return true;
}

// The resolved lines ("=;…") of one browse for the service type.
std::vector<std::string> browse() {
    std::vector<std::string> lines;
    FILE* output = ::popen("timeout 5 avahi-browse -rpt _velorinth._tcp 2>/dev/null", "r");
    if (output == nullptr) return lines;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, output) != nullptr) {
        if (std::string(buffer).rfind("=;", 0) == 0) lines.emplace_back(buffer);
    }
    ::pclose(output);
    return lines;
}

// Whether a resolved line names `escapedName` on `port` with the identity's TXT record.
bool listed(const std::string& escapedName, std::uint16_t port, const TLSDeviceIdentity& identity) {
    const std::string parts[] = {"\"v=1\"", "\"id=" + identity.publicIdentity.discoveryInstanceID.uuidString() + "\"",
                               "\"role=host\"", ";" + escapedName + ";_velorinth._tcp;",
                               ";" + std::to_string(port) + ";"};
    for (const std::string& line : browse()) {
        if (std::all_of(std::begin(parts), std::end(parts), [&](const std::string& part) { return line.find(part) != std::string::npos; })) {
            return true;
        }
    }
    return false;
}

// The namespace's side: D-Bus, later Avahi, and the listeners.
testing::NamespaceOutcome publishInNamespace() {
    using testing::NamespaceOutcome;
    if (auto failed = testing::NamespaceDaemons::startSystemBus()) return *failed;
    asio::io_context io;

    int errors = 0;
    int published = 0;
    auto publish = [&](const TLSDeviceIdentity& identity) {
        auto listener = std::make_unique<BonjourHostListener>(
            io.get_executor(), identity, 0, true, [](std::shared_ptr<NetworkFramedConnection>, HandshakeSlot) {},
            [](ListenerStatus) {}, [&](const ListenerPublicationError&) { ++errors; }, [&] { ++published; });
        listener->start();
        return listener;
    };
    const TLSDeviceIdentity identity = testing::makeTestIdentity("Netns Host");
    auto first = publish(identity);
    const std::uint16_t firstPort = first->port().value_or(0);
    if (firstPort == 0) return NamespaceOutcome::fail("the listener did not advertise");

    // D-Bus runs but Avahi does not: said once, and published (and said so) once the daemon appears.
    if (!eventually(
            io, [&] { return errors == 1; }, 10s)) {
        return NamespaceOutcome::fail("no report while the daemon is absent");
    }
    if (auto failed = testing::NamespaceDaemons::startAvahi()) return *failed;
    if (!eventually(io, [&] { return listed("Netns\\032Host", firstPort, identity); }, 20s)) {
        return NamespaceOutcome::fail("the service did not appear once the daemon started");
    }
    if (!eventually(io, [&] { return published == 1; }, 10s)) {
        return NamespaceOutcome::fail("the service was listed but its publication was never reported");
    }

    // A second host of the same name takes Avahi's alternative, "Netns Host #2".
    const TLSDeviceIdentity twin = testing::makeTestIdentity("Netns Host");
    auto second = publish(twin);
    const std::uint16_t secondPort = second->port().value_or(0);
    if (!eventually(io, [&] { return listed("Netns\\032Host\\032\\0352", secondPort, twin); }, 20s)) {
        std::string seen = "the second service did not take the alternative name; browsing shows:\n";
        for (const std::string& line : browse()) seen += line;
        return NamespaceOutcome::fail(seen);
    }

    // Stopping withdraws the service.
    first->stop();
    first.reset();
    if (!eventually(io, [&] { return !listed("Netns\\032Host", firstPort, identity); }, 20s) ||
        !listed("Netns\\032Host\\032\\0352", secondPort, twin)) {
        return NamespaceOutcome::fail("the service stayed published after stop, or the other went with it");
    }
    if (!eventually(io, [&] { return published == 2; }, 10s) || errors != 1) {
        return NamespaceOutcome::fail("unexpected publication reports");
    }

    // The daemon goes away: the remaining listener says so again, once. (Not
    // `avahi-daemon -k`: it waits for an exit that this PID 1 never reaps.)
    if (auto failed = testing::NamespaceDaemons::run({"kill \"$(cat /run/avahi-daemon/pid)\""})) return *failed;
    if (!eventually(io, [&] { return errors == 2; }, 10s)) {
        return NamespaceOutcome::fail("the lost daemon was not reported");
    }
    io.restart();
    io.run_for(300ms);
    if (errors != 2 || published != 2) return NamespaceOutcome::fail("a lost daemon was reported more than once");
    return NamespaceOutcome::pass();
}

TEST(NetnsAvahi, PublishesTheTxtRecordOnceTheDaemonAppearsAndResolvesNameConflicts) {
    VELORINTH_RUN_IN_PRIVATE_NAMESPACES(
        "NetnsAvahi.*", {"dbus-daemon", "avahi-daemon", "avahi-browse", "ip", "timeout"}, publishInNamespace);
}

} // namespace
} // namespace velorinth
