#pragma once

// A tablet further away than loopback: a TCP relay on 127.0.0.1 that carries
// each connection on to the host from a chosen source address, and delivers
// every chunk it reads, either way, half the extra round trip later. The
// host then sees its peer's bytes as late as a tablet on Wi-Fi would send them.

#include "BenchSupport.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <array>
#include <deque>
#include <list>
#include <memory>

namespace velorinth::bench {

class DelayRelay {
public:
    using tcp = asio::ip::tcp;

    // Create, use and close it on `executor`'s loop; the relay takes effect on
    // the connections it accepts after that.
    DelayRelay(asio::any_io_executor executor, tcp::endpoint target, asio::ip::address source,
               Clock::duration extraRoundTrip)
        : executor_(executor), target_(target), source_(source), oneWay_(extraRoundTrip / 2),
          acceptor_(executor, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
        asio::co_spawn(executor_, acceptLoop(), asio::detached);
    }

    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

    // Every carried connection ends with the acceptor.
    void close() {
        std::error_code ignored;
        acceptor_.close(ignored);
        for (auto& link : links_) link->close();
        links_.clear();
    }

private:
    // Keeps at most this much in flight per direction: the reader waits beyond it.
    static constexpr std::size_t kQueueLimit = 1 << 20;

    struct Direction {
        explicit Direction(const asio::any_io_executor& executor) : wake(executor) {}
        std::deque<std::pair<Clock::time_point, std::vector<std::uint8_t>>> chunks;
        std::size_t queued = 0;
        bool ended = false;
        asio::steady_timer wake; // the other side waits on it; cancelled to notify
    };

    struct Link {
        explicit Link(const asio::any_io_executor& executor)
            : tablet(executor), host(executor), up(executor), down(executor) {}
        void close() {
            std::error_code ignored;
            tablet.close(ignored);
            host.close(ignored);
            up.wake.cancel();
            down.wake.cancel();
        }
        tcp::socket tablet, host;
        Direction up, down; // tablet to host, host to tablet
        int finishedWriters = 0;
    };

    static asio::awaitable<void> pause(asio::steady_timer& timer, Clock::time_point until) {
        timer.expires_at(until);
        std::error_code ignored;
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }

    asio::awaitable<void> acceptLoop() {
        for (;;) {
            auto link = std::make_shared<Link>(executor_);
            std::error_code error;
            co_await acceptor_.async_accept(link->tablet, asio::redirect_error(asio::use_awaitable, error));
            if (error) co_return; // closed
            link->host.open(target_.protocol(), error);
            if (!error) link->host.bind({source_, 0}, error);
            if (!error) co_await link->host.async_connect(target_, asio::redirect_error(asio::use_awaitable, error));
            if (error || !acceptor_.is_open()) {
                link->close();
                continue;
            }
            link->tablet.set_option(tcp::no_delay(true));
            link->host.set_option(tcp::no_delay(true));
            links_.remove_if([](const std::shared_ptr<Link>& l) { return !l->tablet.is_open(); });
            links_.push_back(link);
            asio::co_spawn(executor_, read(link, link->tablet, link->up), asio::detached);
            asio::co_spawn(executor_, write(link, link->up, link->host), asio::detached);
            asio::co_spawn(executor_, read(link, link->host, link->down), asio::detached);
            asio::co_spawn(executor_, write(link, link->down, link->tablet), asio::detached);
        }
    }

    asio::awaitable<void> read(std::shared_ptr<Link> link, tcp::socket& from, Direction& direction) {
        std::array<std::uint8_t, 16384> buffer{};
        asio::steady_timer full(executor_);
        for (;;) {
            std::error_code error;
            const std::size_t count =
                co_await from.async_read_some(asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, error));
            if (error) break;
            direction.chunks.emplace_back(Clock::now() + oneWay_,
                                          std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + count));
            direction.queued += count;
            direction.wake.cancel();
            while (direction.queued > kQueueLimit && from.is_open()) co_await pause(full, Clock::now() + 1ms);
        }
        direction.ended = true; // the end travels as late as the bytes before it
        direction.wake.cancel();
        (void)link;
    }

    asio::awaitable<void> write(std::shared_ptr<Link> link, Direction& direction, tcp::socket& to) {
        for (;;) {
            while (direction.chunks.empty() && !direction.ended && to.is_open()) {
                co_await pause(direction.wake, Clock::time_point::max());
            }
            if (!to.is_open()) break;
            if (direction.chunks.empty()) { // ended
                co_await pause(direction.wake, Clock::now() + oneWay_);
                std::error_code ignored;
                to.shutdown(tcp::socket::shutdown_send, ignored);
                if (++link->finishedWriters == 2) link->close();
                co_return;
            }
            auto [due, bytes] = std::move(direction.chunks.front());
            direction.chunks.pop_front();
            direction.queued -= bytes.size();
            if (Clock::now() < due) {
                asio::steady_timer wait(executor_);
                co_await pause(wait, due);
            }
            std::error_code error;
            co_await asio::async_write(to, asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, error));
            if (error) break;
        }
        link->close();
    }

    asio::any_io_executor executor_;
    tcp::endpoint target_;
    asio::ip::address source_;
    Clock::duration oneWay_;
    tcp::acceptor acceptor_;
    std::list<std::shared_ptr<Link>> links_;
};

} // namespace velorinth::bench
