#include "platform/ui/list_box.h"

#include "platform/errors.h"
#include "platform/numbers.h"
#include "platform/text_rule.h"
#include "platform/ui/font.h"
#include "platform/ui/window.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>
#include <map>

namespace platform::ui {

namespace {

QString qtext(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Marks a change made by the program, so that it is not taken for the user's click.
class ProgramChange {
 public:
    explicit ProgramChange(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
    ~ProgramChange() { flag_ = old_; }
    ProgramChange(const ProgramChange&) = delete;
    ProgramChange& operator=(const ProgramChange&) = delete;

 private:
    bool& flag_;
    bool old_;
};

}  // namespace

// Draws every row as tall as the list says, whatever the font would ask for, and shows a text
// that its cell cuts off in a help tag.
class Listbox::Delegate final : public QStyledItemDelegate {
 public:
    Delegate(QObject* parent, const int& height) : QStyledItemDelegate(parent), height_(height) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (height_ > 0) size.setHeight(height_);
        return size;
    }

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        if (event->type() != QEvent::ToolTip) return QStyledItemDelegate::helpEvent(event, view, option, index);
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        const QStyle* style = view->style();
        const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &cell, view);
        // The style's own margin on either side of the text.
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, &cell, view) + 1;
        if (cell.text.isEmpty() || cell.fontMetrics.horizontalAdvance(cell.text) <= textRect.width() - 2 * margin) {
            QToolTip::hideText();
            event->ignore();
            return false;
        }
        QToolTip::showText(event->globalPos(), cell.text, view->viewport(), option.rect);
        return true;
    }

 private:
    const int& height_;
};

// A row with the cells beyond the shown columns.
class Listbox::Row final : public QTreeWidgetItem {
 public:
    Row() : QTreeWidgetItem(UserType) {}

    QString hiddenCell(int column) const {
        const auto it = hidden_.find(column);
        return it == hidden_.end() ? QString() : it->second;
    }
    void setHiddenCell(int column, QString text) { hidden_[column] = std::move(text); }
    QString cell(int column) const { return column < columnCount() ? text(column) : hiddenCell(column); }

 private:
    std::map<int, QString> hidden_;
};

Listbox::Listbox(Window& window, const ControlPlacement& placement, int columnCount)
    : QTreeWidget(&window.contentArea()),
      Control(window, *this, placement),
      kinds_(static_cast<size_t>(columnCount), TextColumn) {
    setColumnCount(columnCount);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAllColumnsShowFocus(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragDropMode(QAbstractItemView::NoDragDrop);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    header()->setSectionResizeMode(QHeaderView::Fixed);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setSectionsClickable(false);
    header()->setFont(fontNamed("smallSystem"));
    setItemDelegate(new Delegate(this, rowHeight_));

    connect(this, &QTreeWidget::itemChanged, this, &Listbox::cellChanged);
    connect(this, &QTreeWidget::itemSelectionChanged, this, [this] { fire(Change); });
}

void Listbox::SetColumnWidths(std::string_view widths) {
    widths_.clear();
    for (const std::string& part : text::splitNoCase(widths, ",")) {
        ColumnWidth width;
        width.share = part.find('%') != std::string::npos;
        width.value = std::max(0.0, Val(part));
        widths_.push_back(width);
    }
    applyColumnWidths();
}

void Listbox::applyColumnWidths() {
    // The viewport leaves out the frame and a shown scroll bar, so the columns always fit.
    const int available = viewport()->width();
    const int count = std::min(ColumnCount(), static_cast<int>(widths_.size()));
    for (int column = 0; column < count; ++column) {
        const ColumnWidth& width = widths_[static_cast<size_t>(column)];
        header()->resizeSection(column, static_cast<int>(width.share ? available * width.value / 100 : width.value));
    }
}

void Listbox::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    applyColumnWidths();
}

void Listbox::SetHasHeading(bool shown) { setHeaderHidden(!shown); }

void Listbox::SetInitialHeadings(std::string_view headings) {
    const std::vector<std::string> parts = text::splitNoCase(headings, "\t");
    for (int column = 0; column < std::min(ColumnCount(), static_cast<int>(parts.size())); ++column)
        SetHeading(column, parts[static_cast<size_t>(column)]);
}

std::string Listbox::Heading(int column) const {
    checkColumn(column);
    return headerItem()->text(column).toStdString();
}

void Listbox::SetHeading(int column, std::string_view text) {
    checkColumn(column);
    headerItem()->setText(column, qtext(text));
}

Listbox::ColumnKind Listbox::ColumnType(int column) const {
    checkColumn(column);
    return kinds_[static_cast<size_t>(column)];
}

