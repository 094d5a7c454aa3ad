#pragma once

#include "host/model/HostModel.hpp"

#include <QObject>

#include <memory>

namespace velorinth {

// The model's observation as a Qt signal, for the widgets. UI thread.
class HostModelQt : public QObject {
    Q_OBJECT

public:
    explicit HostModelQt(std::shared_ptr<HostModel> model, QObject* parent = nullptr);
    ~HostModelQt() override;

    HostModel& model() const { return *model_; }
    const std::shared_ptr<HostModel>& shared() const { return model_; }

Q_SIGNALS:
    void changed(velorinth::HostModelField field);

private:
    std::shared_ptr<HostModel> model_;
    HostModel::ObservationToken token_;
};

} // namespace velorinth
