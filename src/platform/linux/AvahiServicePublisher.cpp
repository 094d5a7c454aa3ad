#include "platform/linux/AvahiServicePublisher.hpp"

#include "platform/linux/AvahiClientConnection.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

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
    ServiceAdvertisement advertisement;
    std::string name;
    std::uint16_t port = 0;
    ErrorHandler onError;
    PublishedHandler onPublished;
    std::unique_ptr<AvahiClientConnection> connection;
    AvahiEntryGroup* group = nullptr;
    enum class Reported { nothing, unavailable, published };
    Reported reported = Reported::nothing;

    // A client that waits for the daemon passes through "connecting" again
    // and again: only a change is news.
    void reportUnavailable() {
        if (reported == Reported::unavailable) return;
        reported = Reported::unavailable;
        connection->post([onError = onError] {
            if (onError) onError(ListenerPublicationError(ListenerPublicationError::Case::avahiUnavailable));
        });
    }

    void reportPublished() {
        if (reported == Reported::published) return;
        reported = Reported::published;
        connection->post([onPublished = onPublished] {
            if (onPublished) onPublished();
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
        if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) self->reportPublished();
        if (state != AVAHI_ENTRY_GROUP_COLLISION) return;
        self->group = group;
        self->takeAlternativeName();
        avahi_entry_group_reset(group);
        self->publish(avahi_entry_group_get_client(group));
    }

    void onClientState(AvahiClient* client, AvahiClientState state) {
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            publish(client);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name changes; the service is added again once running.
            if (group != nullptr) avahi_entry_group_reset(group);
            break;
        case AVAHI_CLIENT_CONNECTING:
            reportUnavailable();
            break;
        case AVAHI_CLIENT_FAILURE:
            reportUnavailable();
            // A lost daemon's client is freed with its group; a new one waits for the daemon.
            group = nullptr;
            break;
        }
    }
};

AvahiServicePublisher::AvahiServicePublisher(const asio::any_io_executor& executor,
                                             ServiceAdvertisement advertisement, std::uint16_t port,
                                             ErrorHandler onError, PublishedHandler onPublished)
    : state_(std::make_unique<State>()) {
    State& state = *state_;
    state.name = serviceInstanceName(advertisement.instanceName);
    state.advertisement = std::move(advertisement);
    state.port = port;
    state.onError = std::move(onError);
    state.onPublished = std::move(onPublished);
    state.connection = std::make_unique<AvahiClientConnection>(
        executor, [&state](AvahiClient* client, AvahiClientState clientState) { state.onClientState(client, clientState); });
    state.connection->start();
}

// The connection stops Avahi's thread before it frees the client.
AvahiServicePublisher::~AvahiServicePublisher() = default;

} // namespace velorinth
