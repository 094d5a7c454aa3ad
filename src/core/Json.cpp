#include "core/Json.hpp"

namespace velorinth::json {

namespace {
std::string_view typeName(const Json& j) {
    switch (j.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "a dictionary";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return "a number";
    default: return "an unsupported value";
    }
}
} // namespace

void failCorrupted(std::string text) {
    throw JSONDecodingError(JSONDecodingError::Case::dataCorrupted, std::move(text));
}

void failTypeMismatch(std::string_view expected, const Json& found) {
    if (found.is_null()) {
        throw JSONDecodingError(JSONDecodingError::Case::valueNotFound,
                                "Expected " + std::string(expected) + " value but found null instead.");
    }
    throw JSONDecodingError(JSONDecodingError::Case::typeMismatch, "Expected to decode " + std::string(expected) +
                                                                       " but found " + std::string(typeName(found)) +
                                                                       " instead.");
}

void failKeyNotFound(std::string_view key) {
    throw JSONDecodingError(JSONDecodingError::Case::keyNotFound,
                            "No value associated with key \"" + std::string(key) + "\".");
}

const Json& expectObject(const Json& j, std::string_view name) {
    if (!j.is_object()) failTypeMismatch(name, j);
    return j;
}

CaseSelection decodeCase(const Json& j, std::span<const std::string_view> caseNames,
                         std::span<const bool> valueLess) {
    static const Json kEmptyObject = Json::object();
    if (j.is_string()) {
        const auto& text = j.get_ref<const std::string&>();
        for (std::size_t i = 0; i < caseNames.size(); ++i) {
            if (caseNames[i] == text && i < valueLess.size() && valueLess[i]) return {i, kEmptyObject};
        }
        failCorrupted(std::string(kInvalidNumberOfKeysText));
    }
    if (!j.is_object()) failTypeMismatch("a dictionary", j);
    const Json* payload = nullptr;
    std::size_t index = 0;
    std::size_t found = 0;
    for (std::size_t i = 0; i < caseNames.size(); ++i) {
        auto it = j.find(std::string(caseNames[i]));
        if (it != j.end()) {
            ++found;
            index = i;
            payload = &*it;
        }
    }
    if (found != 1) failCorrupted(std::string(kInvalidNumberOfKeysText));
    if (!payload->is_object()) failTypeMismatch("a dictionary", *payload);
    return {index, *payload};
}

Json encodeCase(std::string_view name, Json payload) {
    Json out = Json::object();
    out[std::string(name)] = std::move(payload);
    return out;
}

Uuid Codec<Uuid>::decode(const Json& j) {
    if (!j.is_string()) failTypeMismatch("UUID", j);
    const auto& text = j.get_ref<const std::string&>();
    if (auto id = Uuid::fromString(text)) return *id;
    failCorrupted("Attempted to decode UUID from invalid UUID string.");
}

Bytes Codec<Bytes>::decode(const Json& j) {
    if (!j.is_string()) failTypeMismatch("Data", j);
    if (auto bytes = base64Decode(j.get_ref<const std::string&>())) return std::move(*bytes);
    failCorrupted("Encountered Data is not valid Base64.");
}

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json parse(std::string_view text) {
    Json j = Json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) failCorrupted("The given data was not valid JSON.");
    return j;
}

} // namespace velorinth::json
