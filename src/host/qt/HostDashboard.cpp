#include "host/qt/HostDashboard.hpp"

#include "host/presenters/PairingApprovalPresenter.hpp"
#include "host/qt/ControlBarView.hpp"
#include "host/qt/ErrorBannerView.hpp"
#include "host/qt/HostSettingsView.hpp"
#include "host/qt/IconProvider.hpp"
#include "host/qt/IdentityCardView.hpp"
#include "host/qt/PairedDevicesView.hpp"
#include "host/qt/PairingApprovalView.hpp"
#include "host/qt/PermissionsCardView.hpp"
#include "host/qt/QtStyle.hpp"
#include "host/qt/QtWindowActivator.hpp"
#include "host/qt/SessionsListView.hpp"
#include "host/qt/StatusHeaderView.hpp"
#include "host/qt/StreamDiagnosticsView.hpp"
#include "host/qt/WakePreflightSheet.hpp"
#include "host/qt/WakeReadinessView.hpp"

#include <QApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollArea>
#include <QSplitter>
#include <QVBoxLayout>

namespace velorinth {

namespace {

using F = HostModelField;

constexpr std::array<const char*, 6> kBoxNames{"boxActiveSessions", "boxStreamDiagnostics", "boxHostIdentity",
                                               "boxTrustedDevices", "boxPermissions",       "boxWakeReadiness"};

} // namespace

HostDashboard::HostDashboard(std::shared_ptr<HostModel> model, DisplayFormats formats, QWidget* parent)
    : QMainWindow(parent), model_(std::move(model)), controller_(model_),
      context_{model_, &controller_, std::move(formats)}, observed_(model_) {
    setObjectName("dashboard");
    setMinimumSize(DashboardPresenter::kMinimumWidth, DashboardPresenter::kMinimumHeight);
    resize(1024, 760);

    auto* splitter = new QSplitter;
    splitter->setObjectName("splitView");
    auto* sidebar = new QWidget;
    buildSidebar(sidebar);
    splitter->addWidget(sidebar);
    auto* scroll = new QScrollArea;
    scroll->setObjectName("detail");
    scroll->setWidgetResizable(true);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* holder = new QWidget;
    auto* holderRow = new QHBoxLayout(holder);
    holderRow->setContentsMargins(0, 0, 0, 0);
    auto* column = new QWidget;
    column->setObjectName("detailColumn");
    column->setMaximumWidth(DashboardPresenter::kDetailMaximumWidth);
    buildDetail(column);
    // As wide as the room allows up to its maximum, at the leading edge: not
    // its content's width, which would change as rows come and go.
    holderRow->addWidget(column, 1, Qt::AlignTop);
    holderRow->addStretch(0);
    scroll->setWidget(holder);
    splitter->addWidget(scroll);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({220, 800});
    setCentralWidget(splitter);

    QMenu* menu = menuBar()->addMenu("Velorinth");
    QAction* settings = menu->addAction("Settings\u2026");
    settings->setObjectName("menuSettings");
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, this, [this] { openSettings(); });
    QAction* quit = menu->addAction("Quit");
    quit->setObjectName("menuQuit");
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, qApp, &QApplication::quit);

    scheduler_.add([this] { renderFrame(); }, {F::selectedSection, F::activeSessionList, F::captureState,
                                               F::networkError});
    connect(&observed_, &HostModelQt::changed, this, [this](HostModelField field) {
        scheduler_.changed(field);
        if (field == F::pendingPairing) pairingPromptChanged();
    });
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive && shownOnce_) controller_.applicationDidBecomeActive();
    });
    model_->setDisplayEventHandler([this](DisplayEvent event) { controller_.displayEvent(event); });
    renderFrame();
    scheduler_.flush();
}

HostDashboard::~HostDashboard() {
    model_->setDisplayEventHandler({});
    delete settings_.data();
}

void HostDashboard::buildSidebar(QWidget* sidebar) {
    auto* layout = new QVBoxLayout(sidebar);
    auto* title = textLabel("sidebarTitle", 3, QFont::Bold);
    showText(title, std::string(DashboardPresenter::kSidebarTitle));
    layout->addWidget(title);
    sidebar_ = new QListWidget;
    sidebar_->setObjectName("sidebar");
    for (const HostModel::Section section : HostModel::allSections) {
        auto* item = new QListWidgetItem(sidebar_);
        auto* row = new QWidget;
        row->setObjectName("sidebarRow");
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(6, 3, 6, 3);
        auto* symbol = symbolLabel("sidebarSymbol", 18);
        auto* text = textLabel("sidebarText");
        showText(text, std::string(HostModel::rawValue(section)));
        sidebarSymbols_[static_cast<std::size_t>(section)] = symbol;
        sidebarTexts_[static_cast<std::size_t>(section)] = text;
        line->addWidget(symbol);
        line->addWidget(text, 1);
        if (section == HostModel::Section::activeSessions) {
            sessionsBadge_ = new BadgeLabel("sessionsBadge");
            sessionsBadge_->hide();
            line->addWidget(sessionsBadge_);
        }
        item->setSizeHint(row->sizeHint());
        sidebar_->setItemWidget(item, row);
    }
    layout->addWidget(sidebar_);
    showSidebarSelection();
    connect(sidebar_, &QListWidget::currentRowChanged, this, [this](int row) {
        showSidebarSelection();
        if (row < 0 || row >= static_cast<int>(HostModel::allSections.size())) return;
        model_->selectedSection.set(HostModel::allSections[static_cast<std::size_t>(row)]);
    });
}

