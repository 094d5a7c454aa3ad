#pragma once

#include "platform/Pasteboard.hpp"

namespace velorinth {

// The desktop's clipboard through Qt: setting the text replaces the content,
// as clearing and writing does.
class QtPasteboard final : public Pasteboard {
public:
    void clearContents() override;
    void setString(const std::string& text) override;
};

} // namespace velorinth
