#pragma once

#include "core/Date.hpp"
#include "core/Uuid.hpp"
#include "host/model/HostModel.hpp"

#include <functional>
#include <memory>
#include <optional>

namespace velorinth {

// The dashboard window's behaviour without its widgets: the start-up task,
// the reactions to the system's events, the sheets' and the alert's rules,
// and the pairing decision bound to the prompt that was shown. UI thread.
class DashboardController {
public:
    // What the pairing sheet must do after the model's prompt changed.
    enum class PairingSheetChange { none, open, close };

    explicit DashboardController(std::shared_ptr<HostModel> model, WallClock clock = &Date::now);

    HostModel& model() const { return *model_; }

    // The window's content is shown: refresh the grants, then start (the
    // model tells a first start from a later one).
    void windowShown();

    // ---- the system's events ------------------------------------------------------
    void applicationDidBecomeActive();
    void screenParametersChanged();
    // Tablets learn of the sleep; `reported` runs once the server has sent it
    // (or failed to).
    void systemWillSleep(std::function<void()> reported = {});
    void systemDidWake();
    void screensDidSleep();
    void screensDidWake();
    void displayEvent(DisplayEvent event);

    // ---- the pairing sheet ----------------------------------------------------------
    // Compares the model's prompt with the one shown; the caller then shows
    // `shownPrompt()` (open) or closes the sheet.
    PairingSheetChange pairingPromptChanged();
    const std::optional<IncomingPairingPrompt>& shownPrompt() const { return shownPrompt_; }
    // The sheet's actions: each answers the prompt of `pairingID` (the one
    // shown) after clearing the model's copy, so a late click on an expired
    // sheet can never decide for a newer request.
    void approvePairing(Uuid pairingID);
    void rejectPairing(Uuid pairingID);

    // ---- the wake preflight sheet ------------------------------------------------------
    bool showsWakePreflightSheet() const { return showWakePreflightSheet_; }
    // "Test Wake Configuration…": shows the sheet and runs the test.
    void testWakeConfiguration();
    void dismissWakePreflightSheet() { showWakePreflightSheet_ = false; }

    // ---- the identity-reset alert --------------------------------------------------------
    bool confirmsIdentityReset() const { return confirmIdentityReset_; }
    void requestIdentityReset() { confirmIdentityReset_ = true; }
    // "Reset and Revoke All" (true) or "Cancel" (false).
    void answerIdentityReset(bool reset);

private:
    void refreshAfterWake();
    void clearShownPrompt(const Uuid& pairingID);

    std::shared_ptr<HostModel> model_;
    WallClock clock_;
    std::optional<IncomingPairingPrompt> shownPrompt_;
    bool showWakePreflightSheet_ = false;
    bool confirmIdentityReset_ = false;
};

} // namespace velorinth
