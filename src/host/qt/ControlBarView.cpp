#include "host/qt/ControlBarView.hpp"

#include "host/presenters/ControlBarPresenter.hpp"
#include "host/qt/QtStyle.hpp"

#include <QHBoxLayout>
#include <QSignalBlocker>

namespace velorinth {

ControlBarView::ControlBarView(ViewContext context, QWidget* parent) : QWidget(parent), context_(std::move(context)) {
    setObjectName("controlBar");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    disconnectAll_ = new QPushButton(qtText(std::string(ControlBarPresenter::kDisconnectAllTitle)));
    disconnectAll_->setObjectName("disconnectAll");
    disconnectAll_->setAutoDefault(false);
    remoteAccess_ = new QCheckBox(qtText(std::string(ControlBarPresenter::kRemoteAccessTitle)));
    remoteAccess_->setObjectName("remoteAccess");
    row->addWidget(disconnectAll_);
    row->addStretch();
    row->addWidget(remoteAccess_);
    connect(disconnectAll_, &QPushButton::clicked, this,
            [this] { ControlBarPresenter::disconnectAll(*context_.model); });
    connect(remoteAccess_, &QCheckBox::toggled, this,
            [this](bool on) { ControlBarPresenter::setRemoteAccess(*context_.model, on); });
}

void ControlBarView::render() {
    const ControlBarPresentation p = ControlBarPresenter::present(*context_.model);
    disconnectAll_->setEnabled(p.disconnectAllEnabled);
    const QSignalBlocker block(remoteAccess_);
    remoteAccess_->setChecked(p.remoteAccess);
}

} // namespace velorinth
