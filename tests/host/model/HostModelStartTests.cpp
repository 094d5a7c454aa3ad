// Start-up, reload and the server's reports into the model, over fakes.

#include "host/input/InputInjectorError.hpp"
#include "support/HostModelRig.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

std::vector<std::string> without(std::vector<std::string> calls, const std::string& call) {
    std::erase(calls, call);
    return calls;
}

} // namespace

TEST(HostModelStart, TheFirstStartInstallsThenReportsThenLoadsThenListens) {
    HostModelRig h;
    HostModel& model = h.started();
    EXPECT_EQ(without(h.server->calls, "hasStreamingViewer"),
              (std::vector<std::string>{"setCallbacks", "updateHostState", "startListening 51891",
                                        "updateWakeConfiguration"}));
    // The host state went out with the snapshot taken before any port was known.
    ASSERT_TRUE(model.wakeSnapshot.get());
    EXPECT_EQ(h.server->hostDisplay, (DisplayDescriptor{7, 1920, 1080, 1.0}));
    EXPECT_EQ(h.server->hostAccessibility, true);
    ASSERT_TRUE(model.hostIdentity.get());
    EXPECT_EQ(model.hostIdentity.get()->displayName, "Studio Mac");
    EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::advertising(51891));
    // Then the advertised port reaches the wake configuration, and the beacon starts.
    EXPECT_EQ(h.server->wakeConfiguration->bonjourServicePort, std::optional<std::uint16_t>(51891));
    EXPECT_EQ(h.beacon->calls, (std::vector<std::string>{"update", "update", "start Studio Mac 51891"}));
    EXPECT_EQ(h.display->starts, 1);
    EXPECT_TRUE(model.started.get());
}

TEST(HostModelStart, ALaterStartOnlyRefreshesAndReloads) {
    HostModelRig h;
    HostModel& model = h.started();
    const std::size_t calls = h.server->calls.size();
    h.grants->accessibility = false;
    h.run(model.start());
    EXPECT_EQ(h.server->count("setCallbacks"), 1u);
    EXPECT_EQ(h.server->count("startListening"), 1u);
    EXPECT_EQ(h.server->count("stop"), 0u);
    EXPECT_EQ(h.display->starts, 1);
    // Only the lost Accessibility grant was pushed.
    EXPECT_EQ(without({h.server->calls.begin() + static_cast<std::ptrdiff_t>(calls), h.server->calls.end()},
                      "hasStreamingViewer"),
              std::vector<std::string>{"updateHostState"});
    EXPECT_FALSE(model.accessibilityGranted.get());
}

TEST(HostModelStart, WithRemoteAccessOffNoListenerStarts) {
    HostModelRig h;
    h.make().remoteAccessEnabled.set(false);
    HostModel& model = h.started();
    EXPECT_EQ(h.server->count("startListening"), 0u);
    EXPECT_TRUE(model.hostIdentity.get());
    EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::idle());
}

TEST(HostModelStart, AnIdentityOrTrustFailureEndsTheStartWithItsText) {
    struct Case {
        bool corruptIdentity;
        std::string text;
    };
    for (const Case& c : {Case{true, "Local host identity in Keychain is corrupted. Reset Identity & Trust to recover."},
                          Case{false, "Trusted device storage in Keychain is corrupted. Reset Identity & Trust to "
                                      "recover."}}) {
        HostModelRig h;
        const Bytes garbage{'n', 'o', 't', ' ', 'j', 's', 'o', 'n'};
        if (c.corruptIdentity) {
            h.identityStorage->save(garbage, DeviceIdentityService::service(), DeviceIdentityService::kAccount);
        } else {
            h.trustStorage->save(garbage, TrustedDeviceStore::service(), TrustedDeviceStore::kAccount);
        }
        HostModel& model = h.started();
        EXPECT_EQ(model.networkError.get(), c.text);
        EXPECT_EQ(h.server->count("startListening"), 0u);
        EXPECT_EQ(model.hostIdentity.get().has_value(), !c.corruptIdentity);
    }
}

TEST(HostModelStart, ARenameRestartsTheListenerAndNoRenameRestartsNothing) {
    HostModelRig h;
    HostModel& model = h.started();
    h.run(model.start());
    EXPECT_EQ(h.server->count("stop"), 0u);

    h.computerName->pretty = "Office Mac";
    h.run(model.start());
    EXPECT_EQ(model.hostIdentity.get()->displayName, "Office Mac");
    EXPECT_EQ(h.server->count("stop"), 1u);
    EXPECT_EQ(h.server->count("startListening"), 2u);
    EXPECT_EQ(h.beacon->calls.back(), "start Office Mac 51891");
}

