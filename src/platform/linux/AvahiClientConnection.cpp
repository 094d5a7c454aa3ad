#include "platform/linux/AvahiClientConnection.hpp"

#include <asio/post.hpp>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include <utility>

namespace velorinth {

AvahiClientConnection::AvahiClientConnection(asio::any_io_executor executor, StateHandler onState)
    : executor_(std::move(executor)), onState_(std::move(onState)) {}

AvahiClientConnection::~AvahiClientConnection() {
    *alive_ = false;
    if (poll_ == nullptr) return;
    // Stop the thread first; then nothing else touches the client.
    avahi_threaded_poll_stop(poll_);
    if (client_ != nullptr) avahi_client_free(client_);
    avahi_threaded_poll_free(poll_);
}

bool AvahiClientConnection::start() {
    if ((poll_ = avahi_threaded_poll_new()) == nullptr) {
        if (onState_) onState_(nullptr, AVAHI_CLIENT_FAILURE);
        return false;
    }
    connect();
    if (client_ == nullptr) return false;
    if (avahi_threaded_poll_start(poll_) < 0) {
        avahi_client_free(client_);
        client_ = nullptr;
        if (onState_) onState_(nullptr, AVAHI_CLIENT_FAILURE);
        return false;
    }
    return true;
}

void AvahiClientConnection::connect() {
    int error = 0;
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, &onClientState, this, &error);
    // NO_FAIL waits for a missing daemon, but not for a missing system bus.
    if (client_ == nullptr && onState_) onState_(nullptr, AVAHI_CLIENT_FAILURE);
}

void AvahiClientConnection::onClientState(AvahiClient* client, AvahiClientState state, void* userdata) {
    auto* self = static_cast<AvahiClientConnection*>(userdata);
    if (self->onState_) self->onState_(client, state);
    if (state == AVAHI_CLIENT_FAILURE && avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
        // The daemon went away: wait for it again with a new client. Freeing
        // the client here is allowed.
        avahi_client_free(client);
        self->client_ = nullptr;
        self->connect();
    }
}

AvahiClientConnection::Lock::Lock(AvahiClientConnection& connection) : poll_(connection.poll_) {
    if (poll_ != nullptr) avahi_threaded_poll_lock(poll_);
}

AvahiClientConnection::Lock::~Lock() {
    if (poll_ != nullptr) avahi_threaded_poll_unlock(poll_);
}

void AvahiClientConnection::post(std::function<void()> work) const {
    asio::post(executor_, [alive = alive_, work = std::move(work)] {
        if (*alive) work();
    });
}

} // namespace velorinth
