// velorinth-relay: the always-on wake relay. Reads the command line and
// hands it to the program.

#include "relay/RelayCommandLine.hpp"
#include "relay/RelayProgram.hpp"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace velorinth;
    return CommandLineReader::runProgram(
        std::vector<std::string>(argv + 1, argv + argc), RelayCommandLine::usage(),
        [](CommandLineReader& reader) {
            RelayProgram program(RelayCommandLine::parse(reader), std::cout, std::cerr);
            return program.run();
        },
        std::cout, std::cerr);
}
