#include "core/CommandLineReader.hpp"

#include <algorithm>

namespace velorinth {

namespace {

std::string shown(const CommandLineOption& option) {
    return option.valueName.empty() ? option.name : option.name + " " + option.valueName;
}

} // namespace

CommandLineReader::CommandLineReader(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

bool CommandLineReader::asksForHelp(const std::vector<std::string>& arguments) {
    return std::any_of(arguments.begin(), arguments.end(),
                       [](const std::string& argument) { return argument == "--help" || argument == "-h"; });
}

void CommandLineReader::read(const Options& options, const OperandHandler& operand) {
    while (!atEnd()) {
        if (arguments_[next_].starts_with("--")) {
            readOption(options);
        } else if (operand && operand(arguments_[next_])) {
            ++next_;
        } else {
            return;
        }
    }
}

std::optional<std::string> CommandLineReader::take() {
    if (atEnd()) return std::nullopt;
    return arguments_[next_++];
}

void CommandLineReader::readOption(const Options& options) {
    const std::string& argument = arguments_[next_++];
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    const auto found = std::find_if(options.begin(), options.end(),
                                    [&](const CommandLineOption& option) { return option.name == name; });
    if (found == options.end()) throw UsageError("Unknown option " + name + ".");
    if (found->valueName.empty()) {
        if (equals != std::string::npos) throw UsageError(name + " takes no value.");
        found->apply({});
        return;
    }
    std::string value;
    if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
    } else if (!atEnd()) {
        value = arguments_[next_++];
    }
    // An empty value would quietly mean "here" or "none" to whatever takes it.
    if (value.empty()) throw UsageError(name + " needs a value.");
    found->apply(value);
}

CommandLineOption CommandLineReader::helpOption() {
    return {"--help", "", "print this help and exit (also -h)", [](const std::string&) {}};
}

std::string CommandLineReader::synopsis(const Options& options) {
    std::string text;
    for (const CommandLineOption& option : options) text += (text.empty() ? "[" : " [") + shown(option) + "]";
    return text;
}

std::string CommandLineReader::describe(const Options& options) {
    std::size_t width = 0;
    for (const CommandLineOption& option : options) width = std::max(width, shown(option).size());
    std::string text;
    for (const CommandLineOption& option : options) {
        const std::string left = shown(option);
        text += "  " + left + std::string(width - left.size() + 2, ' ') + option.description + "\n";
    }
    return text;
}

int CommandLineReader::runProgram(const std::vector<std::string>& arguments, const std::string& usage,
                                  const std::function<int(CommandLineReader&)>& body, std::ostream& out,
                                  std::ostream& err) {
    if (asksForHelp(arguments)) {
        out << usage << std::flush;
        return 0;
    }
    try {
        CommandLineReader reader(arguments);
        return body(reader);
    } catch (const UsageError& error) {
        err << error.what() << "\n" << usage << std::flush;
        return 2;
    } catch (const std::exception& error) {
        err << error.what() << std::endl;
        return 1;
    }
}

} // namespace velorinth
