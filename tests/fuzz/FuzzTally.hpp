// Counts what a fuzz target's inputs reached, by name (the commands and input
// kinds decoded, the refusals met), so a run can say what it never reached.
// A target keeps its tallies as namespace-scope objects. At exit they are
// printed, one line each, when VELORINTH_FUZZ_SUMMARY is set (scripts/fuzz
// sets it); the corpus replay prints them always and, with
// --require-decoded, fails when a required name was never reached; its
// --write-seeds searches inputs that reach each required name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth::fuzz {

class Tally {
public:
    enum class Need { required, informational };

    Tally(std::string_view title, std::span<const std::string_view> names, Need need = Need::required)
        : index_(add(title, names, need)) {}
    Tally(std::string_view title, std::initializer_list<std::string_view> names, Need need = Need::required)
        : Tally(title, std::span<const std::string_view>(names.begin(), names.size()), need) {}

    // By position in the names given (a case's index); out of range aborts,
    // as a target that counts what it does not list is wrong.
    void count(std::size_t position) const {
        Entry& entry = entries()[index_];
        if (position >= entry.counts.size()) std::abort();
        ++entry.counts[position];
    }

    void count(std::string_view name) const {
        const Entry& entry = entries()[index_];
        for (std::size_t position = 0; position < entry.names.size(); ++position) {
            if (entry.names[position] == name) return count(position);
        }
        std::abort();
    }

    // "decoded <title> 11/12: ping 40, pong 3, …; never: revoked"
    static void printAll(std::FILE* out) {
        for (const Entry& entry : entries()) {
            std::string line = "decoded " + entry.title + " ";
            std::string counts;
            std::string never;
            std::size_t reached = 0;
            for (std::size_t position = 0; position < entry.names.size(); ++position) {
                if (!counts.empty()) counts += ", ";
                counts += entry.names[position] + " " + std::to_string(entry.counts[position]);
                if (entry.counts[position] > 0) {
                    ++reached;
                } else {
                    never += (never.empty() ? "" : ", ") + entry.names[position];
                }
            }
            line += std::to_string(reached) + "/" + std::to_string(entry.names.size()) + ": " + counts;
            if (!never.empty()) line += "; never: " + never;
            std::fprintf(out, "%s\n", line.c_str());
        }
        std::fflush(out);
    }

    // "<title>: <name>" of each required name not reached yet.
    static std::vector<std::string> requiredUnreached() {
        std::vector<std::string> unreached;
        for (const Entry& entry : entries()) {
            if (entry.need != Need::required) continue;
            for (std::size_t position = 0; position < entry.names.size(); ++position) {
                if (entry.counts[position] == 0) unreached.push_back(entry.title + ": " + entry.names[position]);
            }
        }
        return unreached;
    }

private:
    struct Entry {
        std::string title;
        std::vector<std::string> names;
        std::vector<std::uint64_t> counts;
        Need need;
    };

    // Never destroyed: the exit report runs after the targets' statics are gone.
    static std::vector<Entry>& entries() {
        static auto* all = new std::vector<Entry>;
        return *all;
    }

    static std::size_t add(std::string_view title, std::span<const std::string_view> names, Need need) {
        static const bool reportAtExit = [] {
            if (std::getenv("VELORINTH_FUZZ_SUMMARY") != nullptr) std::atexit([] { printAll(stderr); });
            return true;
        }();
        (void)reportAtExit;
        Entry entry{std::string(title), {}, std::vector<std::uint64_t>(names.size(), 0), need};
        for (const std::string_view name : names) entry.names.emplace_back(name);
        entries().push_back(std::move(entry));
        return entries().size() - 1;
    }

    std::size_t index_;
};

} // namespace velorinth::fuzz
