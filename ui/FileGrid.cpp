#include "FileGrid.h"

#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>

#include "DisplayText.h"

namespace lumaro::ui {

namespace {
QString U(const std::string& s) { return QString::fromStdString(s); }
}

TFileGridModel::TFileGridModel(const std::vector<TFileEntry>& list, QObject* parent)
    : QAbstractTableModel(parent), List(list) {}

int TFileGridModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Rows; }
int TFileGridModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : gcCount; }

void TFileGridModel::SetDataRows(int rows) {
    rows = std::max(0, rows);
    if (rows > Rows) {
        beginInsertRows({}, Rows, rows - 1);
        Rows = rows;
        endInsertRows();
    } else if (rows < Rows) {
        beginRemoveRows({}, rows, Rows - 1);
        Rows = rows;
        endRemoveRows();
    }
    RefreshAll();
}

void TFileGridModel::RefreshAll() {
    if (Rows > 0) emit dataChanged(index(0, 0), index(Rows - 1, gcCount - 1));
}

QVariant TFileGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= Rows || index.row() >= static_cast<int>(List.size())) return {};
    const TFileEntry& e = List[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case gcNumber: return QString::number(index.row() + 1);
        case gcName: return U(FileNamePart(e.SourcePath));
        case gcSizeBefore: return FormatSize(e.SizeBefore);
        case gcSizeAfter: return e.SizeAfter == -1 ? QStringLiteral("未処理") : FormatSize(e.SizeAfter);
        case gcFolder: return U(FolderPart(e.SourcePath));
        }
    } else if (role == Qt::TextAlignmentRole) {
        switch (index.column()) {
        case gcNumber:
        case gcSizeBefore: return int(Qt::AlignRight | Qt::AlignVCenter);
        case gcSizeAfter:
            return int((e.SizeAfter == -1 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
        default: return int(Qt::AlignLeft | Qt::AlignVCenter);
        }
    } else if (role == Qt::ToolTipRole && index.column() == gcFolder) {
        return U(e.SourcePath);
    }
    return {};
}

QVariant TFileGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::DisplayRole) {
        switch (section) {
        case gcName: return QStringLiteral("ファイル名");
        case gcSizeBefore: return QStringLiteral("処理前サイズ");
        case gcSizeAfter: return QStringLiteral("処理後サイズ");
        case gcFolder: return QStringLiteral("フルパス");
        default: return QString();
        }
    }
    if (role == Qt::TextAlignmentRole) {
        const bool right = section == gcSizeBefore || section == gcSizeAfter;
        return int((right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
    }
    return {};
}

void TGridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const QString text = opt.text;
    opt.text.clear();
    const QWidget* w = opt.widget;
    QStyle* style = w ? w->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, w);  // background and selection

    const bool selected = opt.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = (opt.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
    painter->save();
    painter->setClipRect(opt.rect);
    painter->setFont(opt.font);
    painter->setPen(opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    const QFontMetrics fm(opt.font);
    const QRect r = opt.rect;
    const int h = fm.height();
    const int top = (r.top() + r.bottom() + 1 - h) / 2;  // (Top + Bottom - H) / 2, Bottom exclusive
    const int x = (opt.displayAlignment & Qt::AlignRight) ? r.right() + 1 - 2 - fm.horizontalAdvance(text) : r.left() + 2;
    painter->drawText(QPoint(x, top + fm.ascent()), text);
    painter->restore();
}

TFileGrid::TFileGrid(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ContiguousSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setTabKeyNavigation(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(24);
    verticalHeader()->setMinimumSectionSize(8);
    QHeaderView* header = horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);  // the user sizes the columns
    header->setStretchLastSection(false);
    header->setSectionsClickable(false);  // the header row selects nothing
    header->setSectionsMovable(false);
    header->setMinimumSectionSize(8);
    header->setHighlightSections(false);
    header->setFixedHeight(24);
    header->installEventFilter(this);
    header->viewport()->installEventFilter(this);
    setItemDelegate(new TGridDelegate(this));
}

int TFileGrid::RowAt(const QPoint& viewportPos) const {
    const QModelIndex i = indexAt(viewportPos);
    return i.isValid() ? i.row() + 1 : 0;
}

int TFileGrid::VisibleDataRows() const {
    const int rowHeight = verticalHeader()->defaultSectionSize();
    return std::max(1, viewport()->height() / std::max(1, rowHeight));
}

void TFileGrid::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::RightButton) {
        emit RightPressed(RowAt(e->position().toPoint()));
        e->accept();
        return;
    }
    // A press below the last row keeps the selection as it is.
    if (!indexAt(e->position().toPoint()).isValid()) {
        e->accept();
        return;
    }
    QTableView::mousePressEvent(e);
}

void TFileGrid::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) emit DoubleClicked();
    e->accept();
}

bool TFileGrid::eventFilter(QObject* watched, QEvent* e) {
    // The header row is part of the grid: a double click there acts on the
    // current selection, a right press there selects nothing.
    if (watched == horizontalHeader()->viewport() || watched == horizontalHeader()) {
        if (e->type() == QEvent::MouseButtonDblClick) {
            auto* me = static_cast<QMouseEvent*>(e);
            if (me->button() == Qt::LeftButton) emit DoubleClicked();
        }
    }
    return QTableView::eventFilter(watched, e);
}

} // namespace lumaro::ui
