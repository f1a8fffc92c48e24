#include "template_layout.h"

#include <QGridLayout>
#include <QSizePolicy>
#include <QWidget>
#include <algorithm>

namespace velmo {

namespace {

// The sorted, distinct values of `edges`.
std::vector<int> lines(std::vector<int> edges) {
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    return edges;
}

int indexOf(const std::vector<int>& lines, int edge) {
    return static_cast<int>(std::lower_bound(lines.begin(), lines.end(), edge) - lines.begin());
}

}  // namespace

TemplateBand::TemplateBand(const DialogUnits& units, int top, int bottom, int width)
    : units_(units), top_(top), band_(0, 0, units.toPixelsX(width), units.toPixelsY(bottom) - units.toPixelsY(top)) {}

void TemplateBand::add(QWidget* widget, int x, int y, int width, int height) {
    // Each value is rounded on its own, as the template's controls always
    // were: a right edge is the rounded left plus the rounded width.
    QRect r = units_.toPixels(x, y, width, height);
    r.translate(0, -units_.toPixelsY(top_));
    items_.push_back({widget, r.intersected(band_)});
}

void TemplateBand::growAt(int x, std::optional<int> y) {
    growX_ = units_.toPixelsX(x);
    growY_.reset();
    if (y) growY_ = units_.toPixelsY(*y) - units_.toPixelsY(top_);
}

QGridLayout* TemplateBand::build() const {
    std::vector<int> xs{band_.left(), band_.left() + band_.width(), growX_};
    std::vector<int> ys{band_.top(), band_.top() + band_.height()};
    if (growY_) ys.push_back(*growY_);
    for (const Item& item : items_) {
        xs.insert(xs.end(), {item.pixels.left(), item.pixels.left() + item.pixels.width()});
        ys.insert(ys.end(), {item.pixels.top(), item.pixels.top() + item.pixels.height()});
    }
    const std::vector<int> columns = lines(xs);
    const std::vector<int> rows = lines(ys);

    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(0);
    for (size_t c = 0; c + 1 < columns.size(); ++c) {
        grid->setColumnMinimumWidth(static_cast<int>(c), columns[c + 1] - columns[c]);
        grid->setColumnStretch(static_cast<int>(c), columns[c] == growX_ ? 1 : 0);
    }
    for (size_t r = 0; r + 1 < rows.size(); ++r) {
        grid->setRowMinimumHeight(static_cast<int>(r), rows[r + 1] - rows[r]);
        grid->setRowStretch(static_cast<int>(r), growY_ && rows[r] == *growY_ ? 1 : 0);
    }
    for (const Item& item : items_) {
        // The cells give the size: a caption's or a style's wish would move
        // the grid's lines away from the template's.
        item.widget->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
        const int column = indexOf(columns, item.pixels.left());
        const int row = indexOf(rows, item.pixels.top());
        grid->addWidget(item.widget, row, column, indexOf(rows, item.pixels.top() + item.pixels.height()) - row,
                        indexOf(columns, item.pixels.left() + item.pixels.width()) - column);
    }
    return grid;
}

}  // namespace velmo
