// One horizontal band of a dialog template as a Qt layout. The controls are
// given at their template rectangles (dialog units); the band becomes a grid
// whose lines are the controls' edges in pixels, so at the template's size
// every control sits exactly where the template puts it. When the window
// grows, the room goes to one column (and, in the band that takes the
// height, one row): controls that span it stretch, controls beyond it move
// with the right (or bottom) edge, the others stay.
//
//   velmo::TemplateBand band(units, 39, 130, 324);  // y 39 up to 130, whole width
//   band.add(list, 20, 39, 268, 89);
//   band.add(up, 293, 45, 12, 12);
//   band.growAt(100, 80);                          // the list takes the room
//   windowLayout->addLayout(band.build(), 1);
//
// Widgets keep their parent (a layout does not reparent them), so the window
// can still find each control among its own children.
#pragma once

#include <QRect>
#include <optional>
#include <vector>

#include "dialog_units.h"

class QGridLayout;
class QWidget;

namespace velmo {

class TemplateBand {
  public:
    // The band from template row `top` up to `bottom` (dialog units), across
    // `width` dialog units.
    TemplateBand(const DialogUnits& units, int top, int bottom, int width);

    // A control at its template rectangle; a part outside the band is cut.
    void add(QWidget* widget, int x, int y, int width, int height);

    // Where the room goes when the window grows: the columns (rows) from
    // template position `x` (`y`) on are the ones that stretch. No row given:
    // the band keeps its height.
    void growAt(int x, std::optional<int> y = std::nullopt);

    // The band's grid, without margins or spacing. The controls' own size
    // hints no longer count: the template decides their sizes.
    QGridLayout* build() const;

  private:
    struct Item {
        QWidget* widget;
        QRect pixels;  // relative to the band's top-left corner
    };

    const DialogUnits& units_;
    int top_;
    QRect band_;  // in pixels, at the origin
    std::vector<Item> items_;
    int growX_ = 0;
    std::optional<int> growY_;
};

}  // namespace velmo
