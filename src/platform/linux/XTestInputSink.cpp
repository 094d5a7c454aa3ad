#include "platform/linux/XTestInputSink.hpp"

#include "platform/linux/XKeycodes.hpp"

#include <xcb/xproto.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <tuple>

namespace velorinth {

namespace {

struct ModifierKeys {
    std::uint64_t flag;
    std::uint8_t left;
    std::uint8_t right;
};

// Option is Alt and command is Super: what X desktops use in their place.
constexpr std::array<ModifierKeys, 4> kModifiers{{
    {InputEventFlags::shift, xkeys::kShiftLeft, xkeys::kShiftRight},
    {InputEventFlags::control, xkeys::kControlLeft, xkeys::kControlRight},
    {InputEventFlags::option, xkeys::kAltLeft, xkeys::kAltRight},
    {InputEventFlags::command, xkeys::kSuperLeft, xkeys::kSuperRight},
}};

// Num Lock sits on Mod2 in the keymaps X servers load.
constexpr std::uint16_t kNumLockMask = XCB_MOD_MASK_2;

std::optional<std::uint8_t> xButton(std::uint32_t buttonNumber) {
    switch (buttonNumber) {
    case 0: return 1; // primary
    case 1: return 3; // secondary
    case 2: return 2; // middle
    default: return std::nullopt;
    }
}

// X's keysym for a character: Latin-1 as is, anything else in the Unicode block.
std::uint32_t keysymFor(char32_t codePoint) {
    const bool latin1 = (codePoint >= 0x20 && codePoint <= 0x7E) || (codePoint >= 0xA0 && codePoint <= 0xFF);
    return latin1 ? codePoint : 0x01000000u + codePoint;
}

} // namespace

std::shared_ptr<InputEventSink> InputEventSink::create(const std::string& displayName) {
    return std::make_shared<XTestInputSink>(displayName);
}

XTestInputSink::XTestInputSink(std::string displayName, std::chrono::steady_clock::duration reconnectInterval)
    : displayName_(std::move(displayName)), reconnectInterval_(reconnectInterval) {
    std::lock_guard lock(mutex_);
    lastAttempt_ = std::chrono::steady_clock::now();
    if (auto connection = XTestConnection::open(displayName_, &xkeys::isVirtualKeyTarget)) adopt(std::move(connection));
}

XTestInputSink::~XTestInputSink() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (reconnector_.joinable()) reconnector_.join();
    std::lock_guard lock(mutex_);
    releaseEverything();
}

bool XTestInputSink::isTrusted() {
    std::lock_guard lock(mutex_);
    if (connection_ && connection_->isAlive()) return connection_->hasXTest();
    startReconnect();
    return false;
}

std::optional<Point2D> XTestInputSink::currentPointerLocation() {
    std::lock_guard lock(mutex_);
    if (!connection_ || !connection_->isAlive()) return std::nullopt;
    const auto state = connection_->queryPointer();
    if (!state) return std::nullopt;
    return Point2D{static_cast<double>(state->x), static_cast<double>(state->y)};
}

void XTestInputSink::post(const InputEventRecord& record) {
    std::lock_guard lock(mutex_);
    if (!connection_ || !connection_->isAlive() || !connection_->hasXTest()) return;
    switch (record.type) {
    case InputEventType::mouseMoved:
    case InputEventType::leftMouseDragged:
    case InputEventType::rightMouseDragged:
    case InputEventType::otherMouseDragged: postMotion(record); break;
    case InputEventType::leftMouseDown:
    case InputEventType::rightMouseDown:
    case InputEventType::otherMouseDown: postButton(record, true); break;
    case InputEventType::leftMouseUp:
    case InputEventType::rightMouseUp:
    case InputEventType::otherMouseUp: postButton(record, false); break;
    case InputEventType::scrollWheel: postScroll(record); break;
    case InputEventType::keyDown:
    case InputEventType::keyUp: postKey(record); break;
    case InputEventType::flagsChanged: postFlags(record); break;
    }
    connection_->flush();
}

// ---- connection ----------------------------------------------------------------------------

