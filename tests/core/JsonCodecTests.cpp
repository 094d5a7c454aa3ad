#include "core/ControlProtocol.hpp"
#include "core/InputEvent.hpp"
#include "core/Json.hpp"
#include "core/WakeModels.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

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
struct velorinth::json::JsonFields<Sample> {
    static constexpr auto fields =
        std::make_tuple(member("id", &Sample::id), member("at", &Sample::at),
                        member("createdAtEpochSeconds", &Sample::createdAtEpochSeconds),
                        member("data", &Sample::data), member("note", &Sample::note));
};

namespace {

const char* const kGolden = R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","at":786316800.5,)"
                            R"("createdAtEpochSeconds":1764624000,"data":"AAECAw=="})";

Sample sample() {
    return Sample{*Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"), Date(786316800.5), 1764624000,
                  Bytes{0, 1, 2, 3}, std::nullopt};
}

Json goldenWith(const char* key, Json value) {
    Json j = json::parse(kGolden);
    j[key] = std::move(value);
    return j;
}

JSONDecodingError::Case failureOf(const Json& j) {
    return velorinth::testing::thrown<JSONDecodingError>([&] { json::decode<Sample>(j); }).kind;
}

} // namespace

TEST(JsonCodec, GoldenFormUuidCaseOptionalsAndUnknownKeys) {
    EXPECT_EQ(json::encode(sample()), json::parse(kGolden));
    EXPECT_EQ(json::decodeFromString<Sample>(kGolden), sample());
    EXPECT_EQ(json::decode<Sample>(goldenWith("id", "e621e1f8-c36c-495a-93fc-0c247a3e6e5f")), sample());
    Date odd(0.1 + 0.2);
    EXPECT_EQ(json::decodeFromString<Date>(json::encodeToString(odd)), odd);

    Sample withNote = sample();
    withNote.note = "hi";
    EXPECT_EQ(json::encode(withNote)["note"], "hi");
    Json j = goldenWith("note", nullptr);
    j["futureField"] = {1, 2};
    EXPECT_EQ(json::decode<Sample>(j), sample());
}

TEST(JsonCodec, MissingKeysWrongTypesAndBadValuesAreRefused) {
    using Case = JSONDecodingError::Case;
    Json missing = json::parse(kGolden);
    missing.erase("at");
    EXPECT_EQ(failureOf(missing), Case::keyNotFound);
    EXPECT_EQ(failureOf(goldenWith("at", nullptr)), Case::keyNotFound);
    EXPECT_EQ(failureOf(goldenWith("at", "2025-12-02")), Case::typeMismatch);
    EXPECT_EQ(failureOf(goldenWith("note", 5)), Case::typeMismatch);
    EXPECT_EQ(failureOf(goldenWith("createdAtEpochSeconds", 1.5)), Case::dataCorrupted);
    EXPECT_EQ(failureOf(goldenWith("id", "E621E1F8-C36C-495A-93FC-0C247A3E6E5")), Case::dataCorrupted);
    EXPECT_EQ(failureOf(goldenWith("data", "AAEC\nAw==")), Case::dataCorrupted);
    EXPECT_EQ(failureOf(goldenWith("data", "AA=CAw==")), Case::dataCorrupted);
    EXPECT_EQ(failureOf(Json::array()), Case::typeMismatch);
}

TEST(JsonCodec, IntegerRangesAndNonFiniteNumbers) {
    EXPECT_EQ(json::decodeFromString<std::uint64_t>("18446744073709551615"),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(json::encodeToString(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(json::decodeFromString<std::int64_t>("-9223372036854775808"),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_THROW(json::decodeFromString<std::uint8_t>("256"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<std::uint64_t>("-1"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<std::uint64_t>("18446744073709551616"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<std::int64_t>("\"1\""), JSONDecodingError);

    for (double bad : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_THROW(json::encode(Date(bad)), JSONEncodingError);
        EXPECT_THROW(json::encode(ControlMessage::displayChanged(DisplayDescriptor{1, 1, 1, bad})),
                     JSONEncodingError);
    }
    EXPECT_THROW(json::parse("{\"a\":NaN}"), JSONDecodingError);
}

// The conventions of enums with values, for every record that has one.
TEST(JsonCodec, EnumCasesCountTheirKeysAndOnlyValueLessOnesMayBeBare) {
    EXPECT_EQ(json::decodeFromString<CompositionEvent>(R"("cancelled")"), CompositionEvent::cancelled());
    EXPECT_EQ(json::decodeFromString<Evidence<bool>>(R"("unsupported")"), Evidence<bool>::unsupported());
    EXPECT_THROW(json::decodeFromString<CompositionEvent>(R"("committed")"), JSONDecodingError);
    // A key that names no case is ignored, as are extra payload keys.
    EXPECT_EQ(json::decodeFromString<InputEvent>(R"({"version":2,"text":{"_0":"a","extra":true}})"),
              InputEvent::text("a"));
    EXPECT_EQ(json::decodeFromString<Evidence<bool>>(R"({"extra":1,"verified":{"_0":false}})"),
              Evidence<bool>::verified(false));
    for (const char* bad : {"{}", R"({"extra":{}})", R"({"unknown":{},"verified":{"_0":true}})", R"("verified")"}) {
        const auto decode = [&] { json::decodeFromString<Evidence<bool>>(bad); };
        const auto error = velorinth::testing::thrown<JSONDecodingError>(decode);
        EXPECT_EQ(std::string_view(error.what()), kInvalidNumberOfKeysText) << bad;
    }
    const char* twoCases = R"({"text":{"_0":"a"},"key":{"code":0,"isDown":true,"modifiers":0}})";
    EXPECT_THROW(json::decodeFromString<InputEvent>(twoCases), JSONDecodingError);
}
