#include "core/EventLoop.hpp"

#include <pthread.h>

#include <cassert>
#include <cstdio>
#include <exception>

namespace velorinth {

EventLoop::EventLoop() = default;

EventLoop::~EventLoop() {
    // Destroying the loop from one of its own handlers would free it under
    // the running thread.
    assert(!thread_.joinable() || thread_.get_id() != std::this_thread::get_id());
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
        // A detached task whose error escaped must not take the loop down with
        // it, but it is a fault worth seeing.
        for (;;) {
            try {
                context_.run();
                return;
            } catch (const std::exception& error) {
                std::fprintf(stderr, "velorinth: a task on the event loop failed: %s\n", error.what());
            } catch (...) {
                std::fprintf(stderr, "velorinth: a task on the event loop failed with a non-standard exception\n");
            }
        }
    });
}

void EventLoop::stop() {
    if (!thread_.joinable()) return;
    work_.reset();
    context_.stop();
    // From the loop's own thread only ask: the thread is still unwinding
    // `run()` and is joined by the next stop() or the destructor, so the
    // object cannot go away beneath it.
    if (thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool EventLoop::runningInThisThread() const noexcept { return context_.get_executor().running_in_this_thread(); }

} // namespace velorinth
