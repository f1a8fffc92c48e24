// The main window's song list box (control 1005): several lines may be
// selected (Shift, Ctrl and Ctrl+A as in a file manager), one line
// per song, a horizontal scroll extent of its own, and local files dropped on
// it from a file manager handed on as paths in drop order.
#pragma once

#include <QListWidget>
#include <QStringList>
#include <functional>
#include <vector>

class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QMimeData;

namespace velmo {

class SongListBox : public QListWidget {
    Q_OBJECT

  public:
    explicit SongListBox(QWidget* parent = nullptr);

    // The width in pixels the lines can be scrolled across, whatever they
    // hold; 0: as wide as the longest line.
    void setHorizontalExtent(int pixels);
    int horizontalExtent() const { return extent_; }

    // The first selected line, -1 when none is.
    int selectedLine() const;
    // Selects line `index` and makes it current; -1 clears the selection.
    void selectLine(int index);
    // The selected lines, ascending.
    std::vector<int> selectedLines() const;
    // Selects exactly these lines; the first becomes current.
    void selectLines(const std::vector<int>& lines);

    // Where a line's tooltip comes from: asked when the tooltip is shown, so
    // that it says what holds then (the quality, the clock's size).
    using ToolTipSource = std::function<QString(int line)>;
    void setToolTipSource(ToolTipSource source) { toolTipSource_ = std::move(source); }
    // The tooltip of line `line`; empty for no line or no source.
    QString lineToolTip(int line) const;

    // Which lines are drawn as left out (greyed, italic, struck through):
    // asked whenever a line is drawn. Call viewport()->update() when the
    // answers change.
    using LineMarkSource = std::function<bool(int line)>;
    void setLineMarkSource(LineMarkSource source) { markSource_ = std::move(source); }
    bool lineMarked(int line) const;

  signals:
    // Local files dropped on the list, as the file system names them, in the
    // order the drop lists them.
    void filesDropped(const QStringList& paths);

  protected:
    void updateGeometries() override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool viewportEvent(QEvent* event) override;

  private:
    int extent_ = 0;
    ToolTipSource toolTipSource_;
    LineMarkSource markSource_;
};

// The local files among a drop's URLs, in their order.
QStringList localFilesOf(const QMimeData* data);

}  // namespace velmo