void Listbox::SetColumnType(int column, ColumnKind kind) {
    checkColumn(column);
    kinds_[static_cast<size_t>(column)] = kind;
    if (kind != CheckBoxColumn) return;
    const ProgramChange change(changingByProgram_);
    for (int index = 0; index < ListCount(); ++index) {
        Row& each = row(index);
        if (!each.data(column, Qt::CheckStateRole).isValid()) each.setCheckState(column, Qt::Unchecked);
    }
}

void Listbox::SetRowHeight(int pixels) {
    rowHeight_ = pixels;
    scheduleDelayedItemsLayout();
}

void Listbox::AddRow(std::string_view text) {
    const ProgramChange change(changingByProgram_);
    auto* added = new Row();  // the list owns its rows
    added->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    added->setText(0, qtext(text));
    for (int column = 0; column < ColumnCount(); ++column)
        if (kinds_[static_cast<size_t>(column)] == CheckBoxColumn) added->setCheckState(column, Qt::Unchecked);
    addTopLevelItem(added);
    lastIndex_ = ListCount() - 1;
}

void Listbox::DeleteAllRows() {
    const ProgramChange change(changingByProgram_);
    clear();
    lastIndex_ = -1;
}

std::string Listbox::Cell(int index, int column) const {
    if (column < 0) throw OutOfBoundsException("no column " + std::to_string(column));
    return row(index).cell(column).toStdString();
}

void Listbox::SetCell(int index, int column, std::string_view text) {
    if (column < 0) throw OutOfBoundsException("no column " + std::to_string(column));
    Row& target = row(index);
    const ProgramChange change(changingByProgram_);
    if (column < ColumnCount())
        target.setText(column, qtext(text));
    else
        target.setHiddenCell(column, qtext(text));
}

bool Listbox::CellCheck(int index, int column) const {
    checkColumn(column);
    return row(index).checkState(column) == Qt::Checked;
}

void Listbox::SetCellCheck(int index, int column, bool checked) {
    checkColumn(column);
    Row& target = row(index);
    const ProgramChange change(changingByProgram_);
    target.setCheckState(column, checked ? Qt::Checked : Qt::Unchecked);
}

int Listbox::ListIndex() const {
    const QList<QTreeWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? -1 : indexOfTopLevelItem(selected.front());
}

void Listbox::SetListIndex(int index) {
    if (index < 0) {
        clearSelection();
        return;
    }
    setCurrentItem(&row(index));
}

int Listbox::ScrollPosition() const { return verticalScrollBar()->value(); }

void Listbox::SetScrollPosition(int position) {
    // The rows of a rebuild are laid out only when the list is next drawn; until then the scroll
    // range is that of the old rows.
    executeDelayedItemsLayout();
    verticalScrollBar()->setValue(position);
}

void Listbox::Sort() {
    if (headingIndex_ < 0 || ListCount() < 2) return;
    const int column = headingIndex_;
    QTreeWidgetItem* selected = ListIndex() >= 0 ? topLevelItem(ListIndex()) : nullptr;
    // The rows leave and come back; to the user the selection never changed.
    const QSignalBlocker quiet(this);
    const ProgramChange change(changingByProgram_);
    QList<QTreeWidgetItem*> rows = invisibleRootItem()->takeChildren();
    std::stable_sort(rows.begin(), rows.end(), [column](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        return QString::compare(static_cast<const Row*>(a)->cell(column), static_cast<const Row*>(b)->cell(column),
                                Qt::CaseInsensitive) < 0;
    });
    addTopLevelItems(rows);
    if (selected) setCurrentItem(selected);
}

Listbox::Row& Listbox::row(int index) const {
    if (index < 0 || index >= ListCount()) throw OutOfBoundsException("no row " + std::to_string(index));
    return *static_cast<Row*>(topLevelItem(index));
}

void Listbox::checkColumn(int column) const {
    if (column < 0 || column >= ColumnCount()) throw OutOfBoundsException("no column " + std::to_string(column));
}

void Listbox::cellChanged(QTreeWidgetItem* item, int column) {
    if (changingByProgram_ || column < 0 || column >= ColumnCount()) return;
    if (kinds_[static_cast<size_t>(column)] != CheckBoxColumn) return;
    const int index = indexOfTopLevelItem(item);
    if (index < 0) return;
    // The click that changed the box is still being handled; a handler that rebuilds the list
    // would delete the row under it.
    QMetaObject::invokeMethod(this, [this, index, column] { fire(CellAction, index, column); }, Qt::QueuedConnection);
}

}  // namespace platform::ui
