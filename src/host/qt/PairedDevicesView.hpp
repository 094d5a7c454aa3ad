#pragma once

#include "host/presenters/PairedDevicesPresenter.hpp"
#include "host/qt/QtStyle.hpp"
#include "host/qt/ViewContext.hpp"

#include <QCheckBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <tuple>
#include <vector>

namespace velorinth {

// The "Trusted iPads" box. Rows are rebuilt only when the devices, their
// authorization or their badge change; otherwise updated in place.
class PairedDevicesView : public QWidget {
public:
    PairedDevicesView(ViewContext context, QWidget* parent = nullptr);
    void render();

private:
    struct Row {
        QWidget* widget;
        QLabel* status;
        QLabel* name;
        BadgeLabel* badge;
        QLabel* fingerprint;
        QLabel* dates;
        QCheckBox* viewScreen;    // authorized only
        QCheckBox* remoteControl; // authorized only
        QFrame* divider;
    };
    void rebuild(const PairedDevicesPresentation& presentation);
    void fill(Row& row, const DeviceRowPresentation& presentation);

    ViewContext context_;
    QWidget* empty_;
    QLabel* emptySymbol_;
    QLabel* emptyTitle_;
    QLabel* emptyDescription_;
    QVBoxLayout* rowsLayout_;
    std::vector<Row> rows_;
    std::vector<std::tuple<Uuid, bool, bool>> shape_; // id, authorized, badge shown
    std::vector<TrustedDevice> devices_;
};

} // namespace velorinth
