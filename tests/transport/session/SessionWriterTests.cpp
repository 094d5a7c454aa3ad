#include "transport/session/SessionWriter.hpp"

#include "support/LoopRunner.hpp"
#include "support/LoopbackListener.hpp"
#include "support/TLSTestIdentities.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velorinth::testing {
namespace {

using namespace asio::experimental::awaitable_operators;

const Bytes kKey(32, 0x21);
const Bytes kTranscript(32, 0x5A);

Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

// A coroutine's parameters live in its frame (a lambda's captures would not).
asio::awaitable<void> waitInto(std::shared_ptr<SessionWriter> writer, std::uint64_t ticket,
                               SessionWriter::Duration bound, std::optional<bool>& answer) {
    answer = co_await writer->waitForWritten(ticket, bound);
}

// A writer on a loopback connection whose far end opens what it sends.
class LoopbackSessionWriter : public ::testing::Test {
protected:
    void SetUp() override {
        far = NetworkFramedConnection::connect(h.io.get_executor(), acceptor.endpoint(), makeTestIdentity("Far"),
                                               std::nullopt, kTestFrameLimit, kProtocol);
        h.run([&]() -> asio::awaitable<void> {
            auto accept = [&]() -> asio::awaitable<void> { near = co_await acceptor.accept(); };
            co_await (accept() && far->start());
        }());
        writer = std::make_shared<SessionWriter>(
            h.io.get_executor(), near, std::make_shared<SessionCipher>(kKey, SessionRole::responder), kTranscript);
    }
    void TearDown() override {
        h.call([&] { writer->close(); });
        far->cancel();
        h.settle();
    }
    std::string receive() {
        const Bytes frame = h.run(far->receiveFrame());
        const auto wire = SessionWireFrameCodec::decode(frame);
        const Bytes plaintext = farCipher.open(wire.sequence, wire.body, kTranscript);
        return std::string(plaintext.begin(), plaintext.end());
    }
    // Waits for `ticket` in a task of its own; its answer lands in the slot.
    void watch(std::uint64_t ticket, std::optional<bool>& answer,
               SessionWriter::Duration bound = SessionWriter::Duration::max(),
               asio::cancellation_signal* cancel = nullptr) {
        if (cancel != nullptr) {
            asio::co_spawn(h.io, waitInto(writer, ticket, bound, answer),
                           asio::bind_cancellation_slot(cancel->slot(), [](std::exception_ptr) {}));
        } else {
            asio::co_spawn(h.io, waitInto(writer, ticket, bound, answer), [](std::exception_ptr) {});
        }
    }

    LoopRunner h;
    LoopbackAcceptor acceptor{h.io.get_executor(), makeTestIdentity("Near")};
    std::shared_ptr<NetworkFramedConnection> near, far;
    SessionCipher farCipher{kKey, SessionRole::initiator};
    std::shared_ptr<SessionWriter> writer;
};

// The n-th message queued is written once n are: a ticket is answered true as
// soon as its own message is out, whatever follows it, and at once when it
// was out already.
TEST_F(LoopbackSessionWriter, TicketsCountMessagesInTheOrderTheyWereQueued) {
    std::vector<std::uint64_t> tickets;
    h.call([&] {
        for (const char* message : {"one", "two", "three"}) tickets.push_back(writer->enqueueControl(text(message)));
    });
    EXPECT_EQ(tickets, (std::vector<std::uint64_t>{1, 2, 3}));
    std::optional<bool> second, bounded;
    watch(2, second);
    watch(3, bounded, 10ms); // nothing is written before start: its bound passes
    h.until([&] { return bounded.has_value(); });
    EXPECT_EQ(bounded, false);
    EXPECT_FALSE(second.has_value());

    h.call([&] { writer->start(); });
    EXPECT_EQ(receive(), "one");
    EXPECT_EQ(receive(), "two");
    h.until([&] { return second.has_value(); });
    EXPECT_EQ(second, true);
    EXPECT_EQ(receive(), "three"); // still queued after its waiter gave up
    EXPECT_TRUE(h.run(writer->waitForWritten(1)));
    EXPECT_FALSE(h.run(writer->waitForWritten(0))) << "ticket 0 is what a closed writer hands out";
}

// Close wakes every waiter with false, cancellation wakes its own, and a
// closed writer takes nothing more.
TEST_F(LoopbackSessionWriter, CloseWakesEveryWaiterAndACancelledOneLeavesAlone) {
    std::optional<bool> first, second, cancelled;
    asio::cancellation_signal cancel;
    h.call([&] {
        writer->enqueueControl(text("held"));
        writer->enqueueControl(text("held too"));
    });
    watch(1, first);
    watch(2, second);
    watch(2, cancelled, SessionWriter::Duration::max(), &cancel);
    h.settle(10ms);
    h.call([&] { cancel.emit(asio::cancellation_type::terminal); });
    h.until([&] { return cancelled.has_value(); });
    EXPECT_EQ(cancelled, false);
    EXPECT_FALSE(first.has_value());

    h.call([&] { writer->close(); });
    h.until([&] { return first.has_value() && second.has_value(); });
    EXPECT_EQ(first, false);
    EXPECT_EQ(second, false);
    EXPECT_EQ(h.call([&] { return writer->enqueueControl(text("late")); }), 0u);
    EXPECT_TRUE(near->didClose());
}

} // namespace
} // namespace velorinth::testing
