#pragma once

// Where injected input goes: the stand-in for the original platform's event
// source and HID event tap. The injector above it keeps all the logic and
// the held state; a sink posts one record at a time.

#include "core/InputCoordinateMapper.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace velorinth {

// The event types of the original platform's input events, by their numbers.
enum class InputEventType : std::uint32_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    keyDown = 10,
    keyUp = 11,
    flagsChanged = 12,
    scrollWheel = 22,
    otherMouseDown = 25,
    otherMouseUp = 26,
    otherMouseDragged = 27,
};

// Event flag bits of the modifiers; no device-dependent bits are used.
namespace InputEventFlags {
inline constexpr std::uint64_t capsLock = 0x10000;
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t option = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
} // namespace InputEventFlags

// Values of the scroll-phase field.
namespace ScrollPhaseField {
inline constexpr std::int64_t momentum = 0;
inline constexpr std::int64_t began = 1;
inline constexpr std::int64_t changed = 2;
inline constexpr std::int64_t ended = 4;
inline constexpr std::int64_t cancelled = 8;
} // namespace ScrollPhaseField

// One event as created and posted: what the injector set, nothing more.
struct InputEventRecord {
    InputEventType type = InputEventType::mouseMoved;
    Point2D location;             // mouse events: global display coordinates
    std::uint32_t mouseButton = 0; // mouse events: the button number they were created with
    std::uint16_t keyCode = 0;     // keyboard and flags-changed events: the virtual key
    bool keyDown = false;          // keyboard events created as a key down (kept when the type becomes flags-changed)
    std::uint64_t flags = 0;
    std::int32_t scrollWheel1 = 0; // scroll events: two wheels in pixels
    std::int32_t scrollWheel2 = 0;
    // The integer fields written, by the original platform's field numbers.
    std::optional<std::int64_t> clickState;       // 1
    std::optional<std::int64_t> buttonNumber;     // 3
    std::optional<std::int64_t> autorepeat;       // 8
    std::optional<std::int64_t> scrollContinuous; // 88
    std::optional<std::int64_t> scrollPhase;      // 99
    std::u16string unicodeString;                 // keyboard events carrying typed text
    bool operator==(const InputEventRecord&) const = default;
};

// Implementations are safe to call from any thread; the injector serialises posts.
class InputEventSink {
public:
    virtual ~InputEventSink() = default;

    // Whether posted events reach the desktop (the Accessibility grant of the
    // original platform). Cheap; never waits for the display server.
    virtual bool isTrusted() = 0;
    // Where the pointer is, in global display coordinates; none when unknown.
    virtual std::optional<Point2D> currentPointerLocation() = 0;
    // A record the sink cannot post is skipped.
    virtual void post(const InputEventRecord& record) = 0;

    // The X display's sink (XTest); an empty name means $DISPLAY. Opens the
    // display: call it off the event loop.
    static std::shared_ptr<InputEventSink> create(const std::string& displayName);
};

} // namespace velorinth
