#include "host/qt/QtMainExecutor.hpp"

#include <QMetaObject>
#include <QObject>

namespace velorinth {

QtMainExecutionContext::QtMainExecutionContext() : target_(new QObject) {}

QtMainExecutionContext::~QtMainExecutionContext() {
    close();
    // Asio's timer thread stops here, before the mutex goes.
    shutdown();
    destroy();
}

QtMainExecutor QtMainExecutionContext::executor() { return QtMainExecutor(*this); }

void QtMainExecutionContext::close() {
    QObject* target = nullptr;
    {
        std::lock_guard guard(mutex_);
        target = target_;
        target_ = nullptr;
    }
    delete target; // its queued calls go with it
}

void QtMainExecutionContext::submit(std::function<void()> function) {
    std::lock_guard guard(mutex_);
    if (target_ == nullptr) return;
    QMetaObject::invokeMethod(target_, std::move(function), Qt::QueuedConnection);
}

} // namespace velorinth
