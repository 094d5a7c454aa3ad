#include "host/qt/HostSettingsView.hpp"

#include "host/presenters/SettingsPresenter.hpp"
#include "host/qt/QtStyle.hpp"

#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace velorinth {

HostSettingsView::HostSettingsView(ViewContext context, QWidget* parent)
    : QWidget(parent, Qt::Window), context_(std::move(context)) {
    setObjectName("settingsWindow");
    setWindowTitle("Settings");
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedWidth(SettingsPresenter::kWidth);
    auto* form = new QVBoxLayout(this);
    remoteAccess_ = new QCheckBox(qtText(std::string(SettingsPresenter::kRemoteAccessTitle)));
    remoteAccess_->setObjectName("settingsRemoteAccess");
    unattended_ = new QCheckBox(qtText(std::string(SettingsPresenter::kUnattendedTitle)));
    unattended_->setObjectName("settingsUnattended");
    form->addWidget(remoteAccess_);
    form->addWidget(unattended_);
    auto* portRow = new QHBoxLayout;
    port_ = new QLineEdit;
    port_->setObjectName("settingsPort");
    port_->setPlaceholderText(qtText(std::string(SettingsPresenter::kPortPlaceholder)));
    port_->setFixedWidth(SettingsPresenter::kPortFieldWidth);
    auto* apply = new QPushButton(qtText(std::string(SettingsPresenter::kApplyTitle)));
    apply->setObjectName("settingsApplyPort");
    auto* defaultPort = new QPushButton(qtText(SettingsPresenter::defaultTitle()));
    defaultPort->setObjectName("settingsDefaultPort");
    for (QPushButton* button : {apply, defaultPort}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    portRow->addWidget(port_);
    portRow->addWidget(apply);
    portRow->addWidget(defaultPort);
    portRow->addStretch();
    form->addLayout(portRow);
    auto* explanation = textLabel("settingsExplanation", -1);
    explanation->setWordWrap(true);
    showText(explanation, SettingsPresenter::explanation(), Tint::secondary);
    form->addWidget(explanation);

    connect(remoteAccess_, &QCheckBox::toggled, this,
            [this](bool on) { SettingsPresenter::setRemoteAccess(*context_.model, on); });
    connect(unattended_, &QCheckBox::toggled, this,
            [this](bool on) { SettingsPresenter::setUnattendedAccess(*context_.model, on); });
    connect(apply, &QPushButton::clicked, this, [this] {
        port_->setText(qtText(SettingsPresenter::applyPort(*context_.model, stdText(port_->text()))));
    });
    connect(defaultPort, &QPushButton::clicked, this,
            [this] { port_->setText(qtText(SettingsPresenter::applyDefaultPort(*context_.model))); });
}

void HostSettingsView::render() {
    const HostModel& model = *context_.model;
    const QSignalBlocker blockRemote(remoteAccess_);
    const QSignalBlocker blockUnattended(unattended_);
    remoteAccess_->setChecked(model.remoteAccessEnabled.get());
    unattended_->setChecked(model.unattendedAccessEnabled.get());
}

void HostSettingsView::showEvent(QShowEvent* event) {
    port_->setText(qtText(SettingsPresenter::portText(*context_.model)));
    render();
    QWidget::showEvent(event);
}

} // namespace velorinth
