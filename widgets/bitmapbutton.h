// A push button drawn entirely by four bitmaps: normal, selected (pressed),
// focused and disabled; with no focus image of its own, a focus frame marks
// the focused button. Only the normal one is required; a state without its
// own bitmap is drawn with the normal one. The button's text is not drawn (it
// names the button for tests and accessibility).
#pragma once

#include <QAbstractButton>
#include <QImage>
#include <QString>

class BitmapButton : public QAbstractButton {
    Q_OBJECT

  public:
    enum class Face { Normal, Selected, Focus, Disabled };

    explicit BitmapButton(QWidget* parent = nullptr);
    explicit BitmapButton(const QString& text, QWidget* parent = nullptr);
    ~BitmapButton() override;

    // Loads the four bitmaps by resource id (0: that state has none) and drops
    // the ones loaded before. False when the normal bitmap is missing (nothing
    // else is loaded then) or when a non-zero id of another state is missing
    // (the others are loaded all the same).
    bool loadBitmaps(int normal, int selected = 0, int focus = 0, int disabled = 0);

    // The same by name (velmo::bitmapResourcePath); an empty name: none.
    bool loadBitmaps(const QString& normal, const QString& selected = QString(), const QString& focus = QString(),
                     const QString& disabled = QString());

    // Resizes the button to its normal bitmap.
    void sizeToContent();

    // Off (the default): each bitmap is drawn at its own size from the button's
    // top-left corner. On: it is stretched over the whole button.
    bool scaledContents() const { return scaled_; }
    void setScaledContents(bool on);

    // The face the next paint uses: Selected while pressed, else Focus while it
    // has the focus, else Disabled while disabled, else Normal; each falls back
    // to Normal when that state has no bitmap.
    Face currentFace() const;
    const QImage& image(Face face) const;

    QSize sizeHint() const override;

    // A focus image of its own, unlike the normal one, shows the focus; else
    // a focused button draws the style's focus frame over its face.
    bool focusFaceShowsFocus() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QImage images_[4];
    bool scaled_ = false;
};
