// Reads the host's preferences file as someone with the disk could have
// written it: the input as the file, and an object built around a port value
// the input picks, beside other keys. A file that is not a JSON object of at
// most 64 KiB, with at most 64 containers one inside another, reads as no
// keys; reading never changes the file; a key reads
// as an integer only when it holds one that fits; the preferred port is that
// integer when it lies in 1024-65535, else 51891. A write keeps every other
// key of a readable file, sets an unreadable one aside byte for byte, and
// leaves a file that reads back with the value written.
#include "../support/TemporaryDirectory.hpp"
#include "FuzzSupport.hpp"
#include "FuzzTally.hpp"
#include "core/Constants.hpp"
#include "host/model/HostModel.hpp"
#include "platform/linux/JsonFilePreferences.hpp"

#include <fstream>
#include <iterator>
#include <limits>

using namespace velorinth;
using namespace velorinth::fuzz;
namespace fs = std::filesystem;

namespace {

const Tally files("preferences files", {"an object", "not an object", "too large", "too deep"});
const Tally ports("preferred ports", {"stored", "default for a value out of range", "default for no integer"});
const Tally writes("writes", {"kept the other keys", "set aside"});

std::optional<Bytes> contents(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void place(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// How deep the brackets outside strings go; -1 when they do not balance.
int nesting(const Bytes& bytes) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (inString) {
            if (c == '\\') ++i;
            if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && --depth < 0) {
            return -1;
        }
    }
    return deepest;
}

// The object a file holds, read without the preferences: none for anything else.
std::optional<Json> object(const Bytes& bytes) {
    if (bytes.size() > JsonFilePreferences::kMaximumFileSize) return std::nullopt;
    if (nesting(bytes) > JsonFilePreferences::kMaximumDepth) return std::nullopt;
    Json document = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (!document.is_object()) return std::nullopt;
    return document;
}

// The integer a value holds, when it fits the preferences' integers.
std::optional<std::int64_t> integerOf(const Json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    return std::nullopt;
}

void check(const Bytes& stored, std::int64_t written) {
    static velorinth::testing::TemporaryDirectory scratch("velorinth-fuzz-preferences");
    const fs::path path = scratch.path / "preferences.json";
    const fs::path aside = scratch.path / "preferences.json.corrupt";
    const std::string key = HostModel::preferredPortKey();
    fs::remove(aside);
    place(path, stored);

    JsonFilePreferences preferences(path);
    const std::optional<Json> document = object(stored);
    if (document) {
        files.count("an object");
    } else if (stored.size() > JsonFilePreferences::kMaximumFileSize) {
        files.count("too large");
    } else {
        files.count(nesting(stored) > JsonFilePreferences::kMaximumDepth ? "too deep" : "not an object");
    }
    std::optional<std::int64_t> expected;
    if (document && document->contains(key)) expected = integerOf(document->at(key));
    const std::optional<std::int64_t> value = preferences.integer(key);
    require(value == expected);
    require(contents(path) == stored && !fs::exists(aside));

    const std::uint16_t port = HostModel::preferredPortFromStoredValue(value);
    if (value && *value >= 1024 && *value <= 65535) {
        require(port == *value);
        ports.count("stored");
    } else {
        require(port == VelorinthService::defaultPort);
        ports.count(value ? "default for a value out of range" : "default for no integer");
    }

    preferences.setInteger(key, written);
    require(preferences.integer(key) == written);
    const std::optional<Bytes> now = contents(path);
    if (now == stored) return; // the same bytes again, or not written and said so in the log
    const std::optional<Json> rewritten = now ? object(*now) : std::nullopt;
    require(rewritten && rewritten->contains(key) && integerOf(rewritten->at(key)) == written);
    require(JsonFilePreferences(path).integer(key) == written);
    if (document) {
        Json others = *rewritten;
        others.erase(key);
        Json before = *document;
        before.erase(key);
        require(others == before);
        writes.count("kept the other keys");
    } else {
        require(contents(aside) == stored);
        writes.count("set aside");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto written = input.ConsumeIntegral<std::int64_t>();
    // An object around a port value the input picks.
    Json built = Json::object();
    const std::string key = HostModel::preferredPortKey();
    switch (input.ConsumeIntegralInRange(0, 5)) {
    case 0: built[key] = input.ConsumeIntegralInRange<std::int64_t>(1000, 66000); break;
    case 1: built[key] = input.ConsumeIntegral<std::int64_t>(); break;
    case 2: built[key] = input.ConsumeIntegral<std::uint64_t>(); break;
    case 3: built[key] = input.ConsumeFloatingPoint<double>(); break;
    case 4: built[key] = input.ConsumeRandomLengthString(8); break;
    default: break;
    }
    if (input.ConsumeBool()) built[input.ConsumeRandomLengthString(12)] = input.ConsumeRandomLengthString(12);
    // Now and then past the size read, which no input within the fuzzer's length limit reaches.
    if (input.ConsumeIntegralInRange(0, 15) == 0) {
        built["pad"] = std::string(input.ConsumeIntegralInRange(60'000, 70'000), 'p');
    }
    const std::string text = json::dump(built);
    check(Bytes(text.begin(), text.end()), written);
    check(Bytes(data, data + size), written);
    return 0;
}
