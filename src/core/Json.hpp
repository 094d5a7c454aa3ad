#pragma once

// The one JSON codec of the system. Conventions:
// - keys are property names; an absent optional is omitted; `null` reads as
//   absent; unknown keys are ignored; missing keys and wrong types fail;
// - an enum without values is its case-name string;
// - an enum with values is {"case": {labelled values}} (an unlabelled value
//   under "_0", a value-less case as {"case": {}}); decoding counts only keys
//   that name a case and needs exactly one;
// - an option set is its byte; bytes are strict Base64; dates are seconds
//   since 2001 as a double; UUIDs are upper-case text.

#include "core/Bytes.hpp"
#include "core/Date.hpp"
#include "core/Error.hpp"
#include "core/Uuid.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace velorinth {

using Json = nlohmann::json;

class JSONDecodingError : public Error {
public:
    enum class Case { dataCorrupted, keyNotFound, typeMismatch, valueNotFound };
    JSONDecodingError(Case kind, std::string text) : Error(std::move(text)), kind(kind) {}
    Case kind;
};

class JSONEncodingError : public Error {
public:
    enum class Case { invalidValue };
    explicit JSONEncodingError(std::string text) : Error(std::move(text)) {}
    Case kind = Case::invalidValue;
};

// Text of the failure for an enum object without exactly one case key.
inline constexpr std::string_view kInvalidNumberOfKeysText = "Invalid number of keys found, expected one.";

namespace json {

[[noreturn]] void failCorrupted(std::string text);
[[noreturn]] void failTypeMismatch(std::string_view expected, const Json& found);
[[noreturn]] void failKeyNotFound(std::string_view key);

// Codec<T> has `static Json encode(const T&)` and `static T decode(const Json&)`.
template <class T, class Enable = void>
struct Codec;

template <class T>
Json encode(const T& value) {
    return Codec<T>::encode(value);
}

template <class T>
T decode(const Json& value) {
    return Codec<T>::decode(value);
}

// ---- case-name enums ------------------------------------------------------
// Specialise with `static constexpr std::array<std::string_view, N> names`
// listing the cases in declaration order (the enum's values are 0..N-1).
template <class E>
struct EnumNames;

template <class E>
concept NamedEnum = std::is_enum_v<E> && requires { EnumNames<E>::names; };

template <NamedEnum E>
constexpr std::string_view caseName(E value) {
    auto index = static_cast<std::size_t>(value);
    return index < EnumNames<E>::names.size() ? EnumNames<E>::names[index] : std::string_view{};
}

template <NamedEnum E>
constexpr std::optional<E> caseFromName(std::string_view name) {
    const auto& names = EnumNames<E>::names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) return static_cast<E>(i);
    }
    return std::nullopt;
}

template <NamedEnum E>
constexpr auto allCases() {
    std::array<E, EnumNames<E>::names.size()> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<E>(i);
    return out;
}

template <NamedEnum E>
struct Codec<E> {
    static Json encode(E value) { return std::string(caseName(value)); }
    static E decode(const Json& j) {
        if (!j.is_string()) failTypeMismatch("String", j);
        const auto& text = j.get_ref<const std::string&>();
        if (auto value = caseFromName<E>(text)) return *value;
        failCorrupted("Cannot initialize enumeration from invalid value \"" + text + "\".");
    }
};

// ---- enums with associated values ------------------------------------------
struct CaseSelection {
    std::size_t index;
    const Json& payload; // an object; empty for a bare case-name string
};

// Finds the one key of `j` that names a case. A bare string naming a case is
// accepted for value-less cases; `valueLess[i]` tells which cases those are.
CaseSelection decodeCase(const Json& j, std::span<const std::string_view> caseNames,
                         std::span<const bool> valueLess);
Json encodeCase(std::string_view caseName, Json payload = Json::object());

// ---- byte option sets -------------------------------------------------------
template <class Derived>
struct ByteOptionSet {
    std::uint8_t rawValue = 0;

    constexpr ByteOptionSet() = default;
    constexpr explicit ByteOptionSet(std::uint8_t raw) : rawValue(raw) {}

