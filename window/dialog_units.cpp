#include "dialog_units.h"

#include <QFontMetrics>

namespace velmo {

namespace {

// a * b / c rounded half away from zero, as MulDiv gives it.
int mulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    charWidth_ = (letters / 26 + 1) / 2;
    charHeight_ = metrics.height();
}

int DialogUnits::toPixelsX(int units) const { return mulDiv(units, charWidth_, 4); }

int DialogUnits::toPixelsY(int units) const { return mulDiv(units, charHeight_, 8); }

QRect DialogUnits::toPixels(int left, int top, int width, int height) const {
    return QRect(toPixelsX(left), toPixelsY(top), toPixelsX(width), toPixelsY(height));
}

QStringList fontFamiliesFor(const QString& family) {
    QStringList families{family};
    if (family == QLatin1String("Times New Roman")) families << QStringLiteral("Liberation Serif");
    if (family == QLatin1String("MS Sans Serif") || family == QLatin1String("Arial"))
        families << QStringLiteral("Liberation Sans");
    return families;
}

QFont templateFont(const QString& family, int pointSize) {
    QFont font(family, pointSize);
    font.setFamilies(fontFamiliesFor(family));
    const bool serif = family == QLatin1String("Times New Roman");
    font.setStyleHint(serif ? QFont::Serif : QFont::SansSerif);
    return font;
}

}  // namespace velmo