void HostDashboard::showSidebarSelection() {
    // The selected row lies on the selection's colour: its symbol and title
    // take the selected text's colour, as the list's own text would.
    const QColor selected = sidebar_->palette().color(QPalette::HighlightedText);
    for (const HostModel::Section section : HostModel::allSections) {
        const auto index = static_cast<std::size_t>(section);
        const bool isSelected = sidebar_->currentRow() == static_cast<int>(index);
        const std::string symbol(DashboardPresenter::sectionSymbol(section));
        QLabel* text = sidebarTexts_[index];
        if (isSelected) {
            showSymbol(sidebarSymbols_[index], symbol, selected, 18);
        } else {
            showSymbol(sidebarSymbols_[index], {symbol, Tint::blue}, 18);
        }
        QPalette palette = text->palette();
        palette.setColor(QPalette::WindowText, isSelected ? selected : tintColor(Tint::primary, sidebar_));
        text->setPalette(palette);
    }
}

void HostDashboard::addBox(DashboardBox kind, QWidget* content, std::function<void()> render,
                           std::vector<HostModelField> fields) {
    auto* group = new QGroupBox(qtText(DashboardPresenter::boxTitle(kind)));
    group->setObjectName(kBoxNames[static_cast<std::size_t>(kind)]);
    auto* layout = new QVBoxLayout(group);
    layout->addWidget(content);
    group->hide();
    boxes_[static_cast<std::size_t>(kind)] = group;
    // A hidden box renders when it is shown again.
    boxRenders_[static_cast<std::size_t>(kind)] = render;
    scheduler_.add(
        [group, render] {
            if (!group->isHidden()) render();
        },
        std::move(fields));
}

void HostDashboard::buildDetail(QWidget* column) {
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(32, 32, 32, 32);
    layout->setSpacing(24);
    auto* header = new StatusHeaderView(context_);
    layout->addWidget(header);
    scheduler_.add([header] { header->render(); },
                   {F::remoteAccessEnabled, F::listenerStatus, F::servicePublished, F::captureState,
                    F::activeSessionList, F::hostIdentity});
    auto* banner = new ErrorBannerView(context_);
    banner_ = banner;
    layout->addWidget(banner);
    scheduler_.add([banner] { banner->render(); }, {F::networkError});
    boxesLayout_ = new QVBoxLayout;
    boxesLayout_->setSpacing(24);
    layout->addLayout(boxesLayout_);

    auto* sessions = new SessionsListView(context_);
    addBox(DashboardBox::activeSessions, sessions, [sessions] { sessions->render(); }, {F::activeSessionList});
    auto* diagnostics = new StreamDiagnosticsView(context_);
    addBox(DashboardBox::streamDiagnostics, diagnostics, [diagnostics] { diagnostics->render(); },
           {F::streamDiagnostics});
    auto* identity = new IdentityCardView(context_, [this] { showResetAlert(); });
    addBox(DashboardBox::hostIdentity, identity, [identity] { identity->render(); },
           {F::hostIdentity, F::listenerStatus, F::preferredListenerPort, F::detectedPrivateTunnelAddresses});
    auto* devices = new PairedDevicesView(context_);
    addBox(DashboardBox::trustedDevices, devices, [devices] { devices->render(); },
           {F::trustedDevices, F::activeSessionList});
    auto* permissions = new PermissionsCardView(context_);
    addBox(DashboardBox::permissions, permissions, [permissions] { permissions->render(); },
           {F::screenRecordingGranted, F::accessibilityGranted, F::captureState, F::activeSessionList,
            F::streamDiagnostics});
    auto* wake = new WakeReadinessView(context_, [this] { showPreflightSheet(); });
    addBox(DashboardBox::wakeReadiness, wake, [wake] { wake->render(); },
           {F::wakeSnapshot, F::trustedDevices, F::activeSessionList, F::capturedFrames});

    layout->addWidget(divider("detailDivider"));
    auto* bar = new ControlBarView(context_);
    layout->addWidget(bar);
    scheduler_.add([bar] { bar->render(); }, {F::activeSessionList, F::remoteAccessEnabled});
    layout->addStretch();
    // One entry for every preflight sheet this window opens: each goes when closed.
    scheduler_.add(
        [this] {
            if (preflightSheet_) preflightSheet_->render();
        },
        {F::isRunningWakePreflightTest, F::wakeSnapshot, F::activeSessionList, F::trustedDevices});
}