void XTestInputSink::adopt(std::unique_ptr<XTestConnection> connection) {
    // A new connection may reach a new server: nothing is known to be held there.
    connection_ = std::move(connection);
    heldKeys_.clear();
    heldButtons_.clear();
    lastDownClickCount_ = {};
    wheelRemainder1_ = wheelRemainder2_ = 0;
    pool_.clear();
    for (std::uint8_t keycode : connection_->spareKeycodes()) pool_.push_back({keycode, 0, 0});
}

void XTestInputSink::startReconnect() {
    if (reconnecting_ || stopping_) return;
    const auto now = std::chrono::steady_clock::now();
    if (lastAttempt_ && now - *lastAttempt_ < reconnectInterval_) return;
    lastAttempt_ = now;
    // The last attempt has given the lock back, so this returns at once.
    if (reconnector_.joinable()) reconnector_.join();
    reconnecting_ = true;
    try {
        reconnector_ = std::thread([this] {
            auto connection = XTestConnection::open(displayName_, &xkeys::isVirtualKeyTarget);
            std::lock_guard lock(mutex_);
            reconnecting_ = false;
            if (connection && !stopping_) adopt(std::move(connection));
        });
    } catch (const std::exception&) {
        reconnecting_ = false; // no thread now; the next check tries again
    }
}

void XTestInputSink::releaseEverything() {
    if (!connection_ || !connection_->isAlive() || !connection_->hasXTest()) return;
    for (std::uint8_t button : heldButtons_) connection_->button(button, false);
    heldButtons_.clear();
    std::vector<std::uint8_t> keys;
    for (const auto& [keycode, key] : heldKeys_) keys.push_back(keycode);
    for (std::uint8_t keycode : keys) release(keycode);
    for (const PoolEntry& entry : pool_) {
        if (entry.keysym != 0) connection_->setKeysym(entry.keycode, 0);
    }
    connection_->flush();
}

// ---- records -------------------------------------------------------------------------------

void XTestInputSink::postMotion(const InputEventRecord& record) {
    syncModifiers(record.flags);
    connection_->motion(record.location.x, record.location.y);
}

void XTestInputSink::postButton(const InputEventRecord& record, bool down) {
    const std::optional<std::uint8_t> button = xButton(record.mouseButton);
    if (!button) return;
    syncModifiers(record.flags);
    connection_->motion(record.location.x, record.location.y);
    if (!down) {
        if (heldButtons_.erase(*button) > 0) connection_->button(*button, false);
        return;
    }
    // X counts clicks from press/release pairs: the clicks this down stands
    // for are posted first, unless the button's previous down came just before
    // in the count. At most two, whatever the count says.
    std::int64_t& previousCount = lastDownClickCount_[*button - 1u];
    const std::int64_t count = record.clickState.value_or(1);
    if (count > 1 && previousCount != count - 1) {
        for (std::int64_t i = 1; i < std::min<std::int64_t>(count, 3); ++i) {
            connection_->button(*button, true);
            connection_->button(*button, false);
        }
    }
    previousCount = count;
    if (heldButtons_.contains(*button)) connection_->button(*button, false);
    connection_->button(*button, true);
    heldButtons_.insert(*button);
}

void XTestInputSink::postScroll(const InputEventRecord& record) {
    syncModifiers(record.flags);
    const std::int64_t phase = record.scrollPhase.value_or(ScrollPhaseField::changed);
    if (phase == ScrollPhaseField::began) wheelRemainder1_ = wheelRemainder2_ = 0;
    wheel(wheelRemainder1_, record.scrollWheel1, 4, 5);
    wheel(wheelRemainder2_, record.scrollWheel2, 6, 7);
    if (phase == ScrollPhaseField::ended || phase == ScrollPhaseField::cancelled) wheelRemainder1_ = wheelRemainder2_ = 0;
}

void XTestInputSink::wheel(std::int64_t& remainder, std::int32_t delta, std::uint8_t positive,
                           std::uint8_t negative) {
    remainder += delta;
    const std::int64_t clicks = remainder / kPixelsPerWheelClick;
    remainder -= clicks * kPixelsPerWheelClick;
    const std::int64_t posted = std::min(clicks < 0 ? -clicks : clicks, kMaximumWheelClicksPerRecord);
    for (std::int64_t i = 0; i < posted; ++i) {
        connection_->button(clicks > 0 ? positive : negative, true);
        connection_->button(clicks > 0 ? positive : negative, false);
    }
}

