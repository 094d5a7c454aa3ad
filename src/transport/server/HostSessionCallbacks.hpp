#pragma once

#include "core/ControlProtocol.hpp"
#include "core/Date.hpp"
#include "core/InputEvent.hpp"
#include "core/TrustedDevice.hpp"
#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"
#include "transport/discovery/ListenerStatus.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include <asio/awaitable.hpp>

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <vector>

namespace velorinth {

// What the session server reports to the host application. Each callback may
// be empty. Where a callback takes two identifiers, the first is the tablet's
// device identifier and the second the session's.
//
// Every callback runs on the event loop, inside the server's own work: it may
// call the server's non-suspending methods and spawn its coroutines, but must
// not destroy the server (drop the last pointer from a later task instead),
// and must not block the loop.
struct HostSessionCallbacks {
    std::function<void(const ListenerStatus&)> onListenerStatus;
    // Whether the newest listener's Bonjour service is published, once per
    // change: false while it cannot be (the error also reaches onError), true
    // once it is. Nothing after a stop.
    std::function<void(bool published)> onPublicationChanged;
    // At most once per loop turn, with the list as it stands then, oldest
    // session first.
    std::function<void(const std::vector<ActiveSessionDescriptor>&)> onSessionsChanged;
    std::function<void(const std::vector<TrustedDevice>&)> onTrustedDevicesChanged;
    std::function<void(const std::optional<IncomingPairingPrompt>&)> onPromptChanged;
    // A connection that failed before or during its handshake or session,
    // and trouble publishing the listener. Once per failed connection: a flood
    // of bad connections makes a flood of calls, thousands a second. The
    // server's own work per call is constant (it hands over the one error it
    // caught, copies no state and publishes nothing), so the callback must be
    // too: the host application rate-limits what it shows (keep at most one
    // pending hop to the UI thread and show the latest error), never queues
    // one update per call.
    std::function<void(std::exception_ptr)> onError;
    // Replaces the on-screen prompt when set: true approves. It is raced
    // against the approval timeout and cancelled when it loses.
    std::function<asio::awaitable<bool>(IncomingPairingPrompt)> customApprovalHandler;
    // Runs inline in the session's receive loop and must not suspend or
    // block: every later message of that tablet waits for it. False means the
    // event could not be injected for lack of the Accessibility permission.
    std::function<bool(const Uuid&, const Uuid&, const InputEvent&)> onRemoteInput;
    std::function<void(const Uuid&, const Uuid&)> onSessionClosedForInputCleanup;
    // Completes when the stream runs; fails with VideoStreamStopError. The
    // tablet's later messages wait for it.
    std::function<asio::awaitable<void>(Uuid, Uuid, VideoStreamConfiguration, std::uint64_t)>
        onVideoStreamRequested;
    std::function<void(const Uuid&, const Uuid&, std::uint64_t)> onVideoKeyframeRequested;
    std::function<void(const Uuid&, const Uuid&)> onVideoStreamStopped;
    std::function<void(const Uuid&, Date)> onVerifiedWakeConfirmed;
};

} // namespace velorinth
