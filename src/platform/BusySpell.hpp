#pragma once

#include <algorithm>
#include <cstddef>

namespace velorinth {

// Tells when a count of things in progress (connections before their
// session, say) falls back after a spell of many: once it has reached `many`,
// the first fall to a quarter of the spell's peak or less ends the spell, and
// the next one starts from there (still `many` or more: a slow tail counts as
// a spell of its own). So a flood that drains is told a few times, never once
// per connection, and the connections of a quiet hour never. 0 for `many`: no
// spell ever ends. Not thread-safe: its owner guards it.
class BusySpell {
public:
    explicit BusySpell(std::size_t many) noexcept : many_(many) {}

    // The count after it rose.
    void rose(std::size_t count) noexcept { peak_ = std::max(peak_, count); }
    // The count after it fell; true when this fall ends a spell.
    bool fell(std::size_t count) noexcept {
        if (many_ == 0 || peak_ < many_ || count > peak_ / 4) return false;
        peak_ = count;
        return true;
    }

private:
    std::size_t many_;
    std::size_t peak_ = 0;
};

} // namespace velorinth
