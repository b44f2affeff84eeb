#pragma once
// The list grid: five owner-drawn columns over the batch core's file list.
// Row r of the grid (r >= 1) is model row r-1; the header row is the view's
// horizontal header.
#include <functional>
#include <vector>

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <QTableView>

#include "FileEntry.h"

namespace lumaro::ui {

enum TGridColumn { gcNumber = 0, gcName = 1, gcSizeBefore = 2, gcSizeAfter = 3, gcFolder = 4, gcCount = 5 };

// Presents the entries; the row count is the one the core last set, so the
// grid never shows more rows than the core announced.
class TFileGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TFileGridModel(const std::vector<TFileEntry>& list, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void SetDataRows(int rows);
    void RefreshAll();

private:
    const std::vector<TFileEntry>& List;
    int Rows = 0;
};

// Paints the standard cell background, then the text at the grid's own
// placement: two pixels from the left or right edge, centred vertically.
class TGridDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The view. Mouse handling follows the list's rules: a right press selects
// the row under the pointer unless it lies in the selection; a press below
// the last row changes nothing; a double click anywhere reports itself.
class TFileGrid : public QTableView {
    Q_OBJECT
public:
    explicit TFileGrid(QWidget* parent = nullptr);

    // Rows as the grid numbers them (1 = first entry); 0 when nowhere.
    int RowAt(const QPoint& viewportPos) const;
    // Data rows that fit in the visible area.
    int VisibleDataRows() const;

signals:
    void RightPressed(int row);
    void DoubleClicked();

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
};

} // namespace lumaro::ui
