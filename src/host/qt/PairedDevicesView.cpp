#include "host/qt/PairedDevicesView.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QSignalBlocker>

namespace velorinth {

PairedDevicesView::PairedDevicesView(ViewContext context, QWidget* parent)
    : QWidget(parent), context_(std::move(context)) {
    setObjectName("pairedDevices");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    empty_ = new QWidget;
    empty_->setObjectName("devicesEmpty");
    auto* emptyColumn = new QVBoxLayout(empty_);
    emptySymbol_ = symbolLabel("devicesEmptySymbol", 36);
    emptyTitle_ = textLabel("devicesEmptyTitle", 2, QFont::DemiBold);
    emptyDescription_ = textLabel("devicesEmptyDescription", -1);
    emptyDescription_->setWordWrap(true);
    emptyDescription_->setAlignment(Qt::AlignHCenter);
    emptyColumn->addWidget(emptySymbol_, 0, Qt::AlignHCenter);
    emptyColumn->addWidget(emptyTitle_, 0, Qt::AlignHCenter);
    emptyColumn->addWidget(emptyDescription_);
    layout->addWidget(empty_);
    rowsLayout_ = new QVBoxLayout;
    rowsLayout_->setSpacing(0);
    layout->addLayout(rowsLayout_);
}

void PairedDevicesView::render() {
    const PairedDevicesPresentation p = PairedDevicesPresenter::present(*context_.model, context_.formats);
    empty_->setVisible(p.rows.empty());
    showSymbol(emptySymbol_, p.emptySymbol, 36);
    showText(emptyTitle_, p.emptyTitle);
    showText(emptyDescription_, p.emptyDescription, Tint::secondary);
    std::vector<std::tuple<Uuid, bool, bool>> shape;
    devices_.clear();
    for (const DeviceRowPresentation& row : p.rows) {
        shape.emplace_back(row.device.id, row.authorized, row.badge.has_value());
        devices_.push_back(row.device);
    }
    if (shape != shape_) {
        shape_ = std::move(shape);
        rebuild(p);
        return;
    }
    for (std::size_t i = 0; i < rows_.size(); ++i) fill(rows_[i], p.rows[i]);
}

void PairedDevicesView::rebuild(const PairedDevicesPresentation& presentation) {
    for (Row& row : rows_) delete row.widget;
    rows_.clear();
    for (std::size_t index = 0; index < presentation.rows.size(); ++index) {
        const DeviceRowPresentation& shown = presentation.rows[index];
        Row row{};
        row.widget = new QWidget;
        row.widget->setObjectName("deviceRow");
        auto* outer = new QVBoxLayout(row.widget);
        outer->setContentsMargins(0, 0, 0, 0);
        outer->setSpacing(0);
        auto* line = new QHBoxLayout;
        line->setContentsMargins(0, 10, 0, 10);
        line->setSpacing(12);
        row.status = symbolLabel("deviceStatus", 22);
        line->addWidget(row.status);
        auto* column = new QVBoxLayout;
        column->setSpacing(3);
        auto* nameRow = new QHBoxLayout;
        nameRow->setSpacing(8);
        row.name = textLabel("deviceName", 0, QFont::Medium);
        row.badge = new BadgeLabel("deviceBadge");
        nameRow->addWidget(row.name);
        nameRow->addWidget(row.badge);
        nameRow->addStretch();
        column->addLayout(nameRow);
        row.fingerprint = textLabel("deviceFingerprint", -1);
        setMonospaced(row.fingerprint);
        row.fingerprint->setWordWrap(true);
        column->addWidget(row.fingerprint);
        row.dates = textLabel("deviceDates", -2);
        column->addWidget(row.dates);
        line->addLayout(column, 1);
        if (shown.authorized) {
            row.viewScreen = new QCheckBox(qtText(std::string(PairedDevicesPresenter::kViewScreenTitle)));
            row.viewScreen->setObjectName("deviceViewScreen");
            row.remoteControl = new QCheckBox(qtText(std::string(PairedDevicesPresenter::kRemoteControlTitle)));
            row.remoteControl->setObjectName("deviceRemoteControl");
            auto* revoke = new QPushButton(qtText(std::string(PairedDevicesPresenter::kRevokeTitle)));
            revoke->setObjectName("deviceRevoke");
            revoke->setAutoDefault(false);
            line->addWidget(row.viewScreen);
            line->addWidget(row.remoteControl);
            line->addWidget(revoke);
            // A switch shows the row's stored right until the store says
            // otherwise, so a change that fails leaves it where it was.
            QCheckBox* viewScreen = row.viewScreen;
            connect(viewScreen, &QCheckBox::toggled, this, [this, index, viewScreen](bool on) {
                if (index >= devices_.size()) return;
                PairedDevicesPresenter::setViewScreen(*context_.model, on, devices_[index]);
                const QSignalBlocker block(viewScreen);
                viewScreen->setChecked(devices_[index].permissions.allowsScreenView());
            });
            QCheckBox* remoteControl = row.remoteControl;
            connect(remoteControl, &QCheckBox::toggled, this, [this, index, remoteControl](bool on) {
                if (index >= devices_.size()) return;
                PairedDevicesPresenter::setRemoteControl(*context_.model, on, devices_[index]);
                const QSignalBlocker block(remoteControl);
                remoteControl->setChecked(devices_[index].permissions.allowsRemoteControl());
            });
            connect(revoke, &QPushButton::clicked, this, [this, index] {
                if (index < devices_.size()) PairedDevicesPresenter::revoke(*context_.model, devices_[index]);
            });
        } else {
            auto* remove = new QPushButton(qtText(std::string(PairedDevicesPresenter::kRemoveTitle)));
            remove->setObjectName("deviceRemove");
            remove->setAutoDefault(false);
            line->addWidget(remove);
            connect(remove, &QPushButton::clicked, this, [this, index] {
                if (index < devices_.size()) PairedDevicesPresenter::remove(*context_.model, devices_[index]);
            });
        }
        outer->addLayout(line);
        row.divider = divider("deviceDivider");
        outer->addWidget(row.divider);
        rowsLayout_->addWidget(row.widget);
        row.widget->show(); // a child added to a shown widget stays hidden until told
        fill(row, shown);
        rows_.push_back(row);
    }
}

void PairedDevicesView::fill(Row& row, const DeviceRowPresentation& presentation) {
    showSymbol(row.status, presentation.status, 22);
    showText(row.name, presentation.name);
    if (presentation.badge) {
        row.badge->show(*presentation.badge);
    } else {
        row.badge->hide();
    }
    showText(row.fingerprint, presentation.fingerprint, Tint::secondary);
    showText(row.dates, presentation.dates, Tint::secondary);
    // The switches show the stored rights; showing them calls nothing.
    if (row.viewScreen) {
        const QSignalBlocker blockView(row.viewScreen);
        const QSignalBlocker blockRemote(row.remoteControl);
        row.viewScreen->setChecked(presentation.viewScreen);
        row.remoteControl->setChecked(presentation.remoteControl);
    }
    row.divider->setVisible(presentation.hasDivider);
}

} // namespace velorinth
