#pragma once

#include "host/presenters/IdentityCardPresenter.hpp"
#include "host/qt/ViewContext.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <functional>

#include <vector>

namespace velorinth {

// The "Host Cryptographic Identity" box. "Reset Identity…" asks the
// dashboard for its confirmation alert.
class IdentityCardView : public QWidget {
public:
    IdentityCardView(ViewContext context, std::function<void()> requestReset, QWidget* parent = nullptr);
    void render();

private:
    ViewContext context_;
    std::function<void()> requestReset_;
    QWidget* loading_;
    QLabel* loadingText_;
    QWidget* content_;
    QLabel* fingerprint_;
    QLabel* identifier_;
    QWidget* tunnelRow_;
    QLabel* tunnelSymbol_;
    QLabel* tunnelTitle_;
    QHBoxLayout* tunnelButtons_;
    std::vector<TunnelEndpointButton> shownEndpoints_;
    std::vector<QPushButton*> endpointButtons_;
    QLabel* explanation_;
};

} // namespace velorinth
