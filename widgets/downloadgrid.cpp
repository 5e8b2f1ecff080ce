#include "widgets/downloadgrid.h"

#include "widgets/displayframe.h"

#include "platform/contrast.h"

#include <QAccessible>
#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>

namespace larkvale::widgets {

using queue::colFile;
using queue::colNo;
using queue::colProgress;
using queue::colSize;
using queue::colUrl;

namespace {

class GridDelegate : public QStyledItemDelegate {
 public:
  explicit GridDelegate(DownloadGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QPalette& palette = option.palette;
    const int row = index.row();
    const int column = index.column();
    const DownloadGrid::CellLook look = grid_->LookOf(column, row);
    const DownloadGrid::CellColors colors = grid_->ColorsOf(column, row);

    painter->save();
    painter->fillRect(option.rect, colors.background);
    painter->setPen(colors.grid);
    painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
    painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());

    QFont font = option.font;
    font.setBold(look.style & fsBold);
    font.setItalic(look.style & fsItalic);
    font.setUnderline(look.style & fsUnderline);
    font.setStrikeOut(look.style & fsStrikeOut);
    painter->setFont(font);
    painter->setPen(colors.text);

    const QRect area = option.rect.adjusted(3, 0, -3, 0);
    const QString text = index.data(Qt::DisplayRole).toString();
    if (column == colProgress) {
      const double percent = index.data(queue::DownloadList::NumberRole).toDouble();
      if (percent != 0) {
        const int textWidth = painter->fontMetrics().horizontalAdvance(QStringLiteral("100%")) + 6;
        painter->drawText(area.adjusted(0, 0, -(area.width() - textWidth), 0), Qt::AlignLeft | Qt::AlignVCenter,
                          text);
        // A solid bar, bar and frame in the highlight colour, 3 pixels of margin.
        const QRect frame = option.rect.adjusted(3 + textWidth, 3, -4, -4);
        if (frame.width() > 2) {
          const QColor highlight = Resolve(TColor::System(clHighlightIndex), palette);
          painter->setPen(highlight);
          painter->setBrush(Qt::NoBrush);
          painter->drawRect(frame);
          const double filled = std::clamp(percent, 0.0, 100.0) / 100.0;
          painter->fillRect(QRectF(frame.left(), frame.top(), frame.width() * filled, frame.height() + 1), highlight);
        }
      }
    } else {
      const int alignment = index.data(Qt::TextAlignmentRole).toInt();
      painter->drawText(area, alignment,
                        painter->fontMetrics().elidedText(text, Qt::ElideRight, area.width()));
    }
    painter->restore();
  }

 private:
  DownloadGrid* grid_;
};

}  // namespace

GridView::GridView(DownloadGrid* grid, QWidget* parent) : QTableView(parent), grid_(grid) {
  connect(&DisplayFrame::Instance(), &DisplayFrame::tick, this, &GridView::ShowChanges);
}

void GridView::ShowChanges() {
  if (!dirty_) return;
  dirty_ = false;
  DisplayFrame::Instance().Hold();  // changes until the next tick wait for it
  viewport()->update();
  // Screen readers hear of the frame's changed cells once, together.
  if (dirtyFirst_ >= 0 && QAccessible::isActive() && model() && dirtyLast_ < model()->rowCount()) {
    QAccessibleTableModelChangeEvent event(this, QAccessibleTableModelChangeEvent::DataChanged);
    event.setFirstRow(dirtyFirst_);
    event.setLastRow(dirtyLast_);
    event.setFirstColumn(0);
    event.setLastColumn(model()->columnCount() - 1);
    QAccessible::updateAccessibility(&event);
  }
  dirtyFirst_ = dirtyLast_ = -1;
}

void GridView::updateGeometries() {
  QTableView::updateGeometries();
  // Room for the input row between the header and the data rows.
  const QMargins m = viewportMargins();
  const int top = horizontalHeader()->isVisible() ? horizontalHeader()->height() : 0;
  if (m.top() != top + inputRowHeight_) setViewportMargins(m.left(), top + inputRowHeight_, m.right(), m.bottom());
  // The header stays at the top, above the input row.
  const QRect vg = viewport()->geometry();
  horizontalHeader()->setGeometry(vg.left(), frameWidth(), vg.width(), top);
  grid_->PlaceInputRow();
}

