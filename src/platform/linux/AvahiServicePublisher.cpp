#include "platform/linux/AvahiServicePublisher.hpp"

#include <asio/post.hpp>
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <string>

namespace velorinth {

namespace {

// A DNS-SD instance name is one label of at most 63 bytes; cut on a UTF-8
// character boundary.
std::string serviceInstanceName(std::string name) {
    constexpr std::size_t kLimit = 63;
    if (name.size() <= kLimit) return name;
    std::size_t end = kLimit;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    name.resize(end);
    return name;
}

} // namespace

// Everything below runs on Avahi's thread once it has started (or on the
// constructing thread before that, when the client calls back from inside
// avahi_client_new), and on the destroying thread after it has stopped.
struct AvahiServicePublisher::State {
    asio::any_io_executor executor;
    ServiceAdvertisement advertisement;
    std::string name;
    std::uint16_t port = 0;
    ErrorHandler onError;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true); // read and cleared on the executor only

    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    bool reported = false;

    void connect() {
        int error = 0;
        client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                         &State::onClientState, this, &error);
        // NO_FAIL waits for a missing daemon, but not for a missing system bus.
        if (client == nullptr) reportUnavailable();
    }

    void reportUnavailable() {
        if (reported) return;
        reported = true;
        asio::post(executor, [alive = alive, onError = onError] {
            if (*alive && onError) onError(ListenerPublicationError(ListenerPublicationError::Case::avahiUnavailable));
        });
    }

    void takeAlternativeName() {
        char* alternative = avahi_alternative_service_name(name.c_str());
        if (alternative != nullptr) {
            name = alternative;
            avahi_free(alternative);
        }
    }

    void publish(AvahiClient* owner) {
        if (group == nullptr) group = avahi_entry_group_new(owner, &State::onGroupState, this);
        if (group == nullptr || avahi_entry_group_is_empty(group) == 0) return;
        // The list is built back to front, so the record keeps the given key order.
        AvahiStringList* txt = nullptr;
        for (auto pair = advertisement.txtRecord.rbegin(); pair != advertisement.txtRecord.rend(); ++pair) {
            txt = avahi_string_list_add_pair(txt, pair->first.c_str(), pair->second.c_str());
        }
        constexpr int kRenames = 16; // bounded: a network that refuses every name gets none
        for (int attempt = 0; attempt < kRenames; ++attempt) {
            const int added = avahi_entry_group_add_service_strlst(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0), name.c_str(),
                advertisement.serviceType.c_str(), nullptr, nullptr, port, txt);
            if (added == AVAHI_ERR_COLLISION) {
                takeAlternativeName();
                avahi_entry_group_reset(group);
                continue;
            }
            if (added >= 0) avahi_entry_group_commit(group);
            break;
        }
        avahi_string_list_free(txt);
    }

    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
        auto* self = static_cast<State*>(userdata);
        if (state != AVAHI_ENTRY_GROUP_COLLISION) return;
        self->group = group;
        self->takeAlternativeName();
        avahi_entry_group_reset(group);
        self->publish(avahi_entry_group_get_client(group));
    }

    static void onClientState(AvahiClient* client, AvahiClientState state, void* userdata) {
        auto* self = static_cast<State*>(userdata);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            self->publish(client);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name changes; the service is added again once running.
            if (self->group != nullptr) avahi_entry_group_reset(self->group);
            break;
        case AVAHI_CLIENT_CONNECTING:
            self->reportUnavailable();
            break;
        case AVAHI_CLIENT_FAILURE:
            self->reportUnavailable();
            if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
                // The daemon went away: wait for it again with a new client.
                // Freeing the client here is allowed and frees its group.
                avahi_client_free(client);
                self->client = nullptr;
                self->group = nullptr;
                self->connect();
            }
            break;
        }
    }
};

AvahiServicePublisher::AvahiServicePublisher(const asio::any_io_executor& executor,
                                             ServiceAdvertisement advertisement, std::uint16_t port,
                                             ErrorHandler onError)
    : state_(std::make_unique<State>()) {
    State& state = *state_;
    state.executor = executor;
    state.name = serviceInstanceName(advertisement.instanceName);
    state.advertisement = std::move(advertisement);
    state.port = port;
    state.onError = std::move(onError);
    if ((state.poll = avahi_threaded_poll_new()) == nullptr) {
        state.reportUnavailable();
        return;
    }
    state.connect();
    if (state.client == nullptr || avahi_threaded_poll_start(state.poll) < 0) {
        if (state.client != nullptr) avahi_client_free(state.client);
        state.client = nullptr;
        state.reportUnavailable();
    }
}

AvahiServicePublisher::~AvahiServicePublisher() {
    State& state = *state_;
    *state.alive = false;
    if (state.poll == nullptr) return;
    // Stop the thread first; then nothing else touches the client.
    avahi_threaded_poll_stop(state.poll);
    if (state.client != nullptr) avahi_client_free(state.client);
    avahi_threaded_poll_free(state.poll);
}

} // namespace velorinth
