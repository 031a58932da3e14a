#pragma once
// Listbox: a list of rows under a heading, with text or check-box columns. Each row also keeps
// cells beyond the shown columns, which are never displayed and move with their row. Rows are
// counted from 0; a row or column that does not exist raises OutOfBoundsException.
// Events: CellAction(row, column) after the user changed a check box (raised from the event
// loop, once the click is over, so that a handler may rebuild the list), and Change when the
// selection changes. A click on a check box changes the box only, not the selection. The
// heading row is in the small system font, so that short headings fit narrow columns, and a
// text cut off at its cell's edge shows whole in the cell's help tag. Main thread only.

#include "platform/ui/control.h"

#include <QTreeWidget>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::ui {

class Listbox final : public QTreeWidget, public Control {
    Q_OBJECT
 public:
    enum ColumnKind { TextColumn, CheckBoxColumn };

    Listbox(Window& window, const ControlPlacement& placement, int columnCount);

    int ColumnCount() const { return columnCount(); }
    // Comma-separated widths, each in pixels ("120") or as a share of the list's width ("70%").
    void SetColumnWidths(std::string_view widths);
    void SetHasHeading(bool shown);
    // Headings separated by tab characters, one per column.
    void SetInitialHeadings(std::string_view headings);
    std::string Heading(int column) const;
    void SetHeading(int column, std::string_view text);
    ColumnKind ColumnType(int column) const;
    void SetColumnType(int column, ColumnKind kind);
    void SetRowHeight(int pixels);

    void AddRow(std::string_view text);  // at the end; LastIndex names it
    int LastIndex() const { return lastIndex_; }
    int ListCount() const { return topLevelItemCount(); }
    void DeleteAllRows();

    // Any column from 0, also beyond the shown ones.
    std::string Cell(int row, int column) const;
    void SetCell(int row, int column, std::string_view text);
    bool CellCheck(int row, int column) const;
    void SetCellCheck(int row, int column, bool checked);

    int ListIndex() const;  // the selected row, or -1
    void SetListIndex(int row);
    // How far the rows are scrolled (the scroll bar's value); a position past the end stops there.
    int ScrollPosition() const;
    void SetScrollPosition(int position);
    int HeadingIndex() const { return headingIndex_; }  // the sort column, or -1
    void SetHeadingIndex(int column) { headingIndex_ = column; }
    // Ascending by the sort column, ignoring letter case; rows that compare equal keep their order.
    void Sort();

    std::function<void(int row, int column)> CellAction;
    std::function<void()> Change;

 protected:
    void resizeEvent(QResizeEvent* event) override;

 private:
    class Row;
    class Delegate;
    Row& row(int index) const;
    void checkColumn(int column) const;
    void applyColumnWidths();
    void cellChanged(QTreeWidgetItem* item, int column);

    struct ColumnWidth {
        double value = 0;
        bool share = false;  // a percentage of the list's width
    };
    std::vector<ColumnWidth> widths_;
    std::vector<ColumnKind> kinds_;
    int lastIndex_ = -1;
    int headingIndex_ = -1;
    int rowHeight_ = 0;
    bool changingByProgram_ = false;  // set while the program itself changes cells
};

}  // namespace platform::ui
