// The UI thread's executor: coroutines resume on the UI thread in order,
// timers complete there, and closing drops what has not run.

#include "QtTestApplication.hpp"

#include "host/qt/QtMainExecutor.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace velorinth;
using namespace velorinth::testing;
using namespace std::chrono_literals;

namespace {

// Runs Qt's events until `done` holds; the bound guards against hangs only.
void processUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < giveUp) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

} // namespace

TEST(QtMainExecutor, CoroutinesResumeOnTheUIThreadInOrder) {
    qtApplication();
    QtMainExecutionContext context;
    const asio::any_io_executor ui(context.executor());
    asio::io_context other;
    auto work = asio::make_work_guard(other);
    std::thread loop([&] { other.run(); });
    const std::thread::id uiThread = std::this_thread::get_id();

    std::vector<int> order;
    bool elsewhere = false;
    int finished = 0;
    auto body = [&](int id) -> asio::awaitable<void> {
        for (int step = 0; step < 3; ++step) {
            co_await asio::post(other.get_executor(), asio::use_awaitable); // a hop to the other thread and back
            if (std::this_thread::get_id() != uiThread) elsewhere = true;
            order.push_back(id * 10 + step);
        }
        asio::steady_timer timer(co_await asio::this_coro::executor, 1ms);
        co_await timer.async_wait(asio::use_awaitable);
        if (std::this_thread::get_id() != uiThread) elsewhere = true;
        ++finished;
    };
    for (int id = 1; id <= 2; ++id) asio::co_spawn(ui, body(id), asio::detached);
    EXPECT_TRUE(order.empty()); // posted, never run inline
    processUntil([&] { return finished == 2; });
    EXPECT_EQ(finished, 2);
    EXPECT_FALSE(elsewhere);
    std::vector<int> first, second;
    for (const int entry : order) (entry < 20 ? first : second).push_back(entry);
    EXPECT_EQ(first, (std::vector<int>{10, 11, 12}));
    EXPECT_EQ(second, (std::vector<int>{20, 21, 22}));

    std::vector<int> posted;
    for (int i = 0; i < 5; ++i) asio::post(ui, [&, i] { posted.push_back(i); });
    processUntil([&] { return posted.size() == 5; });
    EXPECT_EQ(posted, (std::vector<int>{0, 1, 2, 3, 4}));

    // Closing drops what is queued, and what comes later.
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> weak = token;
    bool ran = false;
    asio::post(ui, [&ran, token = std::move(token)] { ran = true; });
    context.close();
    asio::post(ui, [&ran] { ran = true; });
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(weak.expired());

    work.reset();
    loop.join();
}
