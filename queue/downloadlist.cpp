#include "queue/downloadlist.h"

#include <algorithm>
#include <cmath>

#include "platform/rounding.h"

namespace larkvale::queue {

using platform::RoundHalfEven;

DownloadList::DownloadList(QObject* parent) : QAbstractTableModel(parent) {}

int DownloadList::ColumnIndex(const QString& componentName) {
  static const char* const names[] = {"IncrementColumn1", "TextualColumn1", "NumericColumn1", "ProgressColumn1",
                                      "NxTextColumn1"};
  for (int i = 0; i < colCount; ++i)
    if (componentName == QLatin1String(names[i])) return i;
  return -1;
}

QString DownloadList::ColumnHeader(int column) {
  static const char* const headers[] = {"No", "FLV url", "Size", "Progress", "File"};
  return column >= 0 && column < colCount ? QString::fromLatin1(headers[column]) : QString();
}

bool DownloadList::Valid(int column, int row) const {
  return row >= 0 && row < RowCount() && column >= 0 && column < colCount;
}

void DownloadList::AddRows(int count) {
  if (count <= 0) return;
  beginInsertRows(QModelIndex(), RowCount(), RowCount() + count - 1);
  for (int i = 0; i < count; ++i) {
    if (!indexStale_) rowOfId_.emplace(nextId_, RowCount());
    Row row;
    row.id = nextId_++;
    rows_.push_back(std::move(row));
  }
  endInsertRows();
}

void DownloadList::DeleteRow(int row) {
  if (row < 0 || row >= RowCount()) return;
  beginRemoveRows(QModelIndex(), row, row);
  rows_.erase(rows_.begin() + row);
  indexStale_ = true;
  endRemoveRows();
  // Every later row's number changed.
  if (row < RowCount()) Changed(row), Changed(RowCount() - 1);
}

std::optional<double> DownloadList::ParseNumber(const QString& text) {
  QString t = text.trimmed();
  t.remove(',');
  if (t.isEmpty()) return std::nullopt;
  bool ok = false;
  const double v = t.toDouble(&ok);
  if (!ok || !std::isfinite(v)) return std::nullopt;
  return v;
}

QString DownloadList::CellText(int column, int row) const {
  if (!Valid(column, row)) return {};
  const Row& r = rows_[row];
  switch (column) {
    case colNo: return QString::number(row + 1);
    case colUrl: return r.url;
    case colFile: return r.file;
    case colSize:
    case colProgress: {
      const auto& v = column == colSize ? r.size : r.progress;
      return v ? QString::number(*v, 'g', 17) : QString();
    }
  }
  return {};
}

qint64 DownloadList::CellInt(int column, int row) const {
  if (!Valid(column, row)) return 0;
  const Row& r = rows_[row];
  switch (column) {
    case colNo: return row + 1;
    case colSize: return r.size ? RoundHalfEven(*r.size) : 0;
    case colProgress: return r.progress ? RoundHalfEven(*r.progress) : 0;
    default: {
      const auto v = ParseNumber(column == colUrl ? r.url : r.file);
      return v ? RoundHalfEven(*v) : 0;
    }
  }
}

quint64 DownloadList::RowId(int row) const { return row >= 0 && row < RowCount() ? rows_[row].id : 0; }

DownloadList::Record DownloadList::RecordOf(int row) const {
  if (row < 0 || row >= RowCount()) return {};
  const Row& r = rows_[row];
  return Record{r.url, r.size, r.progress, r.file, r.state, r.error, r.session, r.stream, r.foundOnPage};
}

quint64 DownloadList::RowVersion(int row) const { return row >= 0 && row < RowCount() ? rows_[row].version : 0; }

int DownloadList::RowOfId(quint64 id) const {
  // Asked for every running row at every slice: an index, rebuilt after a
  // delete or a sort, kept up by appends.
  if (indexStale_) {
    rowOfId_.clear();
    rowOfId_.reserve(rows_.size());
    for (int r = 0; r < RowCount(); ++r) rowOfId_.emplace(rows_[r].id, r);
    indexStale_ = false;
  }
  const auto it = rowOfId_.find(id);
  return it == rowOfId_.end() ? -1 : it->second;
}

RowState DownloadList::State(int row) const {
  return row >= 0 && row < RowCount() ? rows_[row].state : RowState::Waiting;
}

QString DownloadList::ErrorText(int row) const { return row >= 0 && row < RowCount() ? rows_[row].error : QString(); }

void DownloadList::SetState(int row, RowState state, const QString& errorText) {
  if (row < 0 || row >= RowCount()) return;
  Row& r = rows_[row];
  const bool waitsAgain = state == RowState::Waiting && r.state != RowState::Waiting;
  r.state = state;
  r.error = state == RowState::Failed ? errorText : QString();
  r.speed.clear();
  Changed(row);
  if (waitsAgain) emit rowWaiting(r.id);
}

void DownloadList::SetSpeedText(int row, const QString& text) {
  if (row < 0 || row >= RowCount()) return;
  Row& r = rows_[row];
  if (r.state != RowState::Downloading || r.speed == text) return;
  r.speed = text;
  Changed(row);
}

void DownloadList::SetNote(int row, const QString& note) {
  if (row < 0 || row >= RowCount()) return;
  Row& r = rows_[row];
  if ((r.state != RowState::Waiting && r.state != RowState::Stopped) || r.error == note) return;
  r.error = note;
  Changed(row);
}

bool DownloadList::MakeWaiting(int row) {
  const RowState s = State(row);
  if (row < 0 || row >= RowCount() || (s != RowState::Failed && s != RowState::Stopped)) return false;
  SetState(row, RowState::Waiting);
  return true;
}

const browser::PageSession& DownloadList::Session(int row) const {
  static const browser::PageSession none;
  return row >= 0 && row < RowCount() ? rows_[row].session : none;
}

void DownloadList::SetSession(int row, browser::PageSession session) {
  if (row < 0 || row >= RowCount()) return;
  rows_[row].session = std::move(session);
  Changed(row);  // not shown, but kept: the store saves it
}

QString DownloadList::FileDisplayText(int row) const {
  if (row < 0 || row >= RowCount()) return {};
  const Row& r = rows_[row];
  switch (r.state) {
    case RowState::Failed: return QStringLiteral("Failed: ") + r.error;
    case RowState::Waiting: return r.error.isEmpty() ? r.file : r.error;
    case RowState::Stopped:
      if (!r.error.isEmpty()) return r.error;  // why it stopped ("Disk full: ...")
      return QStringLiteral("Stopped at %1 %").arg(r.progress ? RoundHalfEven(*r.progress) : 0);
    default: return r.file;
  }
}

bool DownloadList::CellEmpty(int column, int row) const {
  if (!Valid(column, row)) return true;
  const Row& r = rows_[row];
  switch (column) {
    case colNo: return false;
    case colUrl: return r.url.isEmpty();
    case colSize: return !r.size;
    case colProgress: return !r.progress;
    case colFile: return r.file.isEmpty();
  }
  return true;
}

void DownloadList::SetCellText(int column, int row, const QString& text) {
  if (!Valid(column, row)) return;
  Row& r = rows_[row];
  switch (column) {
    case colNo: return;
    case colUrl: r.url = text; break;
    case colFile: r.file = text; break;
    case colSize: r.size = ParseNumber(text); break;
    case colProgress: r.progress = ParseNumber(text); break;
  }
  Changed(row);
}

void DownloadList::SetCellInt(int column, int row, qint64 value) {
  if (!Valid(column, row)) return;
  Row& r = rows_[row];
  switch (column) {
    case colNo: return;
    case colUrl: r.url = QString::number(value); break;
    case colFile: r.file = QString::number(value); break;
    case colSize: r.size = static_cast<double>(value); break;
    case colProgress: r.progress = static_cast<double>(value); break;
  }
  Changed(row);
}

void DownloadList::Changed(int row) {
  if (row >= 0 && row < RowCount()) rows_[row].version = ++lastVersion_;
  if (updateDepth_ > 0) {
    dirtyFirst_ = dirtyFirst_ < 0 ? row : std::min(dirtyFirst_, row);
    dirtyLast_ = std::max(dirtyLast_, row);
    return;
  }
  emit dataChanged(index(row, 0), index(row, colCount - 1));
}

void DownloadList::BeginUpdate() { ++updateDepth_; }

void DownloadList::EndUpdate() {
  if (updateDepth_ == 0 || --updateDepth_ > 0) return;
  if (dirtyFirst_ < 0) return;
  const int first = std::min(dirtyFirst_, RowCount() - 1);
  const int last = std::min(dirtyLast_, RowCount() - 1);
  dirtyFirst_ = dirtyLast_ = -1;
  if (first >= 0 && last >= first) emit dataChanged(index(first, 0), index(last, colCount - 1));
}

void DownloadList::SortRows(int column, Qt::SortOrder order) {
  if (!IsSortable(column)) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  auto number = [column](const Row& r) {
    const auto& v = column == colSize ? r.size : r.progress;
    return v.value_or(0.0);
  };
  auto text = [column](const Row& r) -> const QString& { return column == colUrl ? r.url : r.file; };
  auto less = [&](const Row& a, const Row& b) {
    if (column == colSize || column == colProgress) return number(a) < number(b);
    return QString::compare(text(a), text(b), Qt::CaseInsensitive) < 0;
  };
  if (order == Qt::AscendingOrder)
    std::stable_sort(rows_.begin(), rows_.end(), less);
  else
    std::stable_sort(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) { return less(b, a); });
  // No persistent indexes are kept on this model's rows beyond the view's
  // selection, which follows the row number.
  indexStale_ = true;
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

QString DownloadList::FormatSize(double bytes) {
  // "###,###,###,###": digits only where there are any, thousands grouped;
  // a zero shows no digits at all.
  const double rounded = std::round(bytes);
  if (rounded == 0 || !std::isfinite(rounded)) return QStringLiteral(" bytes");
  const bool negative = rounded < 0;
  QString digits = QString::number(std::fabs(rounded), 'f', 0);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(i, ',');
  return (negative ? "-" : "") + digits + QStringLiteral(" bytes");
}

QString DownloadList::FormatProgress(double percent) {
  if (percent == 0) return {};
  return QString::number(std::round(percent), 'f', 0) + '%';
}

int DownloadList::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : RowCount(); }

