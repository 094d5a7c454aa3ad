#include "core/EventLoop.hpp"

#include <pthread.h>

namespace velorinth {

EventLoop::EventLoop() = default;

EventLoop::~EventLoop() {
    stop();
    kdfWorker_.join();
    storeWorker_.join();
}

void EventLoop::start() {
    if (thread_.joinable()) return;
    context_.restart();
    work_.emplace(context_.get_executor());
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "velorinth.loop");
        // A detached task whose error escaped must not take the loop down with it.
        for (;;) {
            try {
                context_.run();
                return;
            } catch (...) {
            }
        }
    });
}

void EventLoop::stop() {
    if (!thread_.joinable()) return;
    work_.reset();
    context_.stop();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool EventLoop::runningInThisThread() const noexcept { return context_.get_executor().running_in_this_thread(); }

} // namespace velorinth
