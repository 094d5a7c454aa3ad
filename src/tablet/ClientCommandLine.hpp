#pragma once

#include "core/CommandLineReader.hpp"
#include "tablet/ClientProgram.hpp"

#include <string>

namespace velorinth {

// velorinth-client's command line: options before the command, the command
// and its own operands and options, and the usage that lists them all.
class ClientCommandLine {
public:
    // UsageError for anything the program cannot act on.
    static ClientOptions parse(CommandLineReader& reader);
    static std::string usage();

private:
    static CommandLineReader::Options globalOptions(ClientOptions& options);
    // connect's and wake's.
    static CommandLineReader::Options sessionOptions(ClientOptions& options);
    // wake's own.
    static CommandLineReader::Options wakeOptions(ClientOptions& options);
};

} // namespace velorinth
