#include "bitmapbutton.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

#include "resources.h"

namespace {

constexpr int index(BitmapButton::Face face) { return static_cast<int>(face); }

// The focus frame lies this far inside the button's edge, on the raised face.
constexpr int kFocusInset = 3;

}  // namespace

BitmapButton::BitmapButton(QWidget* parent) : QAbstractButton(parent) { setFocusPolicy(Qt::StrongFocus); }

BitmapButton::BitmapButton(const QString& text, QWidget* parent) : BitmapButton(parent) { setText(text); }

BitmapButton::~BitmapButton() = default;

bool BitmapButton::loadBitmaps(int normal, int selected, int focus, int disabled) {
    auto byId = [](int id) { return id != 0 ? velmo::loadBitmapResource(id) : QImage(); };
    for (QImage& image : images_) image = QImage();
    images_[index(Face::Normal)] = byId(normal);
    if (images_[index(Face::Normal)].isNull()) {
        update();
        return false;
    }
    bool all = true;
    const int ids[] = {selected, focus, disabled};
    const Face faces[] = {Face::Selected, Face::Focus, Face::Disabled};
    for (int i = 0; i < 3; ++i) {
        if (ids[i] == 0) continue;
        images_[index(faces[i])] = byId(ids[i]);
        if (images_[index(faces[i])].isNull()) all = false;
    }
    updateGeometry();
    update();
    return all;
}

bool BitmapButton::loadBitmaps(const QString& normal, const QString& selected, const QString& focus,
                               const QString& disabled) {
    for (QImage& image : images_) image = QImage();
    images_[index(Face::Normal)] = velmo::loadBitmapResource(normal);
    if (images_[index(Face::Normal)].isNull()) {
        update();
        return false;
    }
    bool all = true;
    const QString* names[] = {&selected, &focus, &disabled};
    const Face faces[] = {Face::Selected, Face::Focus, Face::Disabled};
    for (int i = 0; i < 3; ++i) {
        if (names[i]->isEmpty()) continue;
        images_[index(faces[i])] = velmo::loadBitmapResource(*names[i]);
        if (images_[index(faces[i])].isNull()) all = false;
    }
    updateGeometry();
    update();
    return all;
}

void BitmapButton::sizeToContent() {
    const QImage& normal = images_[index(Face::Normal)];
    if (!normal.isNull()) resize(normal.size());
}

void BitmapButton::setScaledContents(bool on) {
    if (on == scaled_) return;
    scaled_ = on;
    update();
}

BitmapButton::Face BitmapButton::currentFace() const {
    auto has = [this](Face face) { return !images_[index(face)].isNull(); };
    if (isDown() && has(Face::Selected)) return Face::Selected;
    if (hasFocus() && has(Face::Focus)) return Face::Focus;
    if (!isEnabled() && has(Face::Disabled)) return Face::Disabled;
    return Face::Normal;
}

const QImage& BitmapButton::image(Face face) const { return images_[index(face)]; }

QSize BitmapButton::sizeHint() const {
    const QImage& normal = images_[index(Face::Normal)];
    return normal.isNull() ? QSize(16, 16) : normal.size();
}

void BitmapButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QImage& face = images_[index(currentFace())];
    if (face.isNull()) {
        painter.fillRect(rect(), palette().color(QPalette::Button));
        return;
    }
    if (scaled_)
        painter.drawImage(QRectF(rect()), face, QRectF(face.rect()));
    else
        painter.drawImage(QPointF(0, 0), face);
    if (hasFocus() && !focusFaceShowsFocus()) {
        // The window binds the normal image as the focus one: without a frame
        // a keyboard user could not tell where the focus is.
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect().adjusted(kFocusInset, kFocusInset, -kFocusInset, -kFocusInset);
        option.backgroundColor = palette().color(QPalette::Button);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

bool BitmapButton::focusFaceShowsFocus() const {
    const QImage& focus = images_[index(Face::Focus)];
    return !focus.isNull() && focus != images_[index(Face::Normal)];
}
