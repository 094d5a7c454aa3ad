#include "core/Constants.hpp"

namespace velorinth {

std::string applicationIdentifier(std::string_view suffix) {
    // Built by appending: g++ 12 warns falsely on operator+ of short strings.
    std::string out;
    out.reserve(kApplicationIdentifierPrefix.size() + suffix.size());
    out.append(kApplicationIdentifierPrefix);
    out.append(suffix);
    return out;
}

} // namespace velorinth
