#include "songlistbox.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHelpEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QToolTip>
#include <QUrl>
#include <algorithm>

namespace velmo {

namespace {

// Draws the lines the list box marks as left out: greyed, in italics and struck through.
class MarkedLineDelegate : public QStyledItemDelegate {
  public:
    explicit MarkedLineDelegate(SongListBox* box) : QStyledItemDelegate(box), box_(box) {}

  protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (!box_->lineMarked(index.row())) return;
        option->font.setItalic(true);
        option->font.setStrikeOut(true);
        option->palette.setColor(QPalette::Text, option->palette.color(QPalette::Disabled, QPalette::Text));
    }

  private:
    SongListBox* box_;
};

}  // namespace

SongListBox::SongListBox(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new MarkedLineDelegate(this));
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSortingEnabled(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Long names are cut by the list's edge and read by scrolling, never
    // shortened with an ellipsis.
    setTextElideMode(Qt::ElideNone);
    setWordWrap(false);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
}

void SongListBox::setHorizontalExtent(int pixels) {
    extent_ = pixels < 0 ? 0 : pixels;
    // As with the system list box, an extent wider than the list keeps the
    // horizontal scroll bar up, lines or none.
    setHorizontalScrollBarPolicy(extent_ > viewport()->width() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
    updateGeometries();
}

QString SongListBox::lineToolTip(int line) const {
    if (!toolTipSource_ || line < 0 || line >= count()) return QString();
    return toolTipSource_(line);
}

bool SongListBox::lineMarked(int line) const {
    return markSource_ && line >= 0 && line < count() && markSource_(line);
}

bool SongListBox::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex index = indexAt(help->pos());
        const QString tip = index.isValid() ? lineToolTip(index.row()) : QString();
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            // The tip holds a file's name, which may look like markup: shown as plain text.
            QToolTip::showText(help->globalPos(), Qt::convertFromPlainText(tip, Qt::WhiteSpaceNormal), viewport(),
                               visualRect(index));
        return true;
    }
    return QListWidget::viewportEvent(event);
}

int SongListBox::selectedLine() const {
    const std::vector<int> lines = selectedLines();
    return lines.empty() ? -1 : lines.front();
}

void SongListBox::selectLine(int index) {
    if (index < 0 || index >= count()) {
        clearSelection();
        setCurrentRow(-1);
        return;
    }
    setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
}

std::vector<int> SongListBox::selectedLines() const {
    std::vector<int> lines;
    for (const QModelIndex& index : selectionModel()->selectedRows()) lines.push_back(index.row());
    std::sort(lines.begin(), lines.end());
    return lines;
}

void SongListBox::selectLines(const std::vector<int>& lines) {
    QItemSelection selection;
    for (const int line : lines)
        if (line >= 0 && line < count()) selection.select(model()->index(line, 0), model()->index(line, 0));
    if (selection.isEmpty()) {
        selectLine(-1);
        return;
    }
    // The first line is where the keyboard goes on from; Shift extends from it.
    selectionModel()->setCurrentIndex(selection.indexes().front(), QItemSelectionModel::NoUpdate);
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void SongListBox::updateGeometries() {
    QListWidget::updateGeometries();
    if (extent_ <= 0) return;
    // The lines' own width never shrinks the extent; a line wider than it
    // still scrolls into view.
    QScrollBar* bar = horizontalScrollBar();
    const int width = viewport()->width();
    const int range = qMax(extent_ - width, bar->maximum());
    bar->setRange(0, qMax(0, range));
    bar->setPageStep(width);
    bar->setSingleStep(qMax(1, fontMetrics().averageCharWidth()));
}

QStringList localFilesOf(const QMimeData* data) {
    QStringList paths;
    if (data == nullptr || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    return paths;
}

void SongListBox::dragEnterEvent(QDragEnterEvent* event) {
    if (localFilesOf(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void SongListBox::dragMoveEvent(QDragMoveEvent* event) {
    if (localFilesOf(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void SongListBox::dropEvent(QDropEvent* event) {
    const QStringList paths = localFilesOf(event->mimeData());
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    // The files are only read, never moved: the source keeps them.
    event->setDropAction(Qt::CopyAction);
    event->accept();
    emit filesDropped(paths);
}

}  // namespace velmo
