// Helpers shared by the widget tests: draw a widget into an image and look at
// its pixels.
#pragma once

#include <QImage>
#include <QRect>
#include <QWidget>

namespace velmo::test {

inline QImage renderWidget(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_RGB32);
    image.fill(Qt::magenta);
    widget.render(&image);
    return image;
}

// The smallest rectangle around every pixel that is not `background`.
inline QRect inkBounds(const QImage& image, QRgb background, int* count = nullptr) {
    QRect bounds;
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFFu) != (background & 0xFFFFFFu)) {
                bounds |= QRect(x, y, 1, 1);
                ++n;
            }
    if (count) *count = n;
    return bounds;
}

}  // namespace velmo::test
