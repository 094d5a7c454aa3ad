#pragma once

// The X display's input sink: each record becomes XTest fake input on its
// own XCB connection. X has no per-event flags, click counts, pixel scrolling
// or typed strings, so the sink keeps modifier keys pressed to match the
// flags, emulates click counts with press/release pairs, turns pixels into
// wheel clicks, and types text through keysyms it places on spare keycodes.
//
// "Trusted" means the XTest extension is present on a live connection. A
// lost connection reads as untrusted; the next check starts a reconnect on a
// worker thread (an X connect waits for the server, so never on the loop),
// at most once per `reconnectInterval`. After each record the sink flushes;
// it waits for the server only to read the pointer and lock state.

#include "platform/InputEventSink.hpp"
#include "platform/linux/XTestConnection.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace velorinth {

class XTestInputSink final : public InputEventSink {
public:
    static constexpr std::chrono::seconds kDefaultReconnectInterval{1};
    // Pixels per wheel click, the tablet's wheel multiplier.
    static constexpr std::int64_t kPixelsPerWheelClick = 12;
    // A peer's huge delta must not become millions of X events.
    static constexpr std::int64_t kMaximumWheelClicksPerRecord = 10;

    // Connects at once (waiting for the server).
    explicit XTestInputSink(std::string displayName,
                            std::chrono::steady_clock::duration reconnectInterval = kDefaultReconnectInterval);
    // Releases what it holds and gives the keycodes it borrowed back.
    ~XTestInputSink() override;

    bool isTrusted() override;
    std::optional<Point2D> currentPointerLocation() override;
    void post(const InputEventRecord& record) override;

private:
    struct HeldKey {
        bool restoreAutorepeat = false;
        std::uint64_t chordFlags = 0; // modifiers pressed for this key alone, let go with it
    };
    struct PoolEntry {
        std::uint8_t keycode = 0;
        std::uint32_t keysym = 0;
        std::uint64_t lastUse = 0;
    };

    void adopt(std::unique_ptr<XTestConnection> connection);
    void startReconnect();
    void releaseEverything();

    void postMotion(const InputEventRecord& record);
    void postButton(const InputEventRecord& record, bool down);
    void postScroll(const InputEventRecord& record);
    void postKey(const InputEventRecord& record);
    void postModifierKey(std::uint8_t keycode, std::uint64_t flag, bool down, std::uint64_t flags);
    void postFlags(const InputEventRecord& record);
    void typeText(const std::u16string& text);
    void typeCodePoint(char32_t codePoint);

    // Presses or releases the modifier keys to match `flags`; returns the
    // modifiers it pressed. `except` is left as it is.
    std::uint64_t syncModifiers(std::uint64_t flags, std::uint64_t except = 0);
    void syncLock(std::uint8_t keycode, std::uint16_t mask, bool wanted, std::uint16_t current);
    void releaseModifiers(std::uint64_t flags);
    void press(std::uint8_t keycode);
    void release(std::uint8_t keycode);
    void tap(std::uint8_t keycode);
    // A press and a release, whatever the sink holds: for a key it has let go of itself.
    void tapUnheld(std::uint8_t keycode);
    void wheel(std::int64_t& remainder, std::int32_t delta, std::uint8_t positive, std::uint8_t negative);
    std::optional<std::uint8_t> keycodeForKeysym(std::uint32_t keysym);

    const std::string displayName_;
    const std::chrono::steady_clock::duration reconnectInterval_;

    std::mutex mutex_; // guards everything below
    std::unique_ptr<XTestConnection> connection_;
    std::map<std::uint8_t, HeldKey> heldKeys_; // every keycode the sink holds down, modifiers included
    std::set<std::uint8_t> heldButtons_;
    std::array<std::int64_t, 3> lastDownClickCount_{}; // per X button 1-3
    std::int64_t wheelRemainder1_ = 0;
    std::int64_t wheelRemainder2_ = 0;
    std::vector<PoolEntry> pool_;
    std::uint64_t poolClock_ = 0;

    std::optional<std::chrono::steady_clock::time_point> lastAttempt_;
    bool reconnecting_ = false;
    bool stopping_ = false;
    std::thread reconnector_;
};

} // namespace velorinth