void XTestInputSink::postKey(const InputEventRecord& record) {
    const bool down = record.type == InputEventType::keyDown;
    if (!record.unicodeString.empty()) {
        if (down) typeText(record.unicodeString);
        return;
    }
    const std::optional<std::uint8_t> keycode = xkeys::keycodeForVirtualKey(record.keyCode);
    if (!keycode) return;
    for (const ModifierKeys& modifier : kModifiers) {
        if (*keycode == modifier.left || *keycode == modifier.right) {
            return postModifierKey(*keycode, modifier.flag, down, record.flags);
        }
    }

    const bool held = heldKeys_.contains(*keycode);
    std::optional<XTestConnection::PointerState> state;
    bool repeats = false;
    if (down && !held) {
        if (auto both = connection_->queryPointerAndAutorepeat(*keycode)) std::tie(state, repeats) = *both;
    } else {
        state = connection_->queryPointer();
    }
    if (state) {
        if (*keycode != xkeys::kCapsLock) {
            syncLock(xkeys::kCapsLock, XCB_MOD_MASK_LOCK, (record.flags & InputEventFlags::capsLock) != 0, state->mask);
        }
        if (xkeys::isKeypadNumber(record.keyCode)) syncLock(xkeys::kNumLock, kNumLockMask, true, state->mask);
    }
    const std::uint64_t chord = syncModifiers(record.flags);

    if (!down) {
        release(*keycode);
        return;
    }
    if (held) {
        // With its autorepeat off, X takes a second press of a key that is
        // down for a repeat of its own and drops it; a release and a press is
        // how X itself delivers a repeat.
        connection_->key(*keycode, false);
        connection_->key(*keycode, true);
        return;
    }
    // While held, the key repeats only by the peer's repeat records.
    if (repeats) connection_->setAutorepeat(*keycode, false);
    connection_->key(*keycode, true);
    heldKeys_[*keycode] = HeldKey{repeats, chord};
}

void XTestInputSink::postModifierKey(std::uint8_t keycode, std::uint64_t flag, bool down, std::uint64_t flags) {
    syncModifiers(flags, flag);
    if (down && !heldKeys_.contains(keycode)) {
        press(keycode);
    } else if (!down) {
        release(keycode);
    }
}

void XTestInputSink::postFlags(const InputEventRecord& record) {
    // Only a change of the Caps Lock key moves the lock. The change that
    // lets go of everything at a session's end names another key, with no
    // flags: the lock is no key held, and stays as it is.
    if (xkeys::keycodeForVirtualKey(record.keyCode) == xkeys::kCapsLock) {
        if (auto state = connection_->queryPointer()) {
            syncLock(xkeys::kCapsLock, XCB_MOD_MASK_LOCK, (record.flags & InputEventFlags::capsLock) != 0,
                     state->mask);
        }
    }
    syncModifiers(record.flags);
    // The announced modifiers now belong to the tablet, not to a key's chord.
    for (auto& [keycode, key] : heldKeys_) key.chordFlags = 0;
}

void XTestInputSink::typeText(const std::u16string& text) {
    // The characters are typed as they are: no modifier may change them.
    std::vector<std::uint8_t> lifted;
    for (const ModifierKeys& modifier : kModifiers) {
        for (std::uint8_t keycode : {modifier.left, modifier.right}) {
            if (!heldKeys_.contains(keycode)) continue;
            connection_->key(keycode, false);
            lifted.push_back(keycode);
        }
    }
    // Nor may Caps Lock, which X applies to the keysym. A Caps Lock key the
    // tablet holds puts Lock in the state while down: it is let go first,
    // before the lock is read (a release unlocks a lock that was on before
    // the key's press). A lock then on is turned off for the text.
    const bool capsHeld = heldKeys_.contains(xkeys::kCapsLock);
    if (capsHeld) connection_->key(xkeys::kCapsLock, false);
    const auto state = connection_->queryPointer();
    const bool capsLocked = state && (state->mask & XCB_MOD_MASK_LOCK) != 0;
    if (capsLocked) tapUnheld(xkeys::kCapsLock);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            typeCodePoint(0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
            ++i;
        } else if (unit < 0xD800 || unit > 0xDFFF) {
            typeCodePoint(unit);
        }
    }
    // The lock as it was when the text came, and as it stays once the tablet
    // lets the key go: a held key goes down again, and its press locks (and,
    // coming on an unlocked state, its release will not unlock); else a lock
    // that was on is tapped on.
    if (capsHeld) {
        connection_->key(xkeys::kCapsLock, true);
    } else if (capsLocked) {
        tapUnheld(xkeys::kCapsLock);
    }
    for (std::uint8_t keycode : lifted) connection_->key(keycode, true);
}

