// velorinth-client: the tablet side on the command line. Reads the command
// line and hands it to the program.

#include "tablet/ClientCommandLine.hpp"
#include "tablet/ClientProgram.hpp"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace velorinth;
    return CommandLineReader::runProgram(
        std::vector<std::string>(argv + 1, argv + argc), ClientCommandLine::usage(),
        [](CommandLineReader& reader) {
            ClientProgram program(ClientCommandLine::parse(reader), std::cout, std::cerr);
            return program.run();
        },
        std::cout, std::cerr);
}