void HostDashboard::renderFrame() {
    const DashboardPresentation p = DashboardPresenter::present(*model_);
    setWindowTitle(qtText(p.title));
    const auto selected = static_cast<int>(model_->selectedSection.get());
    if (sidebar_->currentRow() != selected) {
        const QSignalBlocker block(sidebar_);
        sidebar_->setCurrentRow(selected);
        showSidebarSelection();
    }
    const SidebarRow& sessionsRow = p.sidebar[static_cast<std::size_t>(HostModel::Section::activeSessions)];
    if (sessionsRow.badge) {
        sessionsBadge_->show(*sessionsRow.badge);
    } else {
        sessionsBadge_->hide();
    }
    if (p.boxes == shownBoxes_) return;
    for (QGroupBox* group : boxes_) {
        boxesLayout_->removeWidget(group);
        group->hide();
    }
    for (const DashboardBox kind : p.boxes) {
        QGroupBox* group = boxes_[static_cast<std::size_t>(kind)];
        boxesLayout_->addWidget(group);
        group->show();
        boxRenders_[static_cast<std::size_t>(kind)]();
    }
    shownBoxes_ = p.boxes;
}

void HostDashboard::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    controller_.windowShown();
}

bool HostDashboard::event(QEvent* event) {
    const bool handled = QMainWindow::event(event);
    // A click on this window while a sheet is open activates it even though
    // the sheet blocks it; the sheet comes forward, as a window manager would
    // bring it, and no window manager may run.
    if (event->type() == QEvent::WindowActivate) QtWindowActivator::raiseWindowsParentedBy(this);
    return handled;
}

void HostDashboard::pairingPromptChanged() {
    switch (controller_.pairingPromptChanged()) {
    case DashboardController::PairingSheetChange::none: return;
    case DashboardController::PairingSheetChange::close:
        if (pairingSheet_) pairingSheet_->closeForModel();
        pairingSheet_ = nullptr;
        return;
    case DashboardController::PairingSheetChange::open: break;
    }
    if (pairingSheet_) pairingSheet_->closeForModel();
    const PairingApprovalPresentation presentation =
        PairingApprovalPresenter::present(*controller_.shownPrompt(), context_.formats);
    auto* sheet = new PairingApprovalView(presentation, [this](bool approve, Uuid id) {
        if (approve) {
            controller_.approvePairing(id);
        } else {
            controller_.rejectPairing(id);
        }
    }, this);
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        if (pairingSheet_ == sheet) pairingSheet_ = nullptr;
        sheet->deleteLater();
    });
    pairingSheet_ = sheet;
    sheet->open();
}

void HostDashboard::showPreflightSheet() {
    controller_.testWakeConfiguration();
    if (!preflightSheet_) {
        auto* sheet = new WakePreflightSheet(context_, [this] { controller_.dismissWakePreflightSheet(); }, this);
        connect(sheet, &QDialog::finished, sheet, &QObject::deleteLater);
        preflightSheet_ = sheet;
    }
    preflightSheet_->open();
}

void HostDashboard::showResetAlert() {
    controller_.requestIdentityReset();
    if (resetAlert_) return;
    auto* alert = new QMessageBox(this);
    alert->setObjectName("resetAlert");
    alert->setWindowModality(Qt::WindowModal);
    alert->setIcon(QMessageBox::Warning);
    alert->setText("Reset Velorinth Identity?");
    alert->setInformativeText("This permanently deletes the current P-256 identity key in Keychain, creates a new "
                              "cryptographic identity, disconnects active sessions, and revokes every paired iPad.");
    QPushButton* reset = alert->addButton("Reset and Revoke All", QMessageBox::DestructiveRole);
    reset->setObjectName("resetConfirm");
    QPushButton* cancel = alert->addButton("Cancel", QMessageBox::RejectRole);
    cancel->setObjectName("resetCancel");
    alert->setDefaultButton(cancel);
    connect(alert, &QMessageBox::buttonClicked, this,
            [this, reset](QAbstractButton* clicked) { controller_.answerIdentityReset(clicked == reset); });
    connect(alert, &QDialog::finished, alert, &QObject::deleteLater);
    resetAlert_ = alert;
    alert->open();
}

HostSettingsView* HostDashboard::openSettings() {
    if (!settings_) {
        settings_ = new HostSettingsView(context_);
        scheduler_.add(
            [settings = settings_] {
                if (settings) settings->render();
            },
            {F::remoteAccessEnabled, F::unattendedAccessEnabled});
    }
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
    return settings_;
}

} // namespace velorinth