void XTestInputSink::typeCodePoint(char32_t codePoint) {
    if (codePoint == U'\n' || codePoint == U'\r') return tap(xkeys::kReturn);
    if (codePoint == U'\t') return tap(xkeys::kTab);
    if (codePoint < 0x20 || codePoint == 0x7F) return;
    if (auto keycode = keycodeForKeysym(keysymFor(codePoint))) tap(*keycode);
}

std::optional<std::uint8_t> XTestInputSink::keycodeForKeysym(std::uint32_t keysym) {
    if (pool_.empty()) return std::nullopt;
    auto entry = std::find_if(pool_.begin(), pool_.end(), [&](const PoolEntry& e) { return e.keysym == keysym; });
    if (entry == pool_.end()) {
        // The least recently used keycode takes the keysym; entries are not
        // given back after each key, so a client still reading an earlier key
        // finds its keysym where it was.
        entry = std::min_element(pool_.begin(), pool_.end(),
                                 [](const PoolEntry& a, const PoolEntry& b) { return a.lastUse < b.lastUse; });
        connection_->setKeysym(entry->keycode, keysym);
        entry->keysym = keysym;
    }
    entry->lastUse = ++poolClock_;
    return entry->keycode;
}

// ---- keys ----------------------------------------------------------------------------------

std::uint64_t XTestInputSink::syncModifiers(std::uint64_t flags, std::uint64_t except) {
    std::uint64_t pressed = 0;
    for (const ModifierKeys& modifier : kModifiers) {
        if ((modifier.flag & except) != 0) continue;
        const bool wanted = (flags & modifier.flag) != 0;
        const bool holding = heldKeys_.contains(modifier.left) || heldKeys_.contains(modifier.right);
        if (wanted && !holding) {
            press(modifier.left);
            pressed |= modifier.flag;
        } else if (!wanted && holding) {
            release(modifier.left);
            release(modifier.right);
        }
    }
    return pressed;
}

void XTestInputSink::syncLock(std::uint8_t keycode, std::uint16_t mask, bool wanted, std::uint16_t current) {
    if (((current & mask) != 0) != wanted) tap(keycode);
}

void XTestInputSink::releaseModifiers(std::uint64_t flags) {
    for (const ModifierKeys& modifier : kModifiers) {
        if ((flags & modifier.flag) != 0) release(modifier.left);
    }
}

void XTestInputSink::press(std::uint8_t keycode) {
    connection_->key(keycode, true);
    heldKeys_.emplace(keycode, HeldKey{});
}

void XTestInputSink::release(std::uint8_t keycode) {
    const auto held = heldKeys_.find(keycode);
    if (held == heldKeys_.end()) return;
    const HeldKey key = held->second;
    heldKeys_.erase(held);
    connection_->key(keycode, false);
    if (key.restoreAutorepeat) connection_->setAutorepeat(keycode, true);
    // A chord pressed for this key alone (a system action's) ends with it.
    releaseModifiers(key.chordFlags);
}

void XTestInputSink::tap(std::uint8_t keycode) {
    if (heldKeys_.contains(keycode)) {
        connection_->key(keycode, false);
        connection_->key(keycode, true);
    } else {
        tapUnheld(keycode);
    }
}

void XTestInputSink::tapUnheld(std::uint8_t keycode) {
    connection_->key(keycode, true);
    connection_->key(keycode, false);
}

} // namespace velorinth
