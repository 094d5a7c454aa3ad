// The listener's own part in admission, on 127.0.0.1 with raw sockets: it
// ranks a connection by its first byte before any TLS, on the budget's
// virtual clock.

#include "support/LoopRunner.hpp"
#include "support/LoopbackListener.hpp"
#include "support/TLSTestIdentities.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>
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

    tcp::socket connectFrom(const char* source) {
        tcp::socket socket(io);
        socket.open(tcp::v4());
        socket.bind({asio::ip::make_address(source), 0});
        socket.connect({asio::ip::address_v4::loopback(), port});
        return socket;
    }

    // True when the listener closes `socket` within `limit` (a guard, not a timing check).
    bool closedWithin(tcp::socket& socket, std::chrono::milliseconds limit) {
        return run([&]() -> asio::awaitable<bool> {
            using namespace asio::experimental::awaitable_operators;
            std::array<char, 1> byte{};
            std::error_code error;
            asio::steady_timer timer(io, limit);
            auto read = socket.async_read_some(asio::buffer(byte), asio::redirect_error(asio::use_awaitable, error));
            auto wait = timer.async_wait(asio::use_awaitable);
            co_return (co_await (std::move(read) || std::move(wait))).index() == 0;
        }());
    }
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
    EXPECT_TRUE(h.closedWithin(silent, std::chrono::seconds(5))); // past its grace
    h.until([&] { return h.budget->inUse() == 1; });

    // The first byte of a ClientHello, and nothing more: the listener waits for the rest in TLS.
    asio::write(speaker, asio::buffer(std::array<std::uint8_t, 1>{0x16}));
    h.drain();
    h.settle(std::chrono::milliseconds(20));
    h.now += std::chrono::hours(2);
    tcp::socket newcomer = h.connectFrom("127.0.0.4");
    EXPECT_TRUE(h.closedWithin(newcomer, std::chrono::seconds(5)));
    EXPECT_FALSE(h.closedWithin(speaker, std::chrono::milliseconds(50)));
    EXPECT_EQ(h.budget->inUse(), 1u);
}

} // namespace
} // namespace velorinth::testing
