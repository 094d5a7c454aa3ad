#pragma once

// The machine as the host model sees it, told what to answer: the grants,
// the display, the preferences, the computer's name, the clipboard, window
// activation, the energy settings and the clock's sleeps.

#include "core/LoopSignal.hpp"
#include "platform/AccessibilityAccess.hpp"
#include "platform/ComputerName.hpp"
#include "platform/DisplayMonitor.hpp"
#include "platform/EnergySettingsOpener.hpp"
#include "platform/Pasteboard.hpp"
#include "platform/Preferences.hpp"
#include "platform/ScreenRecordingAccess.hpp"
#include "platform/WindowActivator.hpp"

#include <asio/this_coro.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velorinth::testing {

class FakeGrants final : public ScreenRecordingAccess, public AccessibilityAccess {
public:
    bool screenRecording = true;
    bool accessibility = true;
    bool contentListed = true;
    int prompts = 0;

    bool preflight() override { return screenRecording; }
    bool request() override { return screenRecording; }
    void confirmShareableContent() override {
        if (!contentListed) throw std::runtime_error("The display could not be listed.");
    }
    bool isTrusted() override { return accessibility; }
    bool isTrustedWithPrompt() override {
        ++prompts;
        return accessibility;
    }
};

class FakeDisplayMonitor final : public DisplayMonitor {
public:
    DisplayDescriptor display{7, 1920, 1080, 1.0};
    ContentRect2D bounds{{0, 0}, {1920, 1080}};
    Handler handler;
    int starts = 0;

    void start(Handler started) override {
        ++starts;
        handler = std::move(started);
    }
    DisplayDescriptor mainDisplay() override { return display; }
    ContentRect2D mainDisplayBounds() override { return bounds; }
};

class FakePreferences final : public Preferences {
public:
    std::map<std::string, std::int64_t, std::less<>> values;
    int writes = 0;

    std::optional<std::int64_t> integer(std::string_view key) override {
        const auto found = values.find(key);
        if (found == values.end()) return std::nullopt;
        return found->second;
    }
    void setInteger(std::string_view key, std::int64_t value) override {
        values[std::string(key)] = value;
        ++writes;
    }
};

class FakeComputerName final : public ComputerName {
public:
    std::optional<std::string> pretty = std::string("Studio Mac");
    std::optional<std::string> host = std::string("studio");

    std::optional<std::string> computerName() override { return pretty; }
    std::optional<std::string> localizedHostName() override { return host; }
};

class FakePasteboard final : public Pasteboard {
public:
    std::vector<std::string> log; // "clear", then each string

    void clearContents() override { log.emplace_back("clear"); }
    void setString(const std::string& text) override { log.push_back(text); }
};

class FakeWindowActivator final : public WindowActivator {
public:
    int activations = 0;
    void activateAndOrderAllWindowsFront() override { ++activations; }
};

class FakeEnergySettingsOpener final : public EnergySettingsOpener {
public:
    int opened = 0;
    bool open() override {
        ++opened;
        return true;
    }
};

// Sleeps that last until the test lets them end; a cancelled sleeper leaves
// at once.
class ManualSleeper {
public:
    explicit ManualSleeper(asio::any_io_executor executor) : signal_(std::move(executor)) {}

    std::vector<std::chrono::steady_clock::duration> requested;

    std::function<asio::awaitable<void>(std::chrono::steady_clock::duration)> function() {
        return [this](std::chrono::steady_clock::duration duration) { return sleep(this, duration); };
    }
    std::size_t pending() const { return static_cast<std::size_t>(std::count(done_.begin(), done_.end(), false)); }
    // Ends every sleep under way now.
    void releaseAll() {
        std::fill(done_.begin(), done_.end(), true);
        signal_.notifyAll();
    }

private:
    static asio::awaitable<void> sleep(ManualSleeper* self, std::chrono::steady_clock::duration duration) {
        self->requested.push_back(duration);
        const std::size_t ticket = self->done_.size();
        self->done_.push_back(false);
        while (!self->done_[ticket]) {
            co_await self->signal_.wait();
            const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
            if (state.cancelled() != asio::cancellation_type::none) {
                self->done_[ticket] = true;
                co_return;
            }
        }
    }

    LoopSignal signal_;
    std::deque<bool> done_;
};

} // namespace velorinth::testing
