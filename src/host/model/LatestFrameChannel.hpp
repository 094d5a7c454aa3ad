#pragma once

#include "core/LoopSignal.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace velorinth {

// A one-producer, one-consumer stream that keeps only the newest items: when
// an item arrives with `capacity` waiting, the oldest waiting one is dropped
// and the producer is not told. The producer may be on any thread; the
// consumer waits on its executor. The stream ends once the producer end is
// released and every waiting item has been taken.
template <class T>
class LatestFrameChannel {
public:
    using Item = std::shared_ptr<const T>;
    static constexpr std::size_t kDefaultCapacity = 2;

private:
    struct State {
        State(asio::any_io_executor executor, std::size_t capacity)
            : consumerExecutor(executor), wake(executor), capacity(capacity) {}
        const asio::any_io_executor consumerExecutor;
        LoopSignal wake; // consumer thread only
        const std::size_t capacity;
        std::mutex mutex; // guards the rest
        std::deque<Item> items;
        bool ended = false;
        bool wakePosted = false;
        std::uint64_t dropped = 0;

        // With the mutex held: one hop to the consumer at a time.
        void wakeConsumerLocked(const std::shared_ptr<State>& self) {
            if (wakePosted) return;
            wakePosted = true;
            asio::post(consumerExecutor, [self] {
                {
                    std::lock_guard guard(self->mutex);
                    self->wakePosted = false;
                }
                self->wake.notifyAll();
            });
        }
    };

public:
    class Producer {
    public:
        explicit Producer(std::shared_ptr<State> state) : state_(std::move(state)) {}
        ~Producer() {
            std::lock_guard guard(state_->mutex);
            state_->ended = true;
            state_->wakeConsumerLocked(state_);
        }
        Producer(const Producer&) = delete;
        Producer& operator=(const Producer&) = delete;

        void yield(T item) { yield(std::make_shared<const T>(std::move(item))); }
        void yield(Item item) {
            std::lock_guard guard(state_->mutex);
            if (state_->items.size() >= state_->capacity) {
                state_->items.pop_front();
                ++state_->dropped;
            }
            state_->items.push_back(std::move(item));
            state_->wakeConsumerLocked(state_);
        }

    private:
        std::shared_ptr<State> state_;
    };

    class Consumer {
    public:
        explicit Consumer(std::shared_ptr<State> state) : state_(std::move(state)) {}

        // The oldest waiting item; null once the stream has ended. On the
        // consumer's executor, one waiter at a time.
        asio::awaitable<Item> next() {
            const std::shared_ptr<State> state = state_;
            for (;;) {
                {
                    std::lock_guard guard(state->mutex);
                    if (!state->items.empty()) {
                        Item item = std::move(state->items.front());
                        state->items.pop_front();
                        co_return item;
                    }
                    if (state->ended) co_return nullptr;
                }
                // A wake posted before this parks runs after it on this thread.
                co_await state->wake.wait();
            }
        }

        // Items dropped for a newer one so far.
        std::uint64_t droppedCount() const {
            std::lock_guard guard(state_->mutex);
            return state_->dropped;
        }

    private:
        std::shared_ptr<State> state_;
    };

    // A new stream whose consumer waits on `consumerExecutor`.
    LatestFrameChannel(asio::any_io_executor consumerExecutor, std::size_t capacity = kDefaultCapacity)
        : state_(std::make_shared<State>(std::move(consumerExecutor), capacity)) {}

    std::shared_ptr<Producer> producer() const { return std::make_shared<Producer>(state_); }
    Consumer consumer() const { return Consumer(state_); }

private:
    std::shared_ptr<State> state_;
};

} // namespace velorinth
