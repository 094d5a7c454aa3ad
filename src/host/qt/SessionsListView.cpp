#include "host/qt/SessionsListView.hpp"

#include <QFrame>
#include <QHBoxLayout>

namespace velorinth {

SessionsListView::SessionsListView(ViewContext context, QWidget* parent)
    : QWidget(parent), context_(std::move(context)) {
    setObjectName("sessionsList");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    empty_ = new QWidget;
    empty_->setObjectName("sessionsEmpty");
    auto* emptyRow = new QHBoxLayout(empty_);
    emptyRow->setContentsMargins(0, 8, 0, 8);
    emptySymbol_ = symbolLabel("sessionsEmptySymbol", 16);
    emptyText_ = textLabel("sessionsEmptyText");
    emptyText_->setWordWrap(true);
    emptyRow->addWidget(emptySymbol_);
    emptyRow->addWidget(emptyText_, 1);
    layout->addWidget(empty_);
    rowsLayout_ = new QVBoxLayout;
    rowsLayout_->setSpacing(0);
    layout->addLayout(rowsLayout_);
}

void SessionsListView::render() {
    const SessionsPresentation p = SessionsPresenter::present(*context_.model, context_.formats);
    empty_->setVisible(p.rows.empty());
    showSymbol(emptySymbol_, p.emptySymbol, 16);
    showText(emptyText_, p.emptyText, Tint::secondary);
    std::vector<std::pair<Uuid, std::size_t>> shape;
    sessions_.clear();
    for (const SessionRowPresentation& row : p.rows) {
        shape.emplace_back(row.session.id, row.badges.size());
        sessions_.push_back(row.session);
    }
    if (shape != shape_) {
        shape_ = std::move(shape);
        rebuild(p);
        return;
    }
    for (std::size_t i = 0; i < rows_.size(); ++i) fill(rows_[i], p.rows[i]);
}

void SessionsListView::rebuild(const SessionsPresentation& presentation) {
    ++rebuilds_;
    for (Row& row : rows_) delete row.widget;
    rows_.clear();
    for (std::size_t index = 0; index < presentation.rows.size(); ++index) {
        const SessionRowPresentation& shown = presentation.rows[index];
        Row row{};
        row.widget = new QWidget;
        row.widget->setObjectName("sessionRow");
        auto* outer = new QVBoxLayout(row.widget);
        outer->setContentsMargins(0, 0, 0, 0);
        outer->setSpacing(0);
        auto* line = new QHBoxLayout;
        line->setContentsMargins(0, 10, 0, 10);
        row.symbol = symbolLabel("sessionSymbol", 26);
        line->addWidget(row.symbol);
        auto* column = new QVBoxLayout;
        column->setSpacing(3);
        auto* titleRow = new QHBoxLayout;
        titleRow->setSpacing(8);
        row.title = textLabel("sessionTitle", 0, QFont::DemiBold);
        titleRow->addWidget(row.title);
        for (std::size_t b = 0; b < shown.badges.size(); ++b) {
            row.badges.push_back(new BadgeLabel("sessionBadge"));
            titleRow->addWidget(row.badges.back());
        }
        titleRow->addStretch();
        column->addLayout(titleRow);
        row.fingerprint = textLabel("sessionFingerprint", -1);
        setMonospaced(row.fingerprint);
        column->addWidget(row.fingerprint);
        row.details = textLabel("sessionDetails", -2);
        column->addWidget(row.details);
        line->addLayout(column, 1);
        auto* disconnect = new QPushButton(qtText(std::string(SessionsPresenter::kDisconnectTitle)));
        disconnect->setObjectName("sessionDisconnect");
        disconnect->setAutoDefault(false);
        connect(disconnect, &QPushButton::clicked, this, [this, index] {
            if (index < sessions_.size()) SessionsPresenter::disconnect(*context_.model, sessions_[index]);
        });
        line->addWidget(disconnect);
        outer->addLayout(line);
        row.divider = divider("sessionDivider");
        outer->addWidget(row.divider);
        rowsLayout_->addWidget(row.widget);
        row.widget->show(); // a child added to a shown widget stays hidden until told
        fill(row, shown);
        rows_.push_back(row);
    }
}

void SessionsListView::fill(Row& row, const SessionRowPresentation& presentation) {
    showSymbol(row.symbol, presentation.symbol, 26);
    showText(row.title, presentation.title);
    for (std::size_t b = 0; b < row.badges.size(); ++b) row.badges[b]->show(presentation.badges[b]);
    showText(row.fingerprint, presentation.fingerprint, Tint::secondary);
    showText(row.details, presentation.details, Tint::secondary);
    row.divider->setVisible(presentation.hasDivider);
}

} // namespace velorinth
