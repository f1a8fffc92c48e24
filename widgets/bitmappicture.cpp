#include "bitmappicture.h"

#include <QEvent>
#include <QPainter>

#include "resources.h"

namespace {

// The three greys a bitmap drawn for a standard palette uses for its
// three-dimensional shading; they are repainted in the palette's own colours.
constexpr QRgb kGreyShadow = qRgb(128, 128, 128);
constexpr QRgb kGreyFace = qRgb(192, 192, 192);
constexpr QRgb kGreyLight = qRgb(223, 223, 223);

QImage mapSystemGreys(const QImage& source, const QPalette& palette) {
    QImage image = source.convertToFormat(source.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const QRgb shadow = palette.color(QPalette::Dark).rgb();
    const QRgb face = palette.color(QPalette::Button).rgb();
    const QRgb light = palette.color(QPalette::Midlight).rgb();
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = line[x];
            if (qAlpha(p) != 255) continue;
            const QRgb rgb = p & 0x00FFFFFFu;
            if (rgb == (kGreyShadow & 0x00FFFFFFu))
                line[x] = shadow;
            else if (rgb == (kGreyFace & 0x00FFFFFFu))
                line[x] = face;
            else if (rgb == (kGreyLight & 0x00FFFFFFu))
                line[x] = light;
        }
    }
    return image;
}

}  // namespace

BitmapPicture::BitmapPicture(QWidget* parent) : QWidget(parent) {}

BitmapPicture::BitmapPicture(const QString& text, QWidget* parent) : QWidget(parent), text_(text) {}

BitmapPicture::~BitmapPicture() = default;

bool BitmapPicture::loadFromId(int id) {
    resourceId_ = id;
    resourceName_.clear();
    QImage image = velmo::loadBitmapResource(id);
    if (image.isNull()) return false;
    return attach(std::move(image));
}

bool BitmapPicture::loadFromName(const QString& name) {
    resourceId_ = -1;
    resourceName_ = name;
    QImage image = velmo::loadBitmapResource(name);
    if (image.isNull()) return false;
    return attach(std::move(image));
}

bool BitmapPicture::reloadBitmap() {
    if (resourceId_ > 0) return loadFromId(resourceId_);
    if (!resourceName_.isEmpty()) return loadFromName(resourceName_);
    return false;
}

bool BitmapPicture::attach(QImage image) {
    bitmap_ = mapSystemGreys(image, palette());
    update();
    return !bitmap_.isNull();
}

void BitmapPicture::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    update();
}

void BitmapPicture::setCenterImage(bool on) {
    if (on == centerImage_) return;
    centerImage_ = on;
    update();
}

QSize BitmapPicture::sizeHint() const {
    if (hasBitmap()) return bitmap_.size();
    return fontMetrics().size(Qt::TextSingleLine, text_) + QSize(4, 2);
}

void BitmapPicture::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = rect();
    if (hasBitmap()) {
        // The picture is stretched from all but its last column and row, the way
        // this control has always drawn its bitmaps; a bitmap one pixel wide or
        // high would have nothing left, so it is drawn whole.
        QRectF source(0, 0, bitmap_.width() - 1, bitmap_.height() - 1);
        if (source.width() < 1 || source.height() < 1) source = QRectF(bitmap_.rect());
        painter.drawImage(QRectF(area), bitmap_, source);
    } else {
        painter.fillRect(area, palette().color(QPalette::Button));
    }

    if (text_.isEmpty()) return;
    // One line, never wrapped, '&' shown as it is; always centred across.
    int flags = Qt::TextSingleLine | Qt::AlignHCenter | Qt::TextDontClip;
    flags |= centerImage_ ? Qt::AlignVCenter : Qt::AlignTop;
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setFont(font());
    painter.drawText(area, flags, text_);
}

void BitmapPicture::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // A new palette changes the colours the bitmap's greys are drawn in.
    if (event->type() == QEvent::PaletteChange) reloadBitmap();
}
