#include "host/presenters/ControlBarPresenter.hpp"

#include "host/presenters/ModelTasks.hpp"

namespace velorinth {

ControlBarPresentation ControlBarPresenter::present(const HostModel& model) {
    return {!model.activeSessionList.get().empty(), model.remoteAccessEnabled.get()};
}

void ControlBarPresenter::disconnectAll(HostModel& model) {
    // Nothing is sent with no session (the button is disabled then, too).
    if (model.activeSessionList.get().empty()) return;
    startModelTask(model, model.disconnectAllSessions());
}

void ControlBarPresenter::setRemoteAccess(HostModel& model, bool enabled) { model.setRemoteAccessEnabled(enabled); }

} // namespace velorinth
