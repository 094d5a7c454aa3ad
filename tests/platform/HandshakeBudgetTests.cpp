// The admission rule alone: places, proofs, sources and ages on a virtual
// clock, no sockets. Named with the admission tests they stand beside.

#include "platform/HandshakeBudget.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using Proof = HandshakeProof;
using TimePoint = HandshakeSlot::TimePoint;

// One event of a case: a connection arrives (acquiring with eviction), proves
// itself, turns to host work, or time passes. `placed` and `evicted` are what
// the event must come to.
struct Step {
    enum class Kind { arrive, prove, onHost, later } kind;
    std::string who;
    std::string source;
    Proof proof = Proof::accepted;
    std::chrono::milliseconds by{};
    bool placed = true;
    std::vector<std::string> evicted;
};

Step arrive(std::string who, std::string source, std::vector<std::string> evicted = {}) {
    return {Step::Kind::arrive, std::move(who), std::move(source), Proof::accepted, {}, true, std::move(evicted)};
}
// Arrives with its first byte already there.
Step arriveSpeaking(std::string who, std::string source, std::vector<std::string> evicted = {}) {
    return {Step::Kind::arrive, std::move(who), std::move(source), Proof::firstByte, {}, true, std::move(evicted)};
}
Step refused(std::string who, std::string source) {
    return {Step::Kind::arrive, std::move(who), std::move(source), Proof::accepted, {}, false, {}};
}
Step prove(std::string who, Proof proof, std::vector<std::string> evicted = {}, bool placed = true) {
    return {Step::Kind::prove, std::move(who), {}, proof, {}, placed, std::move(evicted)};
}
Step onHost(std::string who) { return {Step::Kind::onHost, std::move(who), {}, Proof::accepted, {}, true, {}}; }
Step later(std::chrono::milliseconds by) { return {Step::Kind::later, {}, {}, Proof::accepted, by, true, {}}; }

HandshakeBudget::Options budget(std::size_t capacity, std::size_t opening, std::chrono::milliseconds age,
                                std::size_t perSource = 0, std::chrono::milliseconds grace = {}) {
    return {.capacity = capacity,
            .openingCapacity = opening,
            .perSourceCapacity = perSource,
            .minimumAge = age,
            .silentGrace = grace};
}

struct Case {
    const char* name;
    HandshakeBudget::Options options;
    std::vector<Step> steps;
};

// Every connection placed waits for its peer at once, and says when it is evicted.
void play(const Case& c) {
    SCOPED_TRACE(c.name);
    TimePoint now = TimePoint{} + 1h;
    HandshakeBudget::Options options = c.options;
    options.clock = [&now] { return now; };
    HandshakeBudget budget(options);
    std::map<std::string, HandshakeSlot> slots;
    std::vector<std::string> evicted;
    auto waitForPeer = [&](const std::string& who) {
        slots.at(who).waitForPeer([&evicted, who] { evicted.push_back(who); });
    };
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const Step& step = c.steps[i];
        SCOPED_TRACE("step " + std::to_string(i) + " (" + step.who + ")");
        evicted.clear();
        switch (step.kind) {
        case Step::Kind::arrive: {
            std::optional<HandshakeSlot> slot = budget.acquireEvicting(asio::ip::make_address(step.source), step.proof);
            ASSERT_EQ(slot.has_value(), step.placed);
            if (slot) {
                slots.emplace(step.who, std::move(*slot));
                waitForPeer(step.who);
            }
            break;
        }
        case Step::Kind::prove:
            ASSERT_EQ(slots.at(step.who).prove(step.proof), step.placed);
            if (step.placed) {
                waitForPeer(step.who);
            } else {
                EXPECT_FALSE(slots.at(step.who).holds());
                slots.erase(step.who);
            }
            break;
        case Step::Kind::onHost: slots.at(step.who).workOnHost(); break;
        case Step::Kind::later: now += step.by; break;
        }
        EXPECT_EQ(evicted, step.evicted);
        for (const std::string& who : evicted) slots.erase(who);
        EXPECT_EQ(budget.inUse(), slots.size());
    }
}

