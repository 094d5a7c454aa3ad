#pragma once

#include "platform/HandshakeBudget.hpp"

namespace velorinth {

// How a session listener admits connections until their handshake is over:
// the places (HandshakeBudget's options: how many, before and after TLS, for
// one source, and how long one keeps its place against an equal newcomer),
// how many new connections one source may open, and whether a full budget
// evicts. One description for every listener that faces strangers, the
// host's and the wake relay's, each with values of its own; as built, a
// bounded count alone, which is what a listener without an owner's rules
// gets.
struct ListenerAdmission {
    HandshakeBudget::Options places;
    // New connections a second from one source (an IPv4 address or an IPv6
    // /64), after a burst; more are closed before TLS. 0: no such limit.
    double connectionRate = 0;
    double connectionBurst = 0;
    // A full budget evicts a handshake by its rule instead of refusing the newcomer.
    bool evictsWaitingHandshakes = false;
};

} // namespace velorinth
