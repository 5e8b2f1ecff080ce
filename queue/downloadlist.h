#pragma once
// The download list: the queue of links with their size, progress and
// downloaded file, as a table model that the grid shows and the runner
// writes. No widgets: the runner and its tests use it without painting.
//
// Cells are addressed by column index or by the column's component name.
// Size and Progress hold numbers (read as integer: nearest whole number,
// halves to even; empty reads as 0); FLV url and File hold text. Reads and
// writes of a row or column that does not exist are ignored (reads yield
// empty/0): rows can be deleted or re-sorted under a running download, and
// nothing may ever be written outside the list.

#include <QAbstractTableModel>
#include <QString>
#include <optional>
#include <unordered_map>
#include <vector>

#include "browser/pagesession.h"

namespace larkvale::queue {

enum Column { colNo = 0, colUrl = 1, colSize = 2, colProgress = 3, colFile = 4, colCount = 5 };

// Where a row stands. A new row waits; the runner moves it to downloading
// and on to done, stopped (Stop, or the program ended during the transfer:
// the File cell names the partial ".part" file) or failed (with the error's
// text). Stopped and failed rows are left alone until they wait again.
enum class RowState { Waiting, Downloading, Stopped, Failed, Done };

class DownloadList : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit DownloadList(QObject* parent = nullptr);

  int RowCount() const { return static_cast<int>(rows_.size()); }
  // Appends `count` rows whose cells hold no values.
  void AddRows(int count);
  void DeleteRow(int row);

  // "IncrementColumn1", "TextualColumn1", "NumericColumn1", "ProgressColumn1",
  // "NxTextColumn1"; -1 for another name.
  static int ColumnIndex(const QString& componentName);
  static QString ColumnHeader(int column);

  QString CellText(int column, int row) const;
  qint64 CellInt(int column, int row) const;
  void SetCellText(int column, int row, const QString& text);
  void SetCellInt(int column, int row, qint64 value);
  bool CellEmpty(int column, int row) const;

  // A row's identity survives deletes and sorts of other rows: the runner
  // follows the row it downloads by its id. Ids are never reused; RowOfId
  // yields -1 once the row is gone.
  quint64 RowId(int row) const;
  int RowOfId(quint64 id) const;
  // Moves on whenever anything of the row changes (for a store that keeps
  // each row's saved form until it does).
  quint64 RowVersion(int row) const;
  // What is kept of a row across runs, as a copy another thread may read.
  struct Record {
    QString url;
    std::optional<double> size, progress;
    QString file;
    RowState state = RowState::Waiting;
    QString error;
    browser::PageSession session;
    bool stream = false;
    bool foundOnPage = false;
  };
  Record RecordOf(int row) const;

  // The row's state and, for a failed row, the error's text (ending in a
  // full stop), or a waiting or stopped row's note. Setting a state other
  // than failed clears the text.
  RowState State(int row) const;
  QString ErrorText(int row) const;
  void SetState(int row, RowState state, const QString& errorText = QString());
  // Why a waiting or stopped row is as it is ("Retrying in 4 s (503 Service
  // Unavailable)", "Disk full: 12 MB free in /home/me/Videos"), shown in
  // place of its file until its state changes. Rows in other states take
  // no note.
  void SetNote(int row, const QString& note);
  // A downloading row's own speed and time left ("3.2 MB/s, 0:42 left"),
  // the hint of its Progress cell while it runs beside others. In memory
  // only; any change of state clears it.
  void SetSpeedText(int row, const QString& text);
  // The row's link is an HLS or DASH stream although its address does not
  // end in .m3u8 or .mpd (its reply head said so). Saved with the list.
  void MarkStream(int row);
  bool IsMarkedStream(int row) const;
  // The row's link was found on a page or asked for by its player, so its
  // reply must be media: a web page in its place fails the row. (A link
  // typed into the list is fetched as it stands.) Saved with the list.
  void MarkFoundOnPage(int row);
  bool IsFoundOnPage(int row) const;
  // "Retry": a failed or stopped row waits again (its partial file, if any,
  // is resumed). False for a row in another state.
  bool MakeWaiting(int row);

  // What the browser would send with the row's requests (cookies, Referer,
  // User-Agent) when the row came from a browsed page; empty otherwise.
  const browser::PageSession& Session(int row) const;
  void SetSession(int row, browser::PageSession session);

  QString CellText(const QString& columnName, int row) const { return CellText(ColumnIndex(columnName), row); }
  qint64 CellInt(const QString& columnName, int row) const { return CellInt(ColumnIndex(columnName), row); }

  // A nestable bracket: cell changes inside it are announced once, when the
  // outermost bracket ends.
  void BeginUpdate();
  void EndUpdate();
  int UpdateDepth() const { return updateDepth_; }

  // Sorts the rows by a column: FLV url and File alphabetically, Size and
  // Progress numerically; stable. The No column does not sort.
  void SortRows(int column, Qt::SortOrder order);
  static bool IsSortable(int column) { return column >= colUrl && column <= colFile; }

  // Display texts: "###,###,###,###" + " bytes" for Size; the Progress cell's
  // text ("42%", empty at 0).
  static QString FormatSize(double bytes);
  static QString FormatProgress(double percent);

 signals:
  // A row became waiting (Retry, "Start downloads", the runner's own
  // retry): the runner looks at it again. Rows added wait too; they are
  // announced by rowsInserted.
  void rowWaiting(quint64 id);

 public:
  // QAbstractTableModel
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

  // Role that yields a cell's raw number (Size, Progress) for painting.
  static constexpr int NumberRole = Qt::UserRole + 1;
  // Role that yields the row's RowState (as int) for every cell, and one that
  // is true for every cell of a failed row, whose text is drawn red.
  static constexpr int StateRole = Qt::UserRole + 2;
  static constexpr int FailedRole = Qt::UserRole + 3;

  // The File cell as shown: "Failed: " + the error for a failed row,
  // "Stopped at 28 %" for a stopped one, the path otherwise.
  QString FileDisplayText(int row) const;

 private:
  struct Row {
    quint64 id = 0;
    QString url;
    std::optional<double> size;
    std::optional<double> progress;
    QString file;
    RowState state = RowState::Waiting;
    QString error;
    browser::PageSession session;
    bool stream = false;
    bool foundOnPage = false;
    QString speed;
    quint64 version = 0;
  };
  bool Valid(int column, int row) const;
  void Changed(int row);
  static std::optional<double> ParseNumber(const QString& text);

  std::vector<Row> rows_;
  mutable std::unordered_map<quint64, int> rowOfId_;  // see RowOfId
  mutable bool indexStale_ = false;
  int updateDepth_ = 0;
  quint64 nextId_ = 1;
  quint64 lastVersion_ = 0;
  int dirtyFirst_ = -1;
  int dirtyLast_ = -1;
};

}  // namespace larkvale::queue
