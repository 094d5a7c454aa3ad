#include "platform/linux/AvahiBonjourBrowsing.hpp"

#include "core/Cancellation.hpp"
#include "core/LoopSignal.hpp"

#include <asio/this_coro.hpp>

#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <net/if.h>

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace velorinth {

namespace {

using State = BonjourBrowsing::State;

// An interface's name; empty when the index names none.
std::string interfaceName(AvahiIfIndex index) {
    char name[IF_NAMESIZE] = {};
    if (index < 0 || ::if_indextoname(static_cast<unsigned>(index), name) == nullptr) return {};
    return name;
}

// A TXT record's entries, in record order as the daemon hands them to a client.
std::vector<std::string> txtEntries(AvahiStringList* list) {
    std::vector<std::string> entries;
    for (AvahiStringList* entry = list; entry != nullptr; entry = avahi_string_list_get_next(entry)) {
        const auto* text = avahi_string_list_get_text(entry);
        entries.emplace_back(reinterpret_cast<const char*>(text), avahi_string_list_get_size(entry));
    }
    return entries;
}

std::string errorText(AvahiClient* client) { return avahi_strerror(client != nullptr ? avahi_client_errno(client) : AVAHI_ERR_DISCONNECTED); }

} // namespace

// One resolve() call: its two resolvers (IPv4, IPv6) and their answers.
struct AvahiBonjourBrowsing::Resolution : std::enable_shared_from_this<Resolution> {
    Resolution(const asio::any_io_executor& executor, Browse& browse) : answered(executor), browse(browse) {}

    // Under the poll lock.
    std::array<AvahiServiceResolver*, 2> resolvers{};
    // The loop's.
    LoopSignal answered;
    std::array<bool, 2> done{};
    std::array<std::optional<HostPort>, 2> addresses;
    std::string failureText;
    bool abandoned = false;
    Browse& browse;

    static void onResolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                           const char*, const char*, const char*, const char*, const AvahiAddress* address,
                           std::uint16_t port, AvahiStringList*, AvahiLookupResultFlags, void* userdata);
    // Under the poll lock: frees what is still pending and answers it with `text`.
    void abandonResolvers(const std::string& text);
    void answer(std::size_t slot, std::optional<HostPort> address, std::string text);
};

// Everything Avahi's thread touches; under the poll lock elsewhere.
struct AvahiBonjourBrowsing::Browse {
    struct ItemKey {
        AvahiIfIndex interface;
        AvahiProtocol protocol;
        std::string name, type, domain;
        auto operator<=>(const ItemKey&) const = default;
    };
    struct Item {
        AvahiServiceResolver* resolver = nullptr;
        std::optional<std::vector<std::string>> txt; // present once resolved
    };

    AvahiClientConnection* connection = nullptr;
    bool connected = false; // a client that talks to a daemon
    std::string serviceType;
    bool browsing = false;
    bool failedForGood = false;
    AvahiServiceBrowser* browser = nullptr;
    std::map<ItemKey, Item> items;
    std::set<std::shared_ptr<Resolution>> resolutions;
    std::optional<State> lastState;
    bool listed = false;
    std::uint64_t generation = 0; // written on the loop under the lock
    AvahiClient* client = nullptr;

    Handlers handlers; // the loop's

