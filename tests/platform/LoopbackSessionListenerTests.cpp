// The listener's own part in admission, on 127.0.0.1 with raw sockets: it
// ranks a connection by its first byte before any TLS, on the budget's
// virtual clock.

#include "support/LoopRunner.hpp"
#include "support/LoopbackListener.hpp"
#include "support/SilentConnection.hpp"
#include "support/TLSTestIdentities.hpp"

#include <asio/write.hpp>

#include <gtest/gtest.h>

#include <array>

namespace velorinth::testing {
namespace {

using tcp = asio::ip::tcp;

struct ListenerRig : LoopRunner {
    HandshakeSlot::TimePoint now = HandshakeSlot::TimePoint{} + std::chrono::hours(1);
    std::shared_ptr<HandshakeBudget> budget;
    std::unique_ptr<SessionListener> listener;
    std::uint16_t port = 0;

    explicit ListenerRig(HandshakeBudget::Options places) {
        places.clock = [this] { return now; };
        budget = std::make_shared<HandshakeBudget>(places);
        SessionListener::Options options;
        options.applicationProtocol = kProtocol;
        options.handshakeTimeout = std::chrono::seconds(30); // no deadline ends anything here
        options.admission.places = places;
        options.admission.evictsWaitingHandshakes = true;
        options.handshakeBudget = budget;
        listener = loopbackListener(io.get_executor(), makeTestIdentity("Listener"), options, {});
        listener->start();
        port = listener->port().value_or(0);
    }
    ~ListenerRig() { listener->stop(); }

    tcp::socket connectFrom(const char* source) { return silentConnection(io, port, source); }
};

// A connection accepted silent that then sends its first byte is never
// evicted by a silent newcomer, however long it waits; one that stays silent
// yields once its grace is over.
TEST(LoopbackSessionListener, AFirstByteRanksAConnectionAboveSilentNewcomers) {
    ListenerRig h({.capacity = 4,
                   .openingCapacity = 1,
                   .minimumAge = std::chrono::hours(1),
                   .silentGrace = std::chrono::milliseconds(100)});
    ASSERT_NE(h.port, 0);

    tcp::socket silent = h.connectFrom("127.0.0.2");
    h.until([&] { return h.budget->inUse() == 1; });
    h.now += std::chrono::milliseconds(100);
    tcp::socket speaker = h.connectFrom("127.0.0.3");
    EXPECT_TRUE(closedWithin(h, silent, std::chrono::seconds(5))); // past its grace
    h.until([&] { return h.budget->inUse() == 1; });

    // The first byte of a ClientHello, and nothing more: the listener waits for the rest in TLS.
    asio::write(speaker, asio::buffer(std::array<std::uint8_t, 1>{0x16}));
    h.drain();
    h.settle(std::chrono::milliseconds(20));
    h.now += std::chrono::hours(2);
    tcp::socket newcomer = h.connectFrom("127.0.0.4");
    EXPECT_TRUE(closedWithin(h, newcomer, std::chrono::seconds(5)));
    EXPECT_FALSE(closedWithin(h, speaker, std::chrono::milliseconds(50)));
    EXPECT_EQ(h.budget->inUse(), 1u);
}

} // namespace
} // namespace velorinth::testing