void GridView::paintEvent(QPaintEvent* e) {
  QTableView::paintEvent(e);
  if (model() && model()->rowCount() == 0) {
    QPainter painter(viewport());
    painter.setPen(EmptyCaptionColor());
    painter.drawText(viewport()->rect(), Qt::AlignCenter, QString::fromLatin1(DownloadGrid::kEmptyCaption));
  }
}

QColor GridView::EmptyCaptionColor() const {
  return platform::ReadableOn(palette().color(QPalette::Disabled, QPalette::Text), {palette().color(QPalette::Base)});
}

void GridView::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>&) {
  // The delegate reads the list when it paints; one repaint per frame is
  // enough, and one accessibility event per frame for the rows it changed.
  dirtyFirst_ = dirtyFirst_ < 0 ? topLeft.row() : std::min(dirtyFirst_, topLeft.row());
  dirtyLast_ = std::max(dirtyLast_, bottomRight.row());
  dirty_ = true;
  DisplayFrame::Instance().Hold();
}

void GridView::mouseDoubleClickEvent(QMouseEvent* e) {
  QTableView::mouseDoubleClickEvent(e);
  emit grid_->dblClicked();
}

void GridView::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Delete && e->modifiers() == Qt::NoModifier) {
    emit grid_->deleteKeyPressed();
    return;
  }
  QTableView::keyPressEvent(e);
}

DownloadGrid::DownloadGrid(queue::DownloadList* list, QWidget* parent) : QWidget(parent), list_(list) {
  view_ = new GridView(this, this);
  view_->setObjectName(QStringLiteral("DownloadGridView"));
  view_->setModel(list_);
  view_->setItemDelegate(new GridDelegate(this));
  view_->setShowGrid(false);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->verticalHeader()->hide();
  view_->verticalHeader()->setDefaultSectionSize(20);
  view_->setMouseTracking(true);  // hints of the FLV url column
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  view_->setAccessibleName(tr(kEmptyCaption));
  QHeaderView* header = view_->horizontalHeader();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  header->setSortIndicator(colSize, Qt::AscendingOrder);
  header->setHighlightSections(false);
  for (int c = 0; c < queue::colCount; ++c) view_->setColumnWidth(c, kColumnWidths[c]);
  header->setStretchLastSection(true);
  connect(header, &QHeaderView::sectionClicked, this, &DownloadGrid::ClickHeader);

  // A sibling laid over the view rather than its child: a table's
  // accessible children are its cells, which would hide the row's fields
  // from screen readers.
  inputRow_ = new QWidget(this);
  inputRow_->setObjectName(QStringLiteral("DownloadGridInputRow"));
  inputRow_->setAutoFillBackground(true);
  const char* inputNames[] = {"No", "FLV url", "Size", "Progress", "File"};
  for (int c = 0; c < queue::colCount; ++c) {
    auto* edit = new QLineEdit(inputRow_);
    edit->setObjectName(QStringLiteral("DownloadGridInput%1").arg(c));
    edit->setFrame(false);
    edit->setAccessibleName(tr("New row: %1").arg(QString::fromLatin1(inputNames[c])));
    if (c == colNo || c == colProgress) {
      edit->setReadOnly(true);
      edit->setFocusPolicy(Qt::NoFocus);
    }
    connect(edit, &QLineEdit::returnPressed, this, &DownloadGrid::CommitInputRow);
    input_[c] = edit;
  }
  input_[colUrl]->setPlaceholderText(QString::fromLatin1(kInputPrompt));
  ShowInputPrompt(input_[colUrl]);
  input_[colUrl]->installEventFilter(this);
  // Whole numbers up to 5000000000.
  input_[colSize]->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}|[1-4][0-9]{9}|5000000000")),
                                      input_[colSize]));
  connect(header, &QHeaderView::sectionResized, this, &DownloadGrid::PlaceInputRow);
  connect(view_->horizontalScrollBar(), &QScrollBar::valueChanged, this, &DownloadGrid::PlaceInputRow);

  connect(view_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const QModelIndex index = view_->indexAt(at);
    if (index.isValid()) SelectRow(index.row());
    if (popup_) popup_->popup(view_->viewport()->mapToGlobal(at));
  });

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(view_);
  setFocusProxy(view_);
}