    void onClientState(AvahiClient* newClient, AvahiClientState state) {
        client = newClient;
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
        case AVAHI_CLIENT_S_REGISTERING:
        case AVAHI_CLIENT_S_COLLISION:
            connected = true;
            if (browsing && browser == nullptr && !failedForGood) createBrowser();
            break;
        case AVAHI_CLIENT_CONNECTING: daemonUnavailable(false); break;
        case AVAHI_CLIENT_FAILURE:
            if (newClient == nullptr || avahi_client_errno(newClient) == AVAHI_ERR_DISCONNECTED) {
                // The client, with its browser and resolvers, is freed right after.
                daemonUnavailable(true);
            } else {
                fail(errorText(newClient));
            }
            break;
        }
    }

    void daemonUnavailable(bool clientGoes) {
        connected = false;
        if (!clientGoes) freeBrowse();
        browser = nullptr;
        items.clear();
        for (const auto& resolution : std::set(resolutions)) {
            if (clientGoes) resolution->resolvers = {}; // freed with the client
            resolution->abandonResolvers(AvahiBonjourBrowsing::kAvahiUnavailableText);
        }
        if (browsing) {
            postResults();
            postState(State{State::Kind::waiting, BrowseError{AVAHI_ERR_NO_DAEMON, kAvahiUnavailableText}});
        }
    }

    void fail(const std::string& text) {
        failedForGood = true;
        freeBrowse();
        if (browsing) {
            postResults();
            postState(State{State::Kind::failed, BrowseError{avahi_client_errno(client), text}});
        }
    }

    // Frees the browser and the items' resolvers.
    void freeBrowse() {
        if (browser != nullptr) avahi_service_browser_free(browser);
        browser = nullptr;
        for (auto& [key, item] : items) {
            if (item.resolver != nullptr) avahi_service_resolver_free(item.resolver);
        }
        items.clear();
    }

    void createBrowser() {
        browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, serviceType.c_str(), nullptr,
                                            static_cast<AvahiLookupFlags>(0), &Browse::onBrowse, this);
        if (browser == nullptr) {
            fail(errorText(client));
            return;
        }
        postState(State{State::Kind::ready, std::nullopt});
    }

    static void onBrowse(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                         AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<Browse*>(userdata);
        if (browser != self->browser) return;
        switch (event) {
        case AVAHI_BROWSER_NEW: {
            ItemKey key{interface, protocol, name, type, domain};
            if (self->items.contains(key)) return;
            Item& item = self->items[std::move(key)];
            // The TXT record comes only with resolution.
            item.resolver = avahi_service_resolver_new(self->client, interface, protocol, name, type, domain, protocol,
                                                       static_cast<AvahiLookupFlags>(0), &Browse::onItemResolved, self);
            break;
        }
        case AVAHI_BROWSER_REMOVE: {
            const auto found = self->items.find(ItemKey{interface, protocol, name, type, domain});
            if (found == self->items.end()) return;
            const bool wasListed = found->second.txt.has_value();
            if (found->second.resolver != nullptr) avahi_service_resolver_free(found->second.resolver);
            self->items.erase(found);
            if (wasListed) self->postResults();
            break;
        }
        case AVAHI_BROWSER_FAILURE: self->fail(errorText(self->client)); break;
        case AVAHI_BROWSER_ALL_FOR_NOW:
        case AVAHI_BROWSER_CACHE_EXHAUSTED: break;
        }
    }

    static void onItemResolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                               const char*, const char*, const char*, const char*, const AvahiAddress*, std::uint16_t,
                               AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<Browse*>(userdata);
        const auto found = std::find_if(self->items.begin(), self->items.end(),
                                        [resolver](const auto& entry) { return entry.second.resolver == resolver; });
        avahi_service_resolver_free(resolver);
        if (found == self->items.end()) return;
        found->second.resolver = nullptr; // a failed resolution stays unlisted
        if (event != AVAHI_RESOLVER_FOUND) return;
        found->second.txt = txtEntries(txt);
        self->postResults();
    }

    void postResults() {
        // One result per interface, name, type and domain: its IPv4 and IPv6 items are one service.
        std::map<std::tuple<AvahiIfIndex, std::string, std::string, std::string>, Result> results;
        for (const auto& [key, item] : items) {
            if (!item.txt) continue;
            const std::string interface = interfaceName(key.interface);
            if (interface.empty()) continue;
            results.try_emplace({key.interface, key.name, key.type, key.domain},
                                Result{ServiceEndpoint{ServiceEndpoint::BonjourService{key.name, key.type, key.domain, interface}},
                                       item.txt});
        }
        if (results.empty() && !listed) return;
        listed = !results.empty();
        std::vector<Result> list;
        for (auto& entry : results) list.push_back(std::move(entry.second));
        connection->post([self = this, list = std::move(list), generation = generation] {
            if (generation == self->generation && self->handlers.onResults) self->handlers.onResults(list);
        });
    }

    void postState(const State& state) {
        if (lastState == state) return;
        lastState = state;
        connection->post([self = this, state, generation = generation] {
            if (generation == self->generation && self->handlers.onState) self->handlers.onState(state);
        });
    }
};

