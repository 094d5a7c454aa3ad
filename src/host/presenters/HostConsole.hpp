#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

// What the host says on its standard output, and, for a host without a
// screen to show the pairing sheet on, the sheet's prompt answered from the
// terminal: "y" approves and "n" rejects the prompt that was printed, and
// nothing else; each answer is told back in one line. Control characters a
// peer put in its name never reach the terminal. UI thread.
class HostConsole {
public:
    struct Options {
        // One line of output.
        std::function<void(const std::string&)> print;
        // The LAN addresses named in the listening line.
        std::function<std::vector<std::string>()> lanAddresses;
        // Answers the prompt of an identifier as the sheet does; none: the
        // prompts are neither printed nor answered.
        std::function<void(bool approve, Uuid pairingID)> answerPrompt;
        DisplayFormats formats = DisplayFormats::cLocaleUtc();
    };

    HostConsole(std::shared_ptr<HostModel> model, Options options);
    ~HostConsole();
    HostConsole(const HostConsole&) = delete;
    HostConsole& operator=(const HostConsole&) = delete;

    // One line typed on the terminal, without its line end.
    void inputLine(std::string_view line);
    // The terminal closed: nothing is read any more.
    void endOfInput() { inputOpen_ = false; }
    bool readsInput() const { return inputOpen_ && static_cast<bool>(options_.answerPrompt); }

    // The line printed when the listener advertises on `port`.
    static std::string listeningLine(std::uint16_t port, const std::vector<std::string>& lanAddresses,
                                     const std::vector<std::string>& tunnelAddresses, const std::string& fingerprint);

    // The line printed for an answer ("y": approved) to the prompt of `peerName` showing `code`.
    static std::string answerLine(bool approved, const std::string& peerName, const std::string& code);
    static constexpr std::string_view kNoLongerPendingLine = "The pairing request is no longer pending.";
    static constexpr std::string_view kNothingToAnswerLine = "There is no pairing request to answer.";

private:
    void changed(HostModelField field);
    // One line, with every control character replaced.
    void say(const std::string& line);

    std::shared_ptr<HostModel> model_;
    Options options_;
    HostModel::ObservationToken token_;
    // The prompt printed last, until the model no longer holds it; answered
    // or not, its end is told.
    std::optional<IncomingPairingPrompt> printedPrompt_;
    bool answered_ = false;
    std::optional<std::string> lastError_;
    bool inputOpen_ = true;
};

} // namespace velorinth
