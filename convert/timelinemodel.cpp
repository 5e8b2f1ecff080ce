#include "convert/timelinemodel.h"

#include <algorithm>

#include "convert/outputformats.h"
#include "platform/rounding.h"

namespace larkvale::convert {

int TimelineModel::Append(const QString& path, double duration) { return Insert(Count(), path, duration); }

int TimelineModel::Insert(int index, const QString& path, double duration) {
  index = std::clamp(index, 0, Count());
  beginInsertRows({}, index, index);
  rows_.insert(rows_.begin() + index,
               Row{path, QStringLiteral("0"), QString::number(platform::RoundHalfEven(duration))});
  endInsertRows();
  return index;
}

int TimelineModel::AppendSaved(const QString& path, const QString& start, const QString& end) {
  const int index = Count();
  beginInsertRows({}, index, index);
  rows_.push_back(Row{path, start, end});
  endInsertRows();
  return index;
}

void TimelineModel::Remove(int index) {
  if (index < 0 || index >= Count()) return;
  beginRemoveRows({}, index, index);
  rows_.erase(rows_.begin() + index);
  endRemoveRows();
}

QVariant TimelineModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Count()) return {};
  const Row& row = rows_[size_t(index.row())];
  if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole || role == Qt::ToolTipRole) {
    switch (index.column()) {
      case colFile: return row.path;
      case colStart: return role == Qt::ToolTipRole ? QVariant() : QVariant(row.start);
      case colEnd: return role == Qt::ToolTipRole ? QVariant() : QVariant(row.end);
    }
  }
  return {};
}

QVariant TimelineModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case colFile: return tr("file");
    case colStart: return tr("Start");
    case colEnd: return tr("End");
  }
  return {};
}

}  // namespace larkvale::convert