void AvahiBonjourBrowsing::Resolution::onResolved(AvahiServiceResolver* resolver, AvahiIfIndex interface,
                                                  AvahiProtocol, AvahiResolverEvent event, const char*, const char*,
                                                  const char*, const char*, const AvahiAddress* address,
                                                  std::uint16_t port, AvahiStringList*, AvahiLookupResultFlags,
                                                  void* userdata) {
    auto* self = static_cast<Resolution*>(userdata);
    const std::size_t slot = resolver == self->resolvers[0] ? 0 : 1;
    const AvahiProtocol family = slot == 0 ? AVAHI_PROTO_INET : AVAHI_PROTO_INET6;
    std::optional<HostPort> answer;
    std::string text = avahi_strerror(AVAHI_ERR_NOT_FOUND);
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr && address->proto == family) {
        char buffer[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(buffer, sizeof buffer, address);
        std::string host = buffer;
        // Avahi gives no scope: a link-local address needs its interface to be reached.
        const bool linkLocal = family == AVAHI_PROTO_INET6 && address->data.ipv6.address[0] == 0xfe &&
                               (address->data.ipv6.address[1] & 0xc0) == 0x80;
        if (linkLocal) host += "%" + interfaceName(interface);
        answer = HostPort{std::move(host), port};
    } else if (event == AVAHI_RESOLVER_FAILURE) {
        text = avahi_strerror(avahi_client_errno(avahi_service_resolver_get_client(resolver)));
    }
    avahi_service_resolver_free(resolver);
    self->resolvers[slot] = nullptr;
    self->answer(slot, std::move(answer), std::move(text));
}

void AvahiBonjourBrowsing::Resolution::abandonResolvers(const std::string& text) {
    for (std::size_t slot = 0; slot < resolvers.size(); ++slot) {
        if (resolvers[slot] != nullptr) avahi_service_resolver_free(resolvers[slot]);
        resolvers[slot] = nullptr;
        answer(slot, std::nullopt, text);
    }
}

void AvahiBonjourBrowsing::Resolution::answer(std::size_t slot, std::optional<HostPort> address, std::string text) {
    if (resolvers[0] == nullptr && resolvers[1] == nullptr) browse.resolutions.erase(shared_from_this());
    browse.connection->post([self = shared_from_this(), slot, address = std::move(address), text = std::move(text)] {
        if (self->done[slot]) return;
        self->done[slot] = true;
        self->addresses[slot] = address;
        if (!address && self->failureText.empty()) self->failureText = text;
        self->answered.notifyAll();
    });
}

AvahiBonjourBrowsing::AvahiBonjourBrowsing(asio::any_io_executor executor,
                                           std::chrono::steady_clock::duration secondFamilyGrace)
    : executor_(std::move(executor)), secondFamilyGrace_(secondFamilyGrace), browse_(std::make_shared<Browse>()) {}

void AvahiBonjourBrowsing::abandon(Resolution& resolution) {
    // Freed under the lock, a resolver never answers.
    AvahiClientConnection::Lock lock(*connection_);
    for (AvahiServiceResolver*& resolver : resolution.resolvers) {
        if (resolver != nullptr) avahi_service_resolver_free(resolver);
        resolver = nullptr;
    }
    browse_->resolutions.erase(resolution.shared_from_this());
}

AvahiBonjourBrowsing::~AvahiBonjourBrowsing() {
    if (connection_) {
        std::set<std::shared_ptr<Resolution>> pending;
        {
            AvahiClientConnection::Lock lock(*connection_);
            pending.swap(browse_->resolutions);
        }
        // Their coroutines wake once this object is gone and touch only their own state.
        for (const auto& resolution : pending) {
            resolution->abandoned = true;
            resolution->answered.notifyAll();
        }
    }
    connection_.reset();
}

bool AvahiBonjourBrowsing::connect() {
    if (connection_) return true;
    connection_ = std::make_unique<AvahiClientConnection>(
        executor_, [browse = browse_.get()](AvahiClient* client, AvahiClientState state) {
            browse->onClientState(client, state);
        });
    browse_->connection = connection_.get();
    return connection_->start();
}

