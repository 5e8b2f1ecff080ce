#pragma once
// The download grid: a header row, an input row where links are typed, and
// the rows of a DownloadList. The owner decides each cell's colours and font
// style through two events that run before a cell is drawn.
//
// Repainting is throttled: changes of the list mark the grid dirty and it
// repaints at the next display frame (see DisplayFrame), so a row that
// changes thousands of times a second costs one paint per frame; the display
// may lag by a frame. The same frame carries the one accessibility event for
// the rows that changed.

#include <QLineEdit>
#include <QMenu>
#include <QTableView>
#include <QTimer>
#include <array>
#include <functional>

#include "queue/downloadlist.h"
#include "widgets/colors.h"

namespace larkvale::widgets {

enum FontStyle { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using FontStyles = int;

struct CellState {
  bool selected = false;
  bool focused = false;
};

using TCellFormatingEvent =
    std::function<void(QObject* sender, int ACol, int ARow, TColor& TextColor, FontStyles& FontStyle, CellState)>;
using TCellColoringEvent =
    std::function<void(QObject* sender, int ACol, int ARow, TColor& CellColor, TColor& GridColor, CellState)>;

class GridView;

class DownloadGrid : public QWidget {
  Q_OBJECT
 public:
  explicit DownloadGrid(queue::DownloadList* list, QWidget* parent = nullptr);

  queue::DownloadList* List() const { return list_; }
  GridView* View() const { return view_; }

  // Index of the selected row, -1 when none.
  int SelectedRow() const;
  void SelectRow(int row);

  // The input row: one editor per column; No and Progress take no typing.
  QLineEdit* InputCell(int column) const { return input_[column]; }
  // Appends a row from the input row's texts (defaults "0" for Size and
  // Progress) and empties the input row.
  void CommitInputRow();

  // Sorting by header click; the Size column starts out marked as sorted.
  void ClickHeader(int column);
  Qt::SortOrder SortOrder() const { return sortOrder_; }

  void SetPopupMenu(QMenu* menu) { popup_ = menu; }

  // The colours and font style a cell is drawn with (what the events decide).
  struct CellLook {
    TColor text;
    TColor cell;
    TColor grid;
    FontStyles style = 0;
  };
  CellLook LookOf(int column, int row) const;

  // The colours a cell is painted with: its look in the grid's palette, the
  // selection tinted over it, and kept readable (AA contrast). A colour of
  // the palette that would not read is moved towards black or white; a
  // plain colour the owner chose (the current row's blue) stays, and the
  // cell behind it moves instead, so a dark palette cannot hide it.
  struct CellColors {
    QColor text;
    QColor background;
    QColor grid;
  };
  CellColors ColorsOf(int column, int row) const;

  TCellFormatingEvent OnCellFormating;
  TCellColoringEvent OnCellColoring;

  static constexpr int kColumnWidths[queue::colCount] = {20, 60, 200, 280, 480};
  static constexpr const char* kEmptyCaption = "FLV Downloads list";
  static constexpr const char* kInputPrompt = "Click here to add new FLV url";

 signals:
  void dblClicked();
  void deleteKeyPressed();

 private:
  void PlaceInputRow();
  // The input row's prompt in a grey that reads on the row.
  void ShowInputPrompt(QLineEdit* edit);
  bool eventFilter(QObject* watched, QEvent* e) override;
  queue::DownloadList* list_;
  GridView* view_;
  QWidget* inputRow_ = nullptr;
  std::array<QLineEdit*, queue::colCount> input_{};
  QMenu* popup_ = nullptr;
  int sortColumn_ = queue::colSize;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
  bool sorted_ = false;
  friend class GridView;
};

class GridView : public QTableView {
  Q_OBJECT
 public:
  GridView(DownloadGrid* grid, QWidget* parent);
  int InputRowHeight() const { return inputRowHeight_; }
  // The grey of the empty list's caption, readable on the rows' background.
  QColor EmptyCaptionColor() const;

 protected:
  void updateGeometries() override;
  void paintEvent(QPaintEvent* e) override;
  void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                   const QList<int>& roles = QList<int>()) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void ShowChanges();
  DownloadGrid* grid_;
  bool dirty_ = false;
  int dirtyFirst_ = -1, dirtyLast_ = -1;  // rows changed since the last frame
  int inputRowHeight_ = 22;
  friend class DownloadGrid;
};

}  // namespace larkvale::widgets
