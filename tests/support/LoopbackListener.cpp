#include "support/LoopbackListener.hpp"

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <stdexcept>

namespace velorinth::testing {

std::unique_ptr<SessionListener> loopbackListener(const asio::any_io_executor& executor,
                                                  const TLSDeviceIdentity& identity, SessionListener::Options options,
                                                  SessionListener::Handlers handlers) {
    options.bindAddress = asio::ip::address_v4::loopback();
    return SessionListener::create(executor, identity, std::move(options), std::move(handlers));
}

LoopbackAcceptor::LoopbackAcceptor(const asio::any_io_executor& executor, const TLSDeviceIdentity& identity,
                                   std::string protocol, std::size_t maximumFrameSize)
    : maximumFrameSize_(maximumFrameSize),
      arrival_(std::make_shared<asio::steady_timer>(executor, asio::steady_timer::time_point::max())) {
    SessionListener::Options options;
    options.applicationProtocol = std::move(protocol);
    options.handshakeTimeout = std::chrono::seconds(5);
    SessionListener::Handlers handlers;
    handlers.onConnection = [this](SessionListener::Stream stream, HandshakeSlot) {
        waiting_.push_back(std::move(stream));
        ++handedOver_;
        arrival_->cancel();
    };
    listener_ = loopbackListener(executor, identity, std::move(options), std::move(handlers));
    listener_->start();
    if (!listener_->port()) throw std::runtime_error("the loopback listener did not start");
    port_ = *listener_->port();
}

LoopbackAcceptor::~LoopbackAcceptor() { close(); }

void LoopbackAcceptor::close() {
    if (listener_) listener_->stop();
}

asio::awaitable<std::shared_ptr<NetworkFramedConnection>> LoopbackAcceptor::accept() {
    auto arrival = arrival_;
    while (waiting_.empty()) {
        std::error_code ignored;
        arrival->expires_at(asio::steady_timer::time_point::max());
        co_await arrival->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    if (configureSocket) configureSocket(waiting_.front().next_layer());
    auto connection = std::make_shared<NetworkFramedConnection>(std::move(waiting_.front()), maximumFrameSize_, true);
    waiting_.pop_front();
    co_await connection->start();
    co_return connection;
}

} // namespace velorinth::testing
