#include "host/qt/HostModelQt.hpp"

namespace velorinth {

HostModelQt::HostModelQt(std::shared_ptr<HostModel> model, QObject* parent)
    : QObject(parent), model_(std::move(model)) {
    token_ = model_->observe([this](HostModelField field) { Q_EMIT changed(field); });
}

HostModelQt::~HostModelQt() { model_->stopObserving(token_); }

} // namespace velorinth
