#include "host/qt/RenderScheduler.hpp"

#include <algorithm>

namespace velorinth {

RenderScheduler::RenderScheduler() {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [this] { flush(); });
}

void RenderScheduler::add(std::function<void()> render, std::vector<HostModelField> fields) {
    boxes_.push_back({std::move(render), std::move(fields), true});
    schedule();
}

void RenderScheduler::changed(HostModelField field) {
    bool marked = false;
    for (Box& box : boxes_) {
        if (std::find(box.fields.begin(), box.fields.end(), field) == box.fields.end()) continue;
        box.marked = true;
        marked = true;
    }
    if (marked) schedule();
}

void RenderScheduler::schedule() {
    if (timer_.isActive()) return;
    const qint64 elapsed = sinceFlush_.isValid() ? sinceFlush_.elapsed() : kMinimumIntervalMs;
    timer_.start(static_cast<int>(std::max<qint64>(0, kMinimumIntervalMs - elapsed)));
}

void RenderScheduler::flush() {
    timer_.stop();
    sinceFlush_.start();
    ++flushes_;
    // A render may change the model and mark boxes again: those wait for the next turn.
    std::vector<std::size_t> due;
    for (std::size_t i = 0; i < boxes_.size(); ++i) {
        if (!boxes_[i].marked) continue;
        boxes_[i].marked = false;
        due.push_back(i);
    }
    for (const std::size_t i : due) {
        boxes_[i].render();
        ++renders_;
    }
}

} // namespace velorinth
