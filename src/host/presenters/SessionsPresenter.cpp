#include "host/presenters/SessionsPresenter.hpp"

#include "host/presenters/ModelTasks.hpp"
#include "host/presenters/Symbols.hpp"

namespace velorinth {

SessionsPresentation SessionsPresenter::present(const HostModel& model, const DisplayFormats& formats) {
    SessionsPresentation presentation;
    presentation.emptySymbol = {std::string(symbols::lockShield), Tint::secondary};
    presentation.emptyText = "No active remote sessions. All connections require mutual TLS 1.3 and cryptographic "
                             "identity verification.";
    const std::vector<ActiveSessionDescriptor>& sessions = model.activeSessionList.get();
    for (const ActiveSessionDescriptor& session : sessions) {
        SessionRowPresentation row;
        row.session = session;
        row.symbol = {std::string(symbols::ipadLandscape), Tint::green};
        row.title = session.peerIdentity.displayName;
        row.badges.push_back({"TLS 1.3 + AEAD Verified", Tint::green, {}, 0.15});
        if (session.isVideoStreaming) row.badges.push_back({"Streaming H.264", Tint::purple, {}, 0.15});
        if (session.grantedPermissions.allowsRemoteControl()) {
            row.badges.push_back({"Remote Control Allowed", Tint::blue, {}, 0.15});
        } else {
            row.badges.push_back({"View Only", Tint::secondary, {}, 0.15});
        }
        row.fingerprint = session.peerIdentity.fingerprint.groupedHexString();
        row.details = "Connected " + formats.timeOfDay(session.connectedAt) + " \u00B7 Protocol v" +
                      decimalText(static_cast<std::uint64_t>(session.negotiatedProtocolVersion)) +
                      " \u00B7 Video frames " + decimalText(session.sentVideoFrames) + " (drops " +
                      decimalText(session.droppedVideoFrames) + ") \u00B7 Input events " +
                      decimalText(session.receivedInputEvents);
        row.hasDivider = session.id != sessions.back().id;
        presentation.rows.push_back(std::move(row));
    }
    return presentation;
}

void SessionsPresenter::disconnect(HostModel& model, const ActiveSessionDescriptor& session) {
    startModelTask(model, model.disconnectSession(session));
}

} // namespace velorinth
