#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/DashboardController.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <memory>

namespace velorinth {

// What every view of the dashboard renders from and acts on.
struct ViewContext {
    std::shared_ptr<HostModel> model;
    DashboardController* controller = nullptr;
    DisplayFormats formats;
};

} // namespace velorinth
