#pragma once

#include <asio/any_io_executor.hpp>

#include <avahi-client/client.h>

#include <functional>
#include <memory>

struct AvahiThreadedPoll;

namespace velorinth {

// An Avahi client on Avahi's own thread (a threaded poll). The client waits
// for a daemon that is not running yet (AVAHI_CLIENT_NO_FAIL), and when the
// daemon goes away it is replaced by a new client that waits for it again.
//
// `onState` runs on Avahi's thread with the poll lock held (the first state
// may come on the thread that calls start()). A client of null means none
// could be made (no system bus). When the daemon is lost, `onState` sees the
// failure first and must forget what it made with that client: the client,
// and its browsers, resolvers and entry groups with it, is freed right after.
//
// Owned on the event loop; the loop calls into the client only inside a Lock.
class AvahiClientConnection {
public:
    using StateHandler = std::function<void(AvahiClient* client, AvahiClientState state)>;

    AvahiClientConnection(asio::any_io_executor executor, StateHandler onState);
    // Stops Avahi's thread, then frees the client. Not from Avahi's thread.
    ~AvahiClientConnection();

    AvahiClientConnection(const AvahiClientConnection&) = delete;
    AvahiClientConnection& operator=(const AvahiClientConnection&) = delete;

    // Makes the client and starts Avahi's thread; false when either failed.
    bool start();

    // Holds the poll lock, so Avahi's thread is outside every callback.
    class Lock {
    public:
        explicit Lock(AvahiClientConnection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        AvahiThreadedPoll* poll_;
    };

    // The current client (none while replacing it): inside a Lock or on
    // Avahi's thread.
    AvahiClient* client() const noexcept { return client_; }

    // Posts `work` to the executor; it does not run once this object is gone.
    // From any thread.
    void post(std::function<void()> work) const;

private:
    void connect();
    static void onClientState(AvahiClient* client, AvahiClientState state, void* userdata);

    asio::any_io_executor executor_;
    StateHandler onState_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true); // read and cleared on the executor only
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
};

} // namespace velorinth
