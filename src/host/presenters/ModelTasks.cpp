#include "host/presenters/ModelTasks.hpp"

#include <exception>
#include <memory>

namespace velorinth {

void startModelTask(HostModel& model, asio::awaitable<void> operation) {
    auto guarded = [](std::shared_ptr<HostModel> model, asio::awaitable<void> operation) -> asio::awaitable<void> {
        std::exception_ptr failure;
        try {
            co_await std::move(operation);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) model->networkError.set(HostModel::userFacingMessage(failure));
    };
    model.spawn(guarded(model.shared_from_this(), std::move(operation)));
}

} // namespace velorinth
