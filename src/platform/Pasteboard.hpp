#pragma once

#include <string>

namespace velorinth {

// The desktop's clipboard, for plain text. The host views implement it over
// their toolkit; UI thread only.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;

    virtual void clearContents() = 0;
    virtual void setString(const std::string& text) = 0;
};

} // namespace velorinth