int DownloadList::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : colCount; }

QVariant DownloadList::data(const QModelIndex& index, int role) const {
  const int row = index.row();
  const int column = index.column();
  if (!index.isValid() || !Valid(column, row)) return {};
  const Row& r = rows_[row];
  switch (role) {
    case Qt::DisplayRole:
      switch (column) {
        case colNo: return row + 1;
        case colUrl: return r.url;
        case colSize: return r.size ? FormatSize(*r.size) : QString();
        case colProgress: return r.progress ? FormatProgress(*r.progress) : QString();
        case colFile: return FileDisplayText(row);
      }
      break;
    case Qt::ToolTipRole:
      // The narrow FLV url column shows its link in full as a hint; a stopped
      // or failed row's File cell names its partial file there.
      if (column == colUrl && !r.url.isEmpty()) return r.url;
      if (column == colFile && FileDisplayText(row) != r.file && !r.file.isEmpty()) return r.file;
      if (column == colProgress && !r.speed.isEmpty()) return r.speed;
      break;
    case StateRole: return static_cast<int>(r.state);
    case FailedRole: return r.state == RowState::Failed;
    case Qt::TextAlignmentRole:
      if (column == colNo || column == colSize) return int(Qt::AlignRight | Qt::AlignVCenter);
      return int(Qt::AlignLeft | Qt::AlignVCenter);
    case NumberRole:
      if (column == colSize) return r.size.value_or(0.0);
      if (column == colProgress) return r.progress.value_or(0.0);
      break;
  }
  return {};
}

QVariant DownloadList::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole) return ColumnHeader(section);
  return QAbstractTableModel::headerData(section, orientation, role);
}

void DownloadList::sort(int column, Qt::SortOrder order) { SortRows(column, order); }

void DownloadList::MarkStream(int row) {
  if (row < 0 || row >= RowCount()) return;
  rows_[static_cast<std::size_t>(row)].stream = true;
  Changed(row);  // the saved list keeps the mark
}

void DownloadList::MarkFoundOnPage(int row) {
  if (row < 0 || row >= RowCount()) return;
  rows_[static_cast<std::size_t>(row)].foundOnPage = true;
  Changed(row);  // the saved list keeps the mark
}

bool DownloadList::IsFoundOnPage(int row) const {
  return row >= 0 && row < RowCount() && rows_[static_cast<std::size_t>(row)].foundOnPage;
}

bool DownloadList::IsMarkedStream(int row) const {
  return row >= 0 && row < RowCount() && rows_[static_cast<std::size_t>(row)].stream;
}

}  // namespace larkvale::queue
