// Dialog templates place their controls in dialog units: a quarter of the
// dialog font's average character width across, an eighth of its character
// height down. DialogUnits turns them into pixels for one font, rounding each
// value on its own as the system dialogs did.
#pragma once

#include <QFont>
#include <QRect>
#include <QStringList>

namespace velmo {

class DialogUnits {
  public:
    // The average width of the 52 letters A-Z a-z, rounded to whole pixels,
    // and the font's line height (ascent and descent).
    explicit DialogUnits(const QFont& font);
    DialogUnits(int charWidth, int charHeight) : charWidth_(charWidth), charHeight_(charHeight) {}

    int charWidth() const { return charWidth_; }
    int charHeight() const { return charHeight_; }

    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    // A template rectangle (left, top, width, height in dialog units).
    QRect toPixels(int left, int top, int width, int height) const;

  private:
    int charWidth_;
    int charHeight_;
};

// A font by its template name and point size. Families missing here fall back
// to a metric-compatible one (Debian's fonts-liberation), so that dialog units
// come out as they were designed.
QFont templateFont(const QString& family, int pointSize);

// The family itself and its metric-compatible stand-ins, in order of preference.
QStringList fontFamiliesFor(const QString& family);

}  // namespace velmo
