#pragma once

#include "core/UsageError.hpp"

#include <charconv>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace velorinth {

// One option of a program: "--name VALUE" or "--name=VALUE", or a flag
// "--name" when it takes no value. The same entry parses it and lists it in
// --help, so an option cannot be accepted without being shown.
struct CommandLineOption {
    std::string name;        // with its dashes: "--frames"
    std::string valueName;   // the value as --help shows it ("N"); empty for a flag
    std::string description; // one line of --help
    // Takes the value (empty for a flag); throws UsageError for a bad one.
    std::function<void(const std::string& value)> apply;
};

// The programs' one argument reader: options and operands in order, each
// option's value inline or in the next argument, numbers within bounds, and
// the option lines of the usage.
class CommandLineReader {
public:
    using Options = std::vector<CommandLineOption>;
    // An operand in reading order; false leaves it, and all after it, unread.
    using OperandHandler = std::function<bool(const std::string& operand)>;

    explicit CommandLineReader(std::vector<std::string> arguments);

    // True when "--help" or "-h" is among the arguments, wherever it is.
    static bool asksForHelp(const std::vector<std::string>& arguments);

    bool atEnd() const noexcept { return next_ == arguments_.size(); }
    // Reads options (arguments that begin with "--") up to the end; an
    // operand goes to `operand`, or ends the reading when there is none.
    void read(const Options& options, const OperandHandler& operand = {});
    // The next argument as it is (a command, say); none at the end.
    std::optional<std::string> take();

    // `text` as a decimal Number within [least, most]; UsageError naming
    // `what` otherwise (NaN included).
    template <class Number>
    static Number number(std::string_view text, Number least, Number most, const std::string& what) {
        Number value{};
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || !(value >= least && value <= most)) {
            throw UsageError("Not a valid " + what + ": " + std::string(text));
        }
        return value;
    }

    // "--help", listed with the other options (--help and -h never reach read()).
    static CommandLineOption helpOption();

    // "[--frames N] [--remote]" for a usage line.
    static std::string synopsis(const Options& options);
    // One line per option, its name and value, then its description, aligned.
    static std::string describe(const Options& options);

    // A program's main: prints `usage` to `out` on --help or -h (0); else
    // runs `body`, which returns the exit status; a usage error prints its
    // text and `usage` to `err` (2), any other failure its text (1).
    static int runProgram(const std::vector<std::string>& arguments, const std::string& usage,
                          const std::function<int(CommandLineReader&)>& body, std::ostream& out, std::ostream& err);

private:
    void readOption(const Options& options);

    std::vector<std::string> arguments_;
    std::size_t next_ = 0;
};

} // namespace velorinth
