#pragma once
// The Timeline: the ordered input files of a conversion, each with Start and
// End as decimal text in whole seconds. Row order is conversion order.

#include <QAbstractTableModel>
#include <QString>
#include <vector>

namespace larkvale::convert {

class TimelineModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { colFile = 0, colStart = 1, colEnd = 2 };
  using QAbstractTableModel::QAbstractTableModel;

  // A row for `path`: Start "0", End = `duration` rounded, halves to even.
  // Returns the row's index.
  int Append(const QString& path, double duration);
  // The same at `index` (clamped to the list), which then holds the new row.
  int Insert(int index, const QString& path, double duration);
  void Remove(int index);
  // A saved row, its Start and End as they were.
  int AppendSaved(const QString& path, const QString& start, const QString& end);

  int Count() const { return int(rows_.size()); }
  QString Path(int index) const { return rows_.at(size_t(index)).path; }
  QString Start(int index) const { return rows_.at(size_t(index)).start; }
  QString End(int index) const { return rows_.at(size_t(index)).end; }

  int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : Count(); }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 3; }
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  struct Row {
    QString path, start, end;
  };
  std::vector<Row> rows_;
};

}  // namespace larkvale::convert
