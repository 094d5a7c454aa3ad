// The programs' argument reader: both spellings of a value, flags, operands
// in order, refusals that name the argument, numbers past their bounds, and
// a main's exit statuses.

#include "core/CommandLineReader.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace velorinth;

namespace {

struct Read {
    std::vector<std::pair<std::string, std::string>> options; // name, value
    std::vector<std::string> operands;
};

CommandLineReader::Options recording(Read& read) {
    auto record = [&read](std::string name) {
        return [&read, name](const std::string& value) { read.options.emplace_back(name, value); };
    };
    return {{"--dir", "DIR", "a folder", record("--dir")},
            {"--flag", "", "a flag", record("--flag")},
            {"--count", "N", "a number",
             [&read](const std::string& value) {
                 read.options.emplace_back("--count",
                                           std::to_string(CommandLineReader::number<int>(value, 1, 9, "count")));
             }}};
}

Read readAll(std::vector<std::string> arguments) {
    Read read;
    CommandLineReader reader(std::move(arguments));
    reader.read(recording(read), [&](const std::string& operand) {
        read.operands.push_back(operand);
        return true;
    });
    return read;
}

std::string refusal(std::vector<std::string> arguments) {
    try {
        readAll(std::move(arguments));
    } catch (const UsageError& error) {
        return error.what();
    }
    return "accepted";
}

TEST(CommandLineReader, ReadsValuesInlineOrNextFlagsAndOperandsInOrder) {
    const Read read = readAll({"--dir=/a=b", "one", "--flag", "--dir", "--flag", "two", "--count=3", "--count", "4"});
    const std::vector<std::pair<std::string, std::string>> options{
        {"--dir", "/a=b"}, {"--flag", ""}, {"--dir", "--flag"}, {"--count", "3"}, {"--count", "4"}};
    EXPECT_EQ(read.options, options); // a value after a space is taken as it is, dashes and all
    EXPECT_EQ(read.operands, (std::vector<std::string>{"one", "two"}));
}

TEST(CommandLineReader, RefusesWhatItCannotReadWithTheArgumentNamed) {
    EXPECT_EQ(refusal({"--bogus"}), "Unknown option --bogus.");
    EXPECT_EQ(refusal({"--bogus=1"}), "Unknown option --bogus.");
    EXPECT_EQ(refusal({"--flag=yes"}), "--flag takes no value.");
    EXPECT_EQ(refusal({"--dir"}), "--dir needs a value.");
    EXPECT_EQ(refusal({"--dir="}), "--dir needs a value.");
    EXPECT_EQ(refusal({"--dir", ""}), "--dir needs a value.");
    EXPECT_EQ(refusal({"--count=0"}), "Not a valid count: 0");
    EXPECT_EQ(refusal({"--count", "10"}), "Not a valid count: 10");
    EXPECT_EQ(refusal({"--count", "3x"}), "Not a valid count: 3x");
    EXPECT_EQ(refusal({"--count", "+3"}), "Not a valid count: +3");
    for (const char* text : {"nan", "inf", "1.0000001", "-0.1", "1e400"}) {
        EXPECT_THROW(CommandLineReader::number<double>(text, 0.0, 1.0, "coordinate"), UsageError) << text;
    }
}

TEST(CommandLineReader, AMainPrintsItsUsageForHelpAndTellsAUsageErrorFromAFailure) {
    Read read;
    const std::string usage = "usage: program " + CommandLineReader::synopsis(recording(read)) + "\n" +
                              CommandLineReader::describe(recording(read));
    EXPECT_EQ(usage, "usage: program [--dir DIR] [--flag] [--count N]\n"
                     "  --dir DIR  a folder\n"
                     "  --flag     a flag\n"
                     "  --count N  a number\n");
    const auto main = [&](std::vector<std::string> arguments, std::string& out, std::string& err) {
        std::ostringstream outStream, errStream;
        const int status = CommandLineReader::runProgram(
            arguments, usage,
            [&](CommandLineReader& reader) {
                reader.read(recording(read));
                if (reader.take()) throw std::runtime_error("It failed.");
                return 7;
            },
            outStream, errStream);
        out = outStream.str();
        err = errStream.str();
        return status;
    };
    std::string out, err;
    for (const std::vector<std::string>& help : {std::vector<std::string>{"--help"}, {"-h"}, {"--bogus", "-h"}}) {
        EXPECT_EQ(main(help, out, err), 0);
        EXPECT_EQ(out, usage);
        EXPECT_EQ(err, "");
    }
    EXPECT_EQ(main({"--version"}, out, err), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "Unknown option --version.\n" + usage);
    EXPECT_EQ(main({"run"}, out, err), 1);
    EXPECT_EQ(err, "It failed.\n");
    EXPECT_EQ(main({"--flag"}, out, err), 7);
}

} // namespace