void AvahiBonjourBrowsing::start(const std::string& serviceType, Handlers handlers) {
    browse_->handlers = std::move(handlers);
    const bool made = connect();
    AvahiClientConnection::Lock lock(*connection_);
    browse_->serviceType = serviceType;
    browse_->browsing = true;
    if (!made) {
        browse_->daemonUnavailable(false);
    } else if (browse_->connected && browse_->browser == nullptr && !browse_->failedForGood) {
        browse_->createBrowser();
    } else if (!browse_->connected) {
        browse_->daemonUnavailable(false);
    }
}

void AvahiBonjourBrowsing::stop() {
    if (!connection_) return;
    AvahiClientConnection::Lock lock(*connection_);
    if (!browse_->browsing) return;
    browse_->browsing = false;
    browse_->freeBrowse();
    browse_->listed = false;
    ++browse_->generation;
    browse_->postState(State{State::Kind::cancelled, std::nullopt});
}

asio::awaitable<std::vector<HostPort>> AvahiBonjourBrowsing::resolve(const ServiceEndpoint::BonjourService& service) {
    auto resolution = std::make_shared<Resolution>(executor_, *browse_);
    if (!connect()) throw BonjourResolutionError(kAvahiUnavailableText);
    {
        AvahiClientConnection::Lock lock(*connection_);
        if (!browse_->connected) throw BonjourResolutionError(kAvahiUnavailableText);
        AvahiIfIndex interface = AVAHI_IF_UNSPEC;
        if (!service.interfaceName.empty()) {
            const unsigned index = ::if_nametoindex(service.interfaceName.c_str());
            if (index == 0) throw BonjourResolutionError(avahi_strerror(AVAHI_ERR_INVALID_INTERFACE));
            interface = static_cast<AvahiIfIndex>(index);
        }
        const char* domain = service.domain.empty() ? nullptr : service.domain.c_str();
        for (std::size_t slot = 0; slot < 2; ++slot) {
            resolution->resolvers[slot] = avahi_service_resolver_new(
                browse_->client, interface, AVAHI_PROTO_UNSPEC, service.name.c_str(), service.type.c_str(), domain,
                slot == 0 ? AVAHI_PROTO_INET : AVAHI_PROTO_INET6, static_cast<AvahiLookupFlags>(0),
                &Resolution::onResolved, resolution.get());
            if (resolution->resolvers[slot] == nullptr) {
                resolution->done[slot] = true;
                resolution->failureText = errorText(browse_->client);
            }
        }
        if (resolution->resolvers[0] == nullptr && resolution->resolvers[1] == nullptr) {
            throw BonjourResolutionError(resolution->failureText);
        }
        browse_->resolutions.insert(resolution);
    }
    std::optional<std::chrono::steady_clock::time_point> graceEnds;
    while (!resolution->done[0] || !resolution->done[1]) {
        LoopSignal::Duration bound = LoopSignal::Duration::max();
        if (resolution->addresses[0] || resolution->addresses[1]) {
            if (!graceEnds) graceEnds = std::chrono::steady_clock::now() + secondFamilyGrace_;
            bound = std::max(LoopSignal::Duration::zero(), *graceEnds - std::chrono::steady_clock::now());
        }
        const bool woken = co_await resolution->answered.wait(bound);
        if (resolution->abandoned) throw BonjourResolutionError(kAvahiUnavailableText);
        const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
        const bool pending = !resolution->done[0] || !resolution->done[1];
        if (isCancelled(caller) && pending) {
            abandon(*resolution);
            throw CancellationError();
        }
        if (!woken && pending) {
            abandon(*resolution); // what answered stands
            break;
        }
    }
    std::vector<HostPort> addresses;
    for (const auto& address : resolution->addresses) {
        if (address) addresses.push_back(*address);
    }
    if (addresses.empty()) throw BonjourResolutionError(resolution->failureText);
    co_return addresses;
}

std::unique_ptr<BonjourBrowsing> BonjourBrowsing::create(const asio::any_io_executor& executor) {
    return std::make_unique<AvahiBonjourBrowsing>(executor);
}

} // namespace velorinth