    constexpr bool contains(Derived other) const { return (rawValue & other.rawValue) == other.rawValue; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr Derived unionWith(Derived other) const { return Derived(rawValue | other.rawValue); }
    constexpr Derived intersection(Derived other) const { return Derived(rawValue & other.rawValue); }
    constexpr Derived symmetricDifference(Derived other) const { return Derived(rawValue ^ other.rawValue); }
    constexpr Derived subtracting(Derived other) const { return Derived(rawValue & ~other.rawValue); }
    constexpr void insert(Derived other) { rawValue = static_cast<std::uint8_t>(rawValue | other.rawValue); }
    constexpr void remove(Derived other) { rawValue = static_cast<std::uint8_t>(rawValue & ~other.rawValue); }

    friend constexpr Derived operator|(Derived a, Derived b) { return a.unionWith(b); }
    friend constexpr Derived operator&(Derived a, Derived b) { return a.intersection(b); }
    friend constexpr Derived operator^(Derived a, Derived b) { return a.symmetricDifference(b); }
    friend constexpr bool operator==(const ByteOptionSet&, const ByteOptionSet&) = default;
};

// ---- primitives -------------------------------------------------------------
template <>
struct Codec<bool> {
    static Json encode(bool v) { return v; }
    static bool decode(const Json& j) {
        if (!j.is_boolean()) failTypeMismatch("Bool", j);
        return j.get<bool>();
    }
};

template <std::integral T>
    requires(!std::same_as<T, bool>)
struct Codec<T> {
    static Json encode(T v) { return v; }
    static T decode(const Json& j) {
        if (j.is_number_unsigned()) {
            auto v = j.get<std::uint64_t>();
            if (std::in_range<T>(v)) return static_cast<T>(v);
        } else if (j.is_number_integer()) {
            auto v = j.get<std::int64_t>();
            if (std::in_range<T>(v)) return static_cast<T>(v);
        } else if (j.is_number_float()) {
            // An integral float such as 2.0 is the same number; anything else is not an integer.
            double v = j.get<double>();
            if (std::isfinite(v) && std::trunc(v) == v && v >= static_cast<double>(std::numeric_limits<T>::min()) &&
                v < static_cast<double>(std::numeric_limits<T>::max())) {
                return static_cast<T>(v);
            }
        } else {
            failTypeMismatch("an integer", j);
        }
        failCorrupted("Number " + j.dump() + " does not fit in the expected integer type.");
    }
};

template <>
struct Codec<double> {
    static Json encode(double v) {
        if (!std::isfinite(v)) throw JSONEncodingError("Unable to encode a non-finite number.");
        return v;
    }
    static double decode(const Json& j) {
        if (!j.is_number()) failTypeMismatch("Double", j);
        return j.get<double>();
    }
};

template <>
struct Codec<std::string> {
    static Json encode(const std::string& v) { return v; }
    static std::string decode(const Json& j) {
        if (!j.is_string()) failTypeMismatch("String", j);
        return j.get<std::string>();
    }
};

template <>
struct Codec<Uuid> {
    static Json encode(const Uuid& v) { return v.uuidString(); }
    static Uuid decode(const Json& j);
};

template <>
struct Codec<Date> {
    static Json encode(const Date& v) { return Codec<double>::encode(v.timeIntervalSinceReferenceDate()); }
    static Date decode(const Json& j) { return Date(Codec<double>::decode(j)); }
};

template <>
struct Codec<Bytes> {
    static Json encode(const Bytes& v) { return base64Encode(v); }
    static Bytes decode(const Json& j);
};

template <class T>
struct Codec<std::optional<T>> {
    static Json encode(const std::optional<T>& v) { return v ? Codec<T>::encode(*v) : Json(nullptr); }
    static std::optional<T> decode(const Json& j) {
        if (j.is_null()) return std::nullopt;
        return Codec<T>::decode(j);
    }
};

template <class T>
struct Codec<std::vector<T>> {
    static Json encode(const std::vector<T>& v) {
        Json out = Json::array();
        for (const auto& e : v) out.push_back(Codec<T>::encode(e));
        return out;
    }
    static std::vector<T> decode(const Json& j) {
        if (!j.is_array()) failTypeMismatch("Array", j);
        std::vector<T> out;
        out.reserve(j.size());
        for (const auto& e : j) out.push_back(Codec<T>::decode(e));
        return out;
    }
};

// Sets are arrays, written in the element order (declaration order for enums);
// duplicates on input are ignored.
template <class T>
struct Codec<std::set<T>> {
    static Json encode(const std::set<T>& v) {
        Json out = Json::array();
        for (const auto& e : v) out.push_back(Codec<T>::encode(e));
        return out;
    }
    static std::set<T> decode(const Json& j) {
        if (!j.is_array()) failTypeMismatch("Array", j);
        std::set<T> out;
        for (const auto& e : j) out.insert(Codec<T>::decode(e));
        return out;
    }
};

template <class T>
concept ByteOptions = std::is_base_of_v<ByteOptionSet<T>, T>;

template <ByteOptions T>
struct Codec<T> {
    static Json encode(const T& value) { return value.rawValue; }
    static T decode(const Json& j) { return T(Codec<std::uint8_t>::decode(j)); }
};

// ---- objects ----------------------------------------------------------------
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// Reads the value under `key`: an absent or null key is nullopt for an
// optional and keyNotFound otherwise.
template <class T>
T field(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        if constexpr (IsOptional<T>::value) {
            return std::nullopt;
        } else {
            failKeyNotFound(key);
        }
    }
    return Codec<T>::decode(*it);
}

// Like field, but an absent or null key gives `fallback`.
template <class T>
T fieldOr(const Json& object, const char* key, T fallback) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return fallback;
    return Codec<T>::decode(*it);
}

