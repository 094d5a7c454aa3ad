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
// nothing else. UI thread.
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

private:
    void changed(HostModelField field);

    std::shared_ptr<HostModel> model_;
    Options options_;
    HostModel::ObservationToken token_;
    std::optional<Uuid> printedPrompt_;
    std::optional<std::string> lastError_;
    bool inputOpen_ = true;
};

} // namespace velorinth
