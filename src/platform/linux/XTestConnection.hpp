#pragma once

// One XCB connection to an X display with the XTest extension: fake input on
// the core pointer and keyboard, the pointer and lock state, per-key
// autorepeat and keyboard-mapping changes. Requests are only queued; flush()
// sends them. Only the queries wait for the server. Not thread-safe: its
// owner serialises the calls.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace velorinth {

class XTestConnection {
public:
    struct PointerState {
        std::int32_t x = 0;
        std::int32_t y = 0;
        std::uint16_t mask = 0; // modifier and button bits (ShiftMask, LockMask, Mod2Mask, Button1Mask …)
    };

    // Opens the display (an empty name means $DISPLAY); waits for the server,
    // so never on the event loop. Null when the display does not open.
    static std::unique_ptr<XTestConnection> open(const std::string& displayName,
                                                 bool (*isReservedKeycode)(std::uint8_t));
    ~XTestConnection();
    XTestConnection(const XTestConnection&) = delete;
    XTestConnection& operator=(const XTestConnection&) = delete;

    bool hasXTest() const { return hasXTest_; }
    // False once a request could not be written or a reply not read.
    bool isAlive() const;

    // Absolute, on the root window, clamped to it.
    void motion(double x, double y);
    void button(std::uint8_t button, bool press);
    void key(std::uint8_t keycode, bool press);
    void setAutorepeat(std::uint8_t keycode, bool on);
    // Puts `keysym` on every level of `keycode`.
    void setKeysym(std::uint8_t keycode, std::uint32_t keysym);
    void flush();

    // One round trip each.
    std::optional<PointerState> queryPointer();
    // The pointer state and whether X autorepeats `keycode`, in one round trip.
    std::optional<std::pair<PointerState, bool>> queryPointerAndAutorepeat(std::uint8_t keycode);

    // Keycodes without keysyms in the keymap as it was at open, leaving out
    // those the reserved-keycode test names: room for typed characters.
    const std::vector<std::uint8_t>& spareKeycodes() const { return spareKeycodes_; }

private:
    explicit XTestConnection(xcb_connection_t* connection);

    xcb_connection_t* connection_;
    std::uint32_t root_ = 0;
    std::uint16_t rootWidth_ = 0;
    std::uint16_t rootHeight_ = 0;
    bool hasXTest_ = false;
    std::uint8_t keysymsPerKeycode_ = 0;
    std::vector<std::uint8_t> spareKeycodes_;
};

} // namespace velorinth
