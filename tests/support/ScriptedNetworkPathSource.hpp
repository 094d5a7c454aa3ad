#pragma once

#include "platform/NetworkPathSource.hpp"

#include <memory>
#include <vector>

namespace velorinth::testing {

// A path source whose reports the test emits (on the loop); it delivers only
// between start and cancel.
class ScriptedNetworkPathSource : public NetworkPathSource {
public:
    struct Made {
        std::vector<std::shared_ptr<ScriptedNetworkPathSource>> sources;
    };
    static Factory factory(std::shared_ptr<Made> made);

    void start(Handler handler) override {
        started = true;
        handler_ = std::move(handler);
    }
    void cancel() override { cancelled = true; }

    // False when nothing was delivered.
    bool emit(const NetworkPathReport& report) {
        if (!started || cancelled || !handler_) return false;
        handler_(report);
        return true;
    }

    bool started = false;
    bool cancelled = false;

private:
    Handler handler_;
};

inline NetworkPathSource::Factory ScriptedNetworkPathSource::factory(std::shared_ptr<Made> made) {
    return [made](const asio::any_io_executor&) {
        auto source = std::make_shared<ScriptedNetworkPathSource>();
        made->sources.push_back(source);
        return source;
    };
}

} // namespace velorinth::testing
