#pragma once

#include "host/presenters/SessionsPresenter.hpp"
#include "host/qt/QtStyle.hpp"
#include "host/qt/ViewContext.hpp"

#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <utility>
#include <vector>

namespace velorinth {

// The "Active Authenticated Sessions" box. Rows are rebuilt only when the
// sessions or their badges change; otherwise their texts are updated in place.
class SessionsListView : public QWidget {
public:
    SessionsListView(ViewContext context, QWidget* parent = nullptr);
    void render();
    std::uint64_t rebuilds() const noexcept { return rebuilds_; }

private:
    struct Row {
        QWidget* widget;
        QLabel* symbol;
        QLabel* title;
        std::vector<BadgeLabel*> badges;
        QLabel* fingerprint;
        QLabel* details;
        QFrame* divider;
    };
    void rebuild(const SessionsPresentation& presentation);
    void fill(Row& row, const SessionRowPresentation& presentation);

    ViewContext context_;
    QWidget* empty_;
    QLabel* emptySymbol_;
    QLabel* emptyText_;
    QVBoxLayout* rowsLayout_;
    std::vector<Row> rows_;
    std::vector<std::pair<Uuid, std::size_t>> shape_; // each row's id and badge count
    std::vector<ActiveSessionDescriptor> sessions_;
    std::uint64_t rebuilds_ = 0;
};

} // namespace velorinth
