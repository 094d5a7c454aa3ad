// The dashboard's reactions to the system's events, the pairing decision
// bound to the prompt shown, and the console that stands in for the sheet.

#include "host/presenters/DashboardController.hpp"
#include "host/presenters/HostConsole.hpp"
#include "support/HostModelRig.hpp"
#include "support/HostViewFixtures.hpp"

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

IncomingPairingPrompt promptFrom(const std::string& name, const std::string& code) {
    return {Uuid::random(), peerNamed(name), code, Date(800'000'000)};
}

} // namespace

TEST(DashboardController, OnlyWillSleepSkipsTheWakeSnapshot) {
    HostModelRig h;
    h.started();
    DashboardController controller(h.model, [] { return Date(900'000'000); });
    using Reaction = std::function<void()>;
    const std::vector<std::pair<const char*, Reaction>> refreshing{
        {"active", [&] { controller.applicationDidBecomeActive(); }},
        {"did wake", [&] { controller.systemDidWake(); }},
        {"screens did wake", [&] { controller.screensDidWake(); }},
        {"screens did sleep", [&] { controller.screensDidSleep(); }},
    };
    for (const auto& [name, react] : refreshing) {
        const std::size_t before = h.server->count("updateWakeConfiguration");
        react();
        h.drain();
        EXPECT_EQ(h.server->count("updateWakeConfiguration"), before + 1) << name;
        EXPECT_EQ(h.server->count("reportSystemSleep"), 0u) << name;
    }
    const std::size_t hostStates = h.server->count("updateHostState");
    controller.systemDidWake();
    h.drain();
    EXPECT_EQ(h.server->count("updateHostState"), hostStates + 1); // did wake pushes the host state

    const std::size_t snapshots = h.server->count("updateWakeConfiguration");
    bool reported = false;
    controller.systemWillSleep([&] { reported = true; });
    EXPECT_FALSE(reported); // a task, not inline
    h.drain();
    EXPECT_TRUE(reported);
    EXPECT_EQ(h.server->count("reportSystemSleep"), 1u);
    EXPECT_EQ(h.server->count("updateWakeConfiguration"), snapshots);
}

TEST(DashboardController, TheDecisionAnswersThePromptShown) {
    HostModelRig h;
    HostModel& model = h.started();
    DashboardController controller(h.model);
    const IncomingPairingPrompt first = promptFrom("Office iPad", "111111");
    const IncomingPairingPrompt second = promptFrom("Stranger iPad", "222222");

    model.handlePromptChanged(first);
    EXPECT_EQ(controller.pairingPromptChanged(), DashboardController::PairingSheetChange::open);
    EXPECT_EQ(controller.pairingPromptChanged(), DashboardController::PairingSheetChange::none);
    // A new request replaces the prompt before the click on the first sheet lands.
    model.handlePromptChanged(second);
    EXPECT_EQ(controller.pairingPromptChanged(), DashboardController::PairingSheetChange::open);
    EXPECT_EQ(controller.shownPrompt()->id, second.id);
    controller.approvePairing(first.id);
    EXPECT_EQ(model.pendingPairing.get(), second); // the newer prompt keeps its sheet
    h.drain();
    ASSERT_EQ(h.server->resolutions.size(), 1u);
    EXPECT_EQ(h.server->resolutions[0], std::make_pair(true, first.id)); // never the second tablet

    controller.rejectPairing(second.id);
    EXPECT_FALSE(model.pendingPairing.get()); // cleared before the server answers
    EXPECT_EQ(controller.pairingPromptChanged(), DashboardController::PairingSheetChange::close);
    h.drain();
    EXPECT_EQ(h.server->resolutions.back(), std::make_pair(false, second.id));

    controller.requestIdentityReset();
    const DevicePublicIdentity identity = *model.hostIdentity.get();
    controller.answerIdentityReset(false);
    h.drain();
    EXPECT_FALSE(controller.confirmsIdentityReset());
    EXPECT_EQ(*model.hostIdentity.get(), identity);
    EXPECT_EQ(h.server->count("stop"), 0u);
}