TEST(LoopbackAdmissionRule, EvictionAmongEqualsRewardsNeitherTheFastestReopenNorTheBiggestSource) {
    const Case cases[] = {
        {"a young equal keeps its place; an old one gives way, the longest wait first",
         budget(32, 2, 250ms),
         {arrive("a", "10.0.0.1"), later(10ms), arrive("b", "10.0.0.2"), later(10ms), refused("c", "10.0.0.3"),
          later(220ms), refused("c", "10.0.0.3"), later(10ms), arrive("d", "10.0.0.4", {"a"}),
          refused("e", "10.0.0.5"), later(10ms), arrive("e", "10.0.0.5", {"b"}), refused("f", "10.0.0.6")}},
        {"a source that would still hold as many places as the newcomer's gives way at once",
         budget(32, 3, 1000ms),
         {arrive("x1", "10.0.0.1"), later(1ms), arrive("x2", "10.0.0.1"), arrive("y", "10.0.0.2"),
          arrive("z", "10.0.0.3", {"x1"}), refused("w", "10.0.0.1"), refused("v", "10.0.0.4")}},
        {"the source holding the most places goes first, then the longest wait",
         budget(32, 4, 0ms),
         {arrive("a", "10.0.0.1"), later(1ms), arrive("b", "10.0.0.2"), later(1ms), arrive("c", "10.0.0.2"),
          later(1ms), arrive("d", "10.0.0.3"), arrive("e", "10.0.0.4", {"b"}), arrive("f", "10.0.0.4", {"a"})}},
        {"one pool: the least proven goes first, and only for one that has shown as little; a paired device and "
         "host work never",
         budget(3, 0, 0ms),
         {arrive("s", "10.0.0.1"), prove("s", Proof::unknownCertificate), arrive("p", "10.0.0.2"),
          prove("p", Proof::pairedCertificate), later(1ms), arrive("a", "10.0.0.3"), later(1ms),
          arrive("n", "10.0.0.4", {"a"}), arrive("n2", "10.0.0.5", {"n"}), onHost("n2"),
          refused("n3", "10.0.0.6"), later(1h), refused("n5", "10.0.0.8")}},
        {"apart places before TLS: a paired device's takes a stranger's handshake place at once",
         budget(1, 2, 1000ms),
         {arrive("a", "10.0.0.1"), prove("a", Proof::unknownCertificate), arrive("b", "10.0.0.2"),
          prove("b", Proof::pairedCertificate, {"a"}), arrive("c", "10.0.0.3"),
          prove("c", Proof::unknownCertificate, {}, false), arrive("d", "10.0.0.4"), arrive("e", "10.0.0.5"),
          refused("f", "10.0.0.6")}},
        {"apart places before TLS: a stranger takes a stranger's handshake place only with age",
         budget(1, 2, 1000ms),
         {arrive("a", "10.0.0.1"), prove("a", Proof::unknownCertificate), arrive("b", "10.0.0.2"),
          prove("b", Proof::unknownCertificate, {}, false), later(1000ms), arrive("c", "10.0.0.3"),
          prove("c", Proof::unknownCertificate, {"a"})}},
        {"a source is an IPv4 address or an IPv6 /64, in both kinds of place",
         budget(4, 4, 0ms, 2),
         {arrive("a", "2001:db8::1"), arrive("b", "2001:db8::2:3"), refused("c", "2001:db8::ffff:1"),
          arrive("d", "2001:db8:0:1::1"), prove("a", Proof::unknownCertificate), refused("e", "2001:db8::5"),
          arrive("f", "10.0.0.1"), arrive("g", "::ffff:10.0.0.1"), refused("h", "10.0.0.1")}},
    };
    for (const Case& c : cases) play(c);
}

// What a connection has sent ranks it: nothing yet, its first byte, its
// certificate. One that has sent nothing keeps its place for a grace only,
// against any newcomer; one that has sent its first byte never yields to a
// newcomer that has not.
TEST(LoopbackAdmissionRule, WhatAConnectionHasSentRanksIt) {
    const Case cases[] = {
        {"silent entries past the grace yield to a newcomer from another source, one place each",
         budget(32, 3, 250ms, 4, 100ms),
         {arrive("a", "10.0.0.1"), later(10ms), arrive("b", "10.0.0.2"), later(10ms), arrive("c", "10.0.0.3"),
          later(60ms), refused("d", "10.0.0.4"), later(20ms), arrive("d", "10.0.0.4", {"a"}),
          refused("e", "10.0.0.5"), later(10ms), arrive("e", "10.0.0.5", {"b"}), refused("f", "10.0.0.6"),
          later(10ms), arrive("f", "10.0.0.6", {"c"}),
          // The newcomers, silent past the grace in turn, yield the same way.
          later(95ms), arrive("g", "10.0.0.7", {"d"}), arrive("h", "10.0.0.8", {"e"}),
          refused("i", "10.0.0.9")}},
        {"a connection that has sent its first byte is never evicted by a silent newcomer",
         budget(32, 2, 250ms, 4, 100ms),
         {arrive("a", "10.0.0.1"), prove("a", Proof::firstByte), arrive("b", "10.0.0.2"), later(50ms),
          prove("b", Proof::firstByte), later(1h), refused("c", "10.0.0.3"), refused("d", "10.0.0.4"),
          later(1h), refused("e", "10.0.0.5")}},
        {"one that arrives with its first byte takes a silent one's place at once, never a speaker's young",
         budget(32, 2, 250ms, 4, 100ms),
         {arrive("a", "10.0.0.1"), later(10ms), arrive("b", "10.0.0.2"), arriveSpeaking("s", "10.0.0.3", {"a"}),
          refused("n", "10.0.0.4"), later(100ms), arrive("n", "10.0.0.4", {"b"}),
          arriveSpeaking("t", "10.0.0.5", {"n"}), refused("u", "10.0.0.6"), later(1h),
          arriveSpeaking("u", "10.0.0.6", {"s"})}},
        {"one pool: a first byte outranks silence, and a certificate a first byte",
         budget(3, 0, 0ms, 0, 100ms),
         {arrive("s", "10.0.0.1"), prove("s", Proof::unknownCertificate), arrive("f", "10.0.0.2"),
          prove("f", Proof::firstByte), arrive("a", "10.0.0.3"), later(1h), arrive("n", "10.0.0.4", {"a"}),
          prove("n", Proof::firstByte), refused("m", "10.0.0.5"), arriveSpeaking("m", "10.0.0.5", {"f"})}},
    };
    for (const Case& c : cases) play(c);
}

// Without eviction a full budget refuses, and a released place is free again.
TEST(LoopbackAdmissionRule, WithoutEvictionAFullBudgetRefuses) {
    HandshakeBudget budget(2);
    auto a = budget.tryAcquire();
    auto b = budget.tryAcquire();
    ASSERT_TRUE(a && b);
    a->waitForPeer([] {});
    EXPECT_FALSE(budget.tryAcquire());
    EXPECT_TRUE(b->prove(Proof::unknownCertificate)); // one pool: nothing moves
    a.reset();
    EXPECT_TRUE(budget.tryAcquire());
}

} // namespace
} // namespace velorinth
