// Replays a fuzz corpus without libFuzzer: every file under the given folders
// (or a file given by name) is fed once to the target, so the corpus guards
// against regressions in the ordinary test run. It prints the target's
// tallies; with --require-decoded it fails when the corpus no longer reaches
// a required name.
//
// --write-seeds <folder> instead tries pseudo-random inputs (a fixed sequence,
// short ones first) and writes each one that reaches a required name no
// earlier one reached, as seed-<name>: the seeds follow the target's own
// builders, so after a builder changes they are written again, not edited.
#include "FuzzTally.hpp"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using velorinth::fuzz::Tally;

// "commands: ping" → "seed-commands-ping"
std::string fileName(const std::string& name) {
    std::string file = "seed-";
    for (const char c : name) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) != 0;
        if (plain) {
            file += c;
        } else if (file.back() != '-') {
            file += '-';
        }
    }
    return file;
}

int writeSeeds(const std::filesystem::path& folder) {
    constexpr std::size_t kAttempts = 2'000'000;
    std::filesystem::create_directories(folder);
    std::mt19937 random(20240601); // the standard fixes its sequence: the same seeds everywhere
    std::vector<std::string> unreached = Tally::requiredUnreached();
    for (std::size_t attempt = 0; attempt < kAttempts && !unreached.empty(); ++attempt) {
        std::vector<std::uint8_t> input(1 + attempt % 48 + attempt / 40'000);
        for (auto& byte : input) byte = static_cast<std::uint8_t>(random());
        LLVMFuzzerTestOneInput(input.data(), input.size());
        std::vector<std::string> now = Tally::requiredUnreached();
        if (now.size() == unreached.size()) continue;
        const auto reached = std::find_if(unreached.begin(), unreached.end(), [&](const std::string& name) {
            return std::find(now.begin(), now.end(), name) == now.end();
        });
        std::ofstream(folder / fileName(*reached), std::ios::binary)
            .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
        unreached = std::move(now);
    }
    Tally::printAll(stdout);
    for (const auto& name : unreached) std::cerr << "no input found for " << name << '\n';
    return unreached.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--write-seeds") return writeSeeds(argv[2]);
    std::size_t count = 0;
    bool requireDecoded = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--require-decoded") {
            requireDecoded = true;
            continue;
        }
        std::filesystem::path root(argv[i]);
        if (!std::filesystem::exists(root)) {
            std::cerr << "corpus folder missing: " << root << '\n';
            return 1;
        }
        std::vector<std::filesystem::path> files{root};
        if (std::filesystem::is_directory(root)) {
            files.clear();
            for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
        }
        for (const auto& file : files) {
            std::ifstream in(file, std::ios::binary);
            std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++count;
        }
    }
    std::cout << "replayed " << count << " inputs" << std::endl;
    Tally::printAll(stdout);
    if (requireDecoded && !Tally::requiredUnreached().empty()) {
        std::cerr << "the corpus no longer reaches every required name (\"never:\" above)\n";
        return 1;
    }
    return count > 0 ? 0 : 1;
}