TEST(HostConsole, PrintsTheListenerAndAnswersOnlyThePrintedPrompt) {
    HostModelRig h;
    HostModel& model = h.started();
    std::vector<std::string> printed;
    std::vector<std::pair<bool, Uuid>> answers;
    HostConsole::Options options;
    options.print = [&](const std::string& line) { printed.push_back(line); };
    options.lanAddresses = [] { return std::vector<std::string>{"192.168.1.5"}; };
    options.answerPrompt = [&](bool approve, Uuid id) { answers.emplace_back(approve, id); };
    HostConsole console(h.model, options);

    model.listenerStatus.set(ListenerStatus::advertising(50123));
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_NE(printed[0].find("port 50123"), std::string::npos);
    EXPECT_NE(printed[0].find("192.168.1.5"), std::string::npos);
    EXPECT_NE(printed[0].find(model.hostIdentity.get()->fingerprint.groupedHexString()), std::string::npos);
    model.networkError.set("Something failed.");
    model.networkError.set("Something failed.");
    EXPECT_EQ(printed.back(), "Something failed.");

    console.inputLine("y"); // nothing printed yet: nothing answered
    const IncomingPairingPrompt first = promptFrom("Office iPad", "654321");
    model.handlePromptChanged(first);
    const auto code = std::find(printed.begin(), printed.end(), "Verification code: 654321");
    EXPECT_NE(code, printed.end());
    EXPECT_EQ(printed.back(), "Type y to approve or n to reject, then Return.");
    for (const char* ignored : {"yes", "", "Y", "approve"}) console.inputLine(ignored);
    EXPECT_TRUE(answers.empty());
    const IncomingPairingPrompt second = promptFrom("Other iPad", "000111");
    model.handlePromptChanged(second); // replaced: the first is no longer answered
    console.inputLine(" n \r");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], std::make_pair(false, second.id));
    console.inputLine("y"); // answered already
    EXPECT_EQ(answers.size(), 1u);

    const IncomingPairingPrompt third = promptFrom("Third iPad", "999999");
    model.handlePromptChanged(third);
    console.endOfInput();
    console.inputLine("y");
    EXPECT_EQ(answers.size(), 1u);
    EXPECT_FALSE(console.readsInput());
}

// Answered through the dashboard's controller, as the application wires it:
// the answer clears the model's prompt at once.
TEST(HostConsole, TellsEachAnswerAndEachEndOfThePrintedPrompt) {
    HostModelRig h;
    HostModel& model = h.started();
    DashboardController controller(h.model);
    std::vector<std::string> printed;
    std::vector<std::pair<bool, Uuid>> answers;
    HostConsole::Options options;
    options.print = [&](const std::string& line) { printed.push_back(line); };
    options.answerPrompt = [&](bool approve, Uuid id) {
        answers.emplace_back(approve, id);
        if (approve) {
            controller.approvePairing(id);
        } else {
            controller.rejectPairing(id);
        }
    };
    HostConsole console(h.model, options);
    auto linesAfter = [&](std::size_t from) { return std::vector<std::string>(printed.begin() + from, printed.end()); };

    const IncomingPairingPrompt office = promptFrom("Office iPad", "654321");
    model.handlePromptChanged(office);
    std::size_t from = printed.size();
    console.inputLine("y");
    h.drain();
    EXPECT_EQ(linesAfter(from),
              (std::vector<std::string>{
                  "Approved the pairing request from \u201COffice iPad\u201D (verification code 654321).",
                  "The pairing request is no longer pending."}));
    EXPECT_EQ(h.server->resolutions, (std::vector<std::pair<bool, Uuid>>{{true, office.id}}));
    from = printed.size();
    console.inputLine("n"); // answered: nothing is pending
    EXPECT_EQ(linesAfter(from), std::vector<std::string>{"There is no pairing request to answer."});
    EXPECT_EQ(answers.size(), 1u);

    const IncomingPairingPrompt kitchen = promptFrom("Kitchen iPad", "000111");
    model.handlePromptChanged(kitchen);
    from = printed.size();
    console.inputLine("n");
    h.drain();
    EXPECT_EQ(linesAfter(from),
              (std::vector<std::string>{
                  "Rejected the pairing request from \u201CKitchen iPad\u201D (verification code 000111).",
                  "The pairing request is no longer pending."}));
    EXPECT_EQ(h.server->resolutions.back(), std::make_pair(false, kitchen.id));

    // Unanswered, the prompt ends when the server drops it.
    model.handlePromptChanged(promptFrom("Hall iPad", "222333"));
    from = printed.size();
    model.handlePromptChanged(std::nullopt);
    EXPECT_EQ(linesAfter(from), std::vector<std::string>{"The pairing request is no longer pending."});

    // A peer's name cannot steer the terminal: no control character is printed.
    // Cursor up, erase the line, a carriage return, a window title, and CSI as a C1 code.
    const std::string name = std::string("\x1b[3A\x1b[2KOffice\r\x1b]0;x\x07\xC2\x9B") + "1A";
    const IncomingPairingPrompt forged = promptFrom(name, "444555");
    model.handlePromptChanged(forged);
    console.inputLine("y");
    for (const std::string& line : printed) {
        EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        })) << line;
        EXPECT_EQ(line.find("\xC2\x9B"), std::string::npos) << line;
    }
    EXPECT_NE(std::find(printed.begin(), printed.end(),
                        "Approved the pairing request from \u201C\uFFFD[3A\uFFFD[2KOffice\uFFFD\uFFFD]0;x\uFFFD\uFFFD"
                        "1A\u201D (verification code 444555)."),
              printed.end());
}