TEST(HostModelHandlers, RemoteInputFailsOnlyForAccessibility) {
    struct Case {
        std::optional<InputInjectorError::Case> failure;
        bool result;
        bool granted;
    };
    for (const Case& c : {Case{std::nullopt, true, true},
                          Case{InputInjectorError::Case::invalidCoordinate, true, true},
                          Case{InputInjectorError::Case::accessibilityPermissionRequired, false, false}}) {
        HostModelRig h;
        HostModel& model = h.started();
        h.injector->failure = c.failure;
        const InputEvent move = InputEvent::pointerMove(0.25, 0.75);
        EXPECT_EQ(h.server->callbacks.onRemoteInput(Uuid::random(), Uuid::random(), move), c.result);
        h.drain();
        EXPECT_EQ(model.accessibilityGranted.get(), c.granted);
        if (c.granted) {
            EXPECT_EQ(model.networkError.get(), std::nullopt);
        } else {
            EXPECT_EQ(model.networkError.get(), std::string(HostModel::kAccessibilityBlockedText));
        }
    }
    HostModelRig h;
    h.started();
    h.server->callbacks.onRemoteInput(Uuid(), Uuid(), InputEvent::pointerMove(0.5, 0.5));
    ASSERT_EQ(h.injector->injected.size(), 1u);
    EXPECT_EQ(h.injector->injected[0].second, h.display->bounds); // the cached bounds
}

TEST(HostModelHandlers, EndsOfConnectionsLeaveTheErrorLineAndAFloodHopsOnce) {
    HostModelRig h;
    HostModel& model = h.started();
    for (const std::exception_ptr& ignored :
         {std::make_exception_ptr(NetworkConnectionError(NetworkConnectionError::Case::closed)),
          std::make_exception_ptr(NetworkConnectionError(NetworkConnectionError::Case::cancelled)),
          std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::cancelled))}) {
        h.server->callbacks.onError(ignored);
        h.drain();
        EXPECT_EQ(model.networkError.get(), std::nullopt);
    }
    h.changes.clear();
    for (int i = 0; i < 1000; ++i) {
        h.server->callbacks.onError(std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::timedOut)));
    }
    h.server->callbacks.onError(
        std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::invalidSignature)));
    h.drain();
    EXPECT_EQ(model.networkError.get(), "A connecting device failed cryptographic signature verification.");
    EXPECT_EQ(std::count(h.changes.begin(), h.changes.end(), HostModelField::networkError), 1);
}

TEST(HostModelHandlers, HeldInputIsReleasedOnCleanupAndOnEveryRefreshWithoutAccessibility) {
    HostModelRig h;
    HostModel& model = h.started();
    h.server->callbacks.onSessionClosedForInputCleanup(Uuid::random(), Uuid::random());
    EXPECT_EQ(h.injector->releases, 1);

    const std::size_t pushes = h.server->count("updateHostState");
    h.grants->accessibility = false;
    model.refreshPermissions();
    model.refreshPermissions();
    h.drain();
    EXPECT_EQ(h.injector->releases, 3);
    EXPECT_EQ(h.server->count("updateHostState"), pushes + 1); // only where the grant changed
}

TEST(HostModelHandlers, APresentPromptBringsTheWindowsForward) {
    HostModelRig h;
    HostModel& model = h.started();
    IncomingPairingPrompt prompt;
    prompt.id = Uuid::random();
    prompt.verificationCode = "123456";
    h.server->callbacks.onPromptChanged(prompt);
    h.drain();
    EXPECT_EQ(model.pendingPairing.get(), prompt);
    EXPECT_EQ(h.activator->activations, 1);
    h.server->callbacks.onPromptChanged(std::nullopt);
    h.drain();
    EXPECT_EQ(model.pendingPairing.get(), std::nullopt);
    EXPECT_EQ(h.activator->activations, 1);
}

TEST(HostModelHandlers, AVerifiedWakeIsRecordedAndSentOn) {
    HostModelRig h;
    h.started();
    const Date woke(799'999'000);
    h.server->callbacks.onVerifiedWakeConfirmed(Uuid::random(), woke);
    h.drain();
    ASSERT_TRUE(h.server->wakeConfiguration);
    EXPECT_EQ(h.server->wakeConfiguration->lastVerifiedWakeAt, woke);
}

// The handlers of a capture stream's end, a viewer's stopped stream and a
// revoked Screen Recording grant start one loop turn after they are asked
// for. A model dropped in between is left alone: the task neither runs on it
// nor fails.
TEST(HostModelHandlers, AModelDroppedBeforeAHandlerRunsIsLeftAlone) {
    using Trigger = std::function<void(HostModelRig&)>;
    const std::vector<std::pair<const char*, Trigger>> triggers{
        {"capture stopped",
         [](HostModelRig& h) {
             h.capture->stoppedHandler()(std::make_exception_ptr(std::runtime_error("the display went away")));
             h.io.restart();
             h.io.run_one(); // the hop to the UI thread, which spawns the task
         }},
        {"stream stopped",
         [](HostModelRig& h) {
             h.server->callbacks.onVideoStreamStopped(Uuid::random(), Uuid::random());
             h.io.restart();
             h.io.run_one();
         }},
        {"recording revoked",
         [](HostModelRig& h) {
             h.model->captureState.set(HostModel::CaptureState::capturing());
             h.grants->screenRecording = false;
             h.model->refreshPermissions();
         }},
    };
    for (const auto& [name, trigger] : triggers) {
        HostModelRig h;
        h.started();
        const std::size_t stopsBefore = h.server->streamsStopped.size();
        const std::weak_ptr<HostModel> weak = h.model;
        trigger(h);
        ::testing::internal::CaptureStderr();
        h.model.reset();
        EXPECT_TRUE(weak.expired()) << name; // nothing held it: the task had not started
        h.drain();
        const std::string failures = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(failures, "") << name;
        EXPECT_EQ(h.server->streamsStopped.size(), stopsBefore) << name;
    }
}
