#pragma once

#include "core/CommandLineReader.hpp"
#include "relay/RelayProgram.hpp"

#include <string>

namespace velorinth {

// velorinth-relay's command line: the relay's options and those of the
// invitation it prints at start, and the usage that lists them all.
class RelayCommandLine {
public:
    // UsageError for anything the program cannot act on.
    static RelayOptions parse(CommandLineReader& reader);
    static std::string usage();

private:
    static CommandLineReader::Options relayOptions(RelayOptions& options);
    // Each sets `detail` but --invite, which sets `inviting`.
    static CommandLineReader::Options invitationOptions(RelayInvitationOptions& invite, bool& inviting, bool& detail,
                                                        bool& endpointGiven);
};

} // namespace velorinth
