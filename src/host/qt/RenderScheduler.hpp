#pragma once

#include "host/model/HostModel.hpp"

#include <QElapsedTimer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <vector>

namespace velorinth {

// Coalesces the model's changes into renders: a change marks the boxes that
// show its field, and a marked box renders at most once per turn of the UI
// loop and at most 20 times a second (the server republishes the sessions
// about once per frame). UI thread.
class RenderScheduler {
public:
    static constexpr int kMinimumIntervalMs = 50;

    RenderScheduler();

    // A box and the fields it shows; it is marked at once.
    void add(std::function<void()> render, std::vector<HostModelField> fields);
    void changed(HostModelField field);
    // Renders every marked box now.
    void flush();
    std::uint64_t renders() const noexcept { return renders_; }
    std::uint64_t flushes() const noexcept { return flushes_; }

private:
    struct Box {
        std::function<void()> render;
        std::vector<HostModelField> fields;
        bool marked = true;
    };
    void schedule();

    std::vector<Box> boxes_;
    QTimer timer_;
    QElapsedTimer sinceFlush_;
    std::uint64_t renders_ = 0;
    std::uint64_t flushes_ = 0;
};

} // namespace velorinth
