#include "core/ControlProtocol.hpp"
#include "core/Json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace velorinth;

namespace {

// A record exercising the generic pieces of the codec.
struct Sample {
    Uuid id;
    Date at;
    std::int64_t createdAtEpochSeconds = 0;
    Bytes data;
    std::optional<std::string> note;
    bool operator==(const Sample&) const = default;
};

} // namespace

template <>
struct velorinth::json::Codec<Sample> {
    static Json encode(const Sample& v) {
        Json out = Json::object();
        put(out, "id", v.id);
        put(out, "at", v.at);
        put(out, "createdAtEpochSeconds", v.createdAtEpochSeconds);
        put(out, "data", v.data);
        put(out, "note", v.note);
        return out;
    }
    static Sample decode(const Json& j) {
        expectObject(j, "Sample");
        return Sample{field<Uuid>(j, "id"), field<Date>(j, "at"), field<std::int64_t>(j, "createdAtEpochSeconds"),
                      field<Bytes>(j, "data"), field<std::optional<std::string>>(j, "note")};
    }
};

namespace {

const char* const kGolden = R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","at":786316800.5,)"
                            R"("createdAtEpochSeconds":1764624000,"data":"AAECAw=="})";

Sample sample() {
    return Sample{*Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"), Date(786316800.5), 1764624000,
                  Bytes{0, 1, 2, 3}, std::nullopt};
}

JSONDecodingError::Case failureOf(const Json& j) {
    try {
        json::decode<Sample>(j);
    } catch (const JSONDecodingError& error) {
        return error.kind;
    }
    ADD_FAILURE() << "decoded: " << j.dump();
    return JSONDecodingError::Case::dataCorrupted;
}

} // namespace

TEST(JsonCodec, RecordGoldenFormDatesAndUuidCase) {
    EXPECT_EQ(json::encode(sample()), json::parse(kGolden));
    EXPECT_EQ(json::decodeFromString<Sample>(kGolden), sample());

    // UUIDs are read in either case and written upper-case.
    Json lower = json::parse(kGolden);
    lower["id"] = "e621e1f8-c36c-495a-93fc-0c247a3e6e5f";
    EXPECT_EQ(json::decode<Sample>(lower), sample());

    // A date is a double of seconds since 2001 and round-trips exactly.
    Date odd(0.1 + 0.2);
    EXPECT_EQ(json::decodeFromString<Date>(json::encodeToString(odd)), odd);
    EXPECT_EQ(json::encode(Date::fromUnixSeconds(978307200.0)), json::parse("0.0"));
}

TEST(JsonCodec, OptionalsAndUnknownKeys) {
    Sample withNote = sample();
    withNote.note = "hi";
    EXPECT_EQ(json::encode(withNote)["note"], "hi");
    EXPECT_FALSE(json::encode(sample()).contains("note"));

    Json j = json::parse(kGolden);
    j["note"] = nullptr;
    j["futureField"] = {1, 2};
    EXPECT_EQ(json::decode<Sample>(j), sample());
}

TEST(JsonCodec, MissingKeysWrongTypesAndBadValuesAreRefused) {
    using Case = JSONDecodingError::Case;
    auto with = [](const char* key, Json value) {
        Json j = json::parse(kGolden);
        j[key] = std::move(value);
        return j;
    };
    Json missing = json::parse(kGolden);
    missing.erase("at");
    EXPECT_EQ(failureOf(missing), Case::keyNotFound);
    EXPECT_EQ(failureOf(with("at", nullptr)), Case::keyNotFound);
    EXPECT_EQ(failureOf(with("at", "2025-12-02")), Case::typeMismatch);
    EXPECT_EQ(failureOf(with("note", 5)), Case::typeMismatch);
    EXPECT_EQ(failureOf(with("createdAtEpochSeconds", 1.5)), Case::dataCorrupted);
    EXPECT_EQ(failureOf(with("id", "E621E1F8-C36C-495A-93FC-0C247A3E6E5")), Case::dataCorrupted);
    EXPECT_EQ(failureOf(Json::array()), Case::typeMismatch);
    // Strict Base64 inside a record.
    for (const char* bad : {"AAECAw", "AAECAw=", "AAEC\nAw==", "AA=CAw==", "AAEC Aw=", "AAECAw==="}) {
        EXPECT_EQ(failureOf(with("data", bad)), Case::dataCorrupted) << bad;
    }
}

TEST(JsonCodec, IntegerRanges) {
    EXPECT_EQ(json::decodeFromString<std::uint64_t>("18446744073709551615"),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(json::encodeToString(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(json::decodeFromString<std::uint8_t>("255"), 255);
    EXPECT_EQ(json::decodeFromString<std::int64_t>("-9223372036854775808"),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_THROW(json::decodeFromString<std::uint8_t>("256"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<std::uint64_t>("-1"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<std::uint64_t>("18446744073709551616"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<std::uint16_t>("65536"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<std::uint32_t>("4294967296"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<std::int64_t>("\"1\""), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<std::int64_t>("true"), JSONDecodingError);
}

TEST(JsonCodec, NonFiniteNumbersFailToEncode) {
    for (double bad : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_THROW(json::encode(bad), JSONEncodingError);
        EXPECT_THROW(json::encode(Date(bad)), JSONEncodingError);
        EXPECT_THROW(json::encode(ControlMessage::displayChanged(DisplayDescriptor{1, 1, 1, bad})),
                     JSONEncodingError);
    }
    EXPECT_THROW(json::parse("{\"a\":NaN}"), JSONDecodingError);
}
