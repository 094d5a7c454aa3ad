#include "host/qt/QtMainExecutor.hpp"

#include <QMetaObject>
#include <QObject>

namespace velorinth {

// The context object: Qt queues a call of its drain by name, so no data of
// ours travels through Qt's event queue (which the thread sanitizer cannot
// see into); the queue itself is handed over under the context's lock.
class QtMainExecutorTarget final : public QObject {
    Q_OBJECT

public:
    explicit QtMainExecutorTarget(QtMainExecutionContext& context) : context_(context) {}
    Q_INVOKABLE void drain() { context_.drain(); }

private:
    QtMainExecutionContext& context_;
};

QtMainExecutionContext::QtMainExecutionContext() : target_(new QtMainExecutorTarget(*this)) {}

QtMainExecutionContext::~QtMainExecutionContext() {
    close();
    destroy(); // before the queue and its lock go
}

QtMainExecutor QtMainExecutionContext::executor() { return QtMainExecutor(*this); }

void QtMainExecutionContext::close() {
    QObject* target = nullptr;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard guard(mutex_);
        target = target_;
        target_ = nullptr;
        dropped.swap(queue_);
    }
    delete target; // the queued call goes with it
    dropped.clear(); // on this thread, outside the lock
    // Asio's timer thread stops now: a timer firing later would otherwise
    // drop its coroutine on that thread, while this one tears the views and
    // the model down.
    shutdown();
}

void QtMainExecutionContext::submit(std::function<void()> function) {
    std::lock_guard guard(mutex_);
    if (target_ == nullptr) return; // closed: dropped
    queue_.push_back(std::move(function));
    if (drainPosted_) return;
    drainPosted_ = true;
    QMetaObject::invokeMethod(target_, "drain", Qt::QueuedConnection);
}

void QtMainExecutionContext::drain() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard guard(mutex_);
        drainPosted_ = false;
        batch.swap(queue_);
    }
    // What these post runs at a later turn, after Qt's own events.
    for (std::function<void()>& function : batch) {
        function();
        function = nullptr;
    }
}

} // namespace velorinth

#include "QtMainExecutor.moc"