void DownloadGrid::PlaceInputRow() {
  if (!inputRow_) return;  // the view lays itself out before the row exists
  QHeaderView* header = view_->horizontalHeader();
  const int top = header->isVisible() ? header->height() : 0;
  const int left = view_->viewport()->geometry().left();
  const QPoint origin = view_->geometry().topLeft();
  inputRow_->setGeometry(origin.x() + left, origin.y() + top + view_->frameWidth(), view_->viewport()->width(),
                         view_->InputRowHeight());
  inputRow_->raise();
  for (int c = 0; c < queue::colCount; ++c) {
    input_[c]->setGeometry(header->sectionViewportPosition(c), 0, header->sectionSize(c) - 1,
                           view_->InputRowHeight() - 1);
  }
}

int DownloadGrid::SelectedRow() const {
  const QModelIndexList rows = view_->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.first().row();
}

void DownloadGrid::SelectRow(int row) {
  if (row < 0 || row >= list_->RowCount()) {
    view_->clearSelection();
    return;
  }
  view_->selectRow(row);
}

void DownloadGrid::CommitInputRow() {
  const int row = list_->RowCount();
  list_->BeginUpdate();
  list_->AddRows(1);
  for (int c = colUrl; c < queue::colCount; ++c) {
    const QString typed = input_[c]->text();
    if (!typed.isEmpty())
      list_->SetCellText(c, row, typed);
    else if (c == colSize || c == colProgress)
      list_->SetCellText(c, row, QStringLiteral("0"));
    input_[c]->clear();
  }
  list_->EndUpdate();
}

void DownloadGrid::ClickHeader(int column) {
  if (!queue::DownloadList::IsSortable(column)) {
    view_->horizontalHeader()->setSortIndicator(sortColumn_, sortOrder_);
    return;
  }
  // The first click on a column sorts ascending; a second click reverses.
  // (The Size column's mark at start is only a mark: its first click sorts ascending.)
  const bool reverse = sorted_ && column == sortColumn_ && sortOrder_ == Qt::AscendingOrder;
  sortOrder_ = reverse ? Qt::DescendingOrder : Qt::AscendingOrder;
  sortColumn_ = column;
  sorted_ = true;
  list_->SortRows(column, sortOrder_);
  view_->horizontalHeader()->setSortIndicator(column, sortOrder_);
  view_->viewport()->update();
}

DownloadGrid::CellLook DownloadGrid::LookOf(int column, int row) const {
  CellLook look;
  look.text = TColor::System(clWindowTextIndex);
  look.cell = TColor::System(clWindowIndex);
  look.grid = TColor::System(15);
  CellState state;
  state.selected = SelectedRow() == row;
  state.focused = view_->currentIndex().row() == row && view_->currentIndex().column() == column;
  if (OnCellColoring) OnCellColoring(const_cast<DownloadGrid*>(this), column, row, look.cell, look.grid, state);
  if (OnCellFormating) OnCellFormating(const_cast<DownloadGrid*>(this), column, row, look.text, look.style, state);
  return look;
}

DownloadGrid::CellColors DownloadGrid::ColorsOf(int column, int row) const {
  const CellLook look = LookOf(column, row);
  const QPalette& palette = view_->palette();
  CellColors colors{Resolve(look.text, palette), Resolve(look.cell, palette), Resolve(look.grid, palette)};
  if (SelectedRow() == row) {
    // The highlight, faint over the row's own colour.
    QColor h = palette.color(QPalette::Highlight);
    h.setAlpha(70);
    colors.background = platform::BlendOnto(h, colors.background);
  }
  if (look.text.system)
    colors.text = platform::ReadableOn(colors.text, {colors.background});
  else
    colors.background = platform::ReadableOn(colors.background, {colors.text});
  return colors;
}

void DownloadGrid::ShowInputPrompt(QLineEdit* edit) {
  // Qt's prompt is the desktop's text colour at half strength, too faint to
  // read; it is made readable on the cell. A style sheet replaces a
  // widget's palette whenever it polishes it, so this runs again at every
  // palette change of the cell.
  const QColor base = edit->palette().color(QPalette::Base);
  const QColor prompt = QApplication::palette(edit).color(QPalette::PlaceholderText);
  const QColor readable = platform::ReadableOn(platform::BlendOnto(prompt, base), {base});
  if (edit->palette().color(QPalette::PlaceholderText) == readable) return;
  QPalette p = edit->palette();
  p.setColor(QPalette::PlaceholderText, readable);
  edit->setPalette(p);
}

bool DownloadGrid::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::PaletteChange)
    if (auto* edit = qobject_cast<QLineEdit*>(watched)) ShowInputPrompt(edit);
  return QWidget::eventFilter(watched, e);
}

}  // namespace larkvale::widgets