// Writes `value` under `key`; an empty optional is left out.
template <class T>
void put(Json& object, const char* key, const T& value) {
    if constexpr (IsOptional<T>::value) {
        if (!value) return;
        object[key] = Codec<typename T::value_type>::encode(*value);
    } else {
        object[key] = Codec<T>::encode(value);
    }
}

// Throws typeMismatch unless `j` is an object.
const Json& expectObject(const Json& j, std::string_view typeName);

// ---- records described by a field table ------------------------------------
// A record whose JSON form is exactly its fields under their own names
// specialises JsonFields with a tuple of `member("key", &T::field)`:
//   template <> struct JsonFields<X> {
//       static constexpr auto fields = std::make_tuple(member("a", &X::a), member("b", &X::b));
//   };
// and gets a Codec that writes each field and reads it back with the rules above.
template <class T, class M>
struct FieldSpec {
    const char* key;
    M T::*pointer;
};

template <class T, class M>
constexpr FieldSpec<T, M> member(const char* key, M T::*pointer) {
    return {key, pointer};
}

template <class T>
struct JsonFields;

template <class T>
concept FieldRecord = requires { JsonFields<T>::fields; };

template <FieldRecord T>
Json encodeFields(const T& value) {
    Json out = Json::object();
    std::apply([&](const auto&... spec) { (put(out, spec.key, value.*(spec.pointer)), ...); }, JsonFields<T>::fields);
    return out;
}

template <FieldRecord T>
void decodeFields(const Json& j, T& value) {
    std::apply(
        [&](const auto&... spec) {
            ((value.*(spec.pointer) = field<std::remove_cvref_t<decltype(value.*(spec.pointer))>>(j, spec.key)), ...);
        },
        JsonFields<T>::fields);
}

template <FieldRecord T>
struct Codec<T> {
    static Json encode(const T& value) { return encodeFields(value); }
    static T decode(const Json& j) {
        expectObject(j, "a dictionary");
        T value{};
        decodeFields(j, value);
        return value;
    }
};

// ---- enums with values held as a std::variant of field records -------------
// Each alternative is a FieldRecord (an unlabelled value as member("_0", ...),
// a value-less case with an empty field table); the alternative's index is the
// position of its case name.
template <class T>
T decodeRecord(const Json& payload) {
    T value{};
    decodeFields(payload, value);
    return value;
}

template <class Variant, std::size_t... I>
constexpr std::array<bool, sizeof...(I)> valueLessAlternatives(std::index_sequence<I...>) {
    return {(std::tuple_size_v<std::remove_cvref_t<
                 decltype(JsonFields<std::variant_alternative_t<I, Variant>>::fields)>> == 0)...};
}

template <class Variant>
Json encodeVariantCase(std::span<const std::string_view> caseNames, const Variant& value) {
    return std::visit([&](const auto& alternative) { return encodeCase(caseNames[value.index()], encodeFields(alternative)); },
                      value);
}

template <class Variant, std::size_t... I>
Variant decodeAlternative(std::size_t index, const Json& payload, std::index_sequence<I...>) {
    std::optional<Variant> out;
    ((index == I ? (void)out.emplace(std::in_place_index<I>,
                                     decodeRecord<std::variant_alternative_t<I, Variant>>(payload))
                 : void()),
     ...);
    return std::move(*out);
}

template <class Variant>
Variant decodeVariantCase(const Json& j, std::span<const std::string_view> caseNames) {
    constexpr auto indices = std::make_index_sequence<std::variant_size_v<Variant>>();
    static constexpr auto valueLess = valueLessAlternatives<Variant>(indices);
    auto selection = decodeCase(j, caseNames, valueLess);
    return decodeAlternative<Variant>(selection.index, selection.payload, indices);
}

// ---- whole documents --------------------------------------------------------
std::string dump(const Json& j);
Json parse(std::string_view text); // dataCorrupted when not valid JSON

template <class T>
std::string encodeToString(const T& value) {
    return dump(Codec<T>::encode(value));
}

template <class T>
Bytes encodeToBytes(const T& value) {
    return bytesOf(encodeToString(value));
}

// JSONDecodingError (or a codec's own error) for anything that is not a T.
template <class T>
T decodeFromString(std::string_view text) {
    const Json document = parse(text);
    try {
        return Codec<T>::decode(document);
    } catch (const Json::exception&) {
        // A library failure below a codec is a decoding failure all the same.
        failCorrupted("The given data was not valid JSON.");
    }
}

template <class T>
T decodeFromBytes(ByteView bytes) {
    return decodeFromString<T>(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// The decoded value, or none for bytes that are not a T; never throws a
// decoding error.
template <class T>
std::optional<T> tryDecodeFromBytes(ByteView bytes) {
    try {
        return decodeFromBytes<T>(bytes);
    } catch (const Error&) {
        return std::nullopt;
    }
}

} // namespace json
} // namespace velorinth
