// A static control that paints itself: a bitmap stretched over its whole area
// with the control's text on top, or, without a bitmap, the button-face
// colour with the text, which makes it a label drawn by the program.
//
// Bitmaps come from the compiled-in resources (resources.h) by id or by name;
// the greys of a bitmap (128, 192 and 223) are drawn in the control's current
// shadow, button and light colours and follow a palette change.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

class BitmapPicture : public QWidget {
    Q_OBJECT

  public:
    explicit BitmapPicture(QWidget* parent = nullptr);
    explicit BitmapPicture(const QString& text, QWidget* parent = nullptr);
    ~BitmapPicture() override;

    // Loads bitmap `id` (":/bitmaps/<id>.png"). The id is recorded for
    // reloadBitmap and the name forgotten even when the load fails; on failure
    // the bitmap shown so far stays. True when the new bitmap is shown.
    bool loadFromId(int id);

    // Loads a bitmap by name (see velmo::bitmapResourcePath). Records the name
    // and forgets the id (it becomes -1); results as loadFromId.
    bool loadFromName(const QString& name);

    // Loads again what was last asked for: by id when the id is above 0, else
    // by name when there is one; false when there is neither.
    bool reloadBitmap();

    bool hasBitmap() const { return !bitmap_.isNull(); }
    QSize bitmapSize() const { return bitmap_.size(); }
    const QImage& bitmap() const { return bitmap_; }
    int resourceId() const { return resourceId_; }
    const QString& resourceName() const { return resourceName_; }

    // The control's text, drawn on one line, centred across the control.
    QString text() const { return text_; }
    void setText(const QString& text);

    // Centred-image style: the text is also centred from top to bottom;
    // without it the text sits at the top.
    bool centerImage() const { return centerImage_; }
    void setCenterImage(bool on);

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    bool attach(QImage image);

    QImage bitmap_;
    int resourceId_ = -1;
    QString resourceName_;
    QString text_;
    bool centerImage_ = false;
};
