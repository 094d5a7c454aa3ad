#pragma once

#include "host/presenters/DashboardController.hpp"
#include "host/presenters/DashboardPresenter.hpp"
#include "host/qt/HostModelQt.hpp"
#include "host/qt/HostSettingsView.hpp"
#include "host/qt/PairingApprovalView.hpp"
#include "host/qt/WakePreflightSheet.hpp"
#include "host/qt/RenderScheduler.hpp"
#include "host/qt/ViewContext.hpp"

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>

#include <array>
#include <functional>
#include <memory>

class QGroupBox;
class QLabel;
class QListWidget;
class QVBoxLayout;

namespace velorinth {

class BadgeLabel;

// The main window: a sidebar of the five sections beside the detail column
// (status header, error banner, the section's boxes, the control bar), the
// two sheets, the identity-reset alert, the menu and the Settings window.
// Its first show starts the model; the model outlives it.
class HostDashboard : public QMainWindow {
public:
    HostDashboard(std::shared_ptr<HostModel> model, DisplayFormats formats, QWidget* parent = nullptr);
    ~HostDashboard() override;

    DashboardController& controller() { return controller_; }
    HostModel& model() const { return *model_; }
    // Renders every box marked by a change now, instead of at the next turn.
    void flushRendering() { scheduler_.flush(); }
    const RenderScheduler& renderScheduler() const { return scheduler_; }
    // The Settings window, made on first use and shown or raised.
    HostSettingsView* openSettings();
    QGroupBox* box(DashboardBox box) const { return boxes_[static_cast<std::size_t>(box)]; }
    PairingApprovalView* pairingSheet() const { return pairingSheet_; }
    WakePreflightSheet* preflightSheet() const { return preflightSheet_; }
    QMessageBox* resetAlert() const { return resetAlert_; }

protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    void buildSidebar(QWidget* sidebar);
    void showSidebarSelection();
    void buildDetail(QWidget* column);
    void renderFrame();
    void pairingPromptChanged();
    void showPreflightSheet();
    void showResetAlert();
    void addBox(DashboardBox kind, QWidget* content, std::function<void()> render, std::vector<HostModelField> fields);

    std::shared_ptr<HostModel> model_;
    DashboardController controller_;
    ViewContext context_;
    HostModelQt observed_;
    RenderScheduler scheduler_;
    QListWidget* sidebar_ = nullptr;
    std::array<QLabel*, HostModel::allSections.size()> sidebarSymbols_{};
    std::array<QLabel*, HostModel::allSections.size()> sidebarTexts_{};
    BadgeLabel* sessionsBadge_ = nullptr;
    QVBoxLayout* boxesLayout_ = nullptr;
    std::array<QGroupBox*, 6> boxes_{};
    std::array<std::function<void()>, 6> boxRenders_{};
    std::vector<DashboardBox> shownBoxes_;
    QWidget* banner_ = nullptr;
    QPointer<PairingApprovalView> pairingSheet_;
    QPointer<WakePreflightSheet> preflightSheet_;
    QPointer<QMessageBox> resetAlert_;
    QPointer<HostSettingsView> settings_;
    bool shownOnce_ = false;
};

} // namespace velorinth
