#include "queue/downloadlist.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

namespace larkvale::queue {
namespace {

TEST(DownloadList, NumberCellsRoundHalvesToEvenAndEmptyReadsZero) {
  DownloadList list;
  list.AddRows(1);
  EXPECT_EQ(list.CellInt(colSize, 0), 0);
  EXPECT_EQ(list.CellText(colSize, 0), "");
  EXPECT_TRUE(list.CellEmpty(colProgress, 0));
  struct Case {
    const char* text;
    qint64 value;
  } cases[] = {{"2.5", 2}, {"3.5", 4}, {"99.5", 100}, {"99.49", 99}, {"-0.5", 0}, {"5000000000", 5000000000LL},
               {"1,234", 1234}, {"abc", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    list.SetCellText(colProgress, 0, c.text);
    EXPECT_EQ(list.CellInt(colProgress, 0), c.value);
  }
  list.SetCellInt(colSize, 0, 123456789012LL);
  EXPECT_EQ(list.CellInt(QStringLiteral("NumericColumn1"), 0), 123456789012LL);
  EXPECT_EQ(list.CellText(colSize, 0), "123456789012");
  EXPECT_EQ(list.CellInt(colNo, 0), 1);
}

TEST(DownloadList, WritesOutsideTheListAreIgnored) {
  DownloadList list;
  list.AddRows(2);
  QSignalSpy changed(&list, &DownloadList::dataChanged);
  for (int row : {-1, 2, 1000}) {
    list.SetCellInt(colProgress, row, 50);
    list.SetCellText(colFile, row, "/x");
    EXPECT_EQ(list.CellInt(colProgress, row), 0);
    EXPECT_EQ(list.CellText(colFile, row), "");
  }
  list.SetCellText(7, 0, "bad column");
  list.SetCellText(-1, 0, "bad column");
  list.SetCellText(colNo, 0, "5");  // the number is not stored
  EXPECT_EQ(changed.count(), 0);
  EXPECT_EQ(list.CellText(colNo, 0), "1");
  EXPECT_EQ(list.RowCount(), 2);
  list.DeleteRow(5);
  EXPECT_EQ(list.RowCount(), 2);
}

TEST(DownloadList, NestedBracketsAnnounceChangesOnceAtTheOutermostEnd) {
  DownloadList list;
  list.AddRows(5);
  QSignalSpy changed(&list, &DownloadList::dataChanged);
  list.BeginUpdate();
  list.SetCellInt(colSize, 1, 10);
  list.BeginUpdate();
  list.SetCellInt(colProgress, 3, 20);
  list.EndUpdate();
  EXPECT_EQ(changed.count(), 0);
  list.EndUpdate();
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed[0][0].value<QModelIndex>().row(), 1);
  EXPECT_EQ(changed[0][1].value<QModelIndex>().row(), 3);
  list.EndUpdate();  // unbalanced: ignored
  EXPECT_EQ(list.UpdateDepth(), 0);
}

TEST(DownloadList, DeleteRenumbersTheRowsBelow) {
  DownloadList list;
  list.AddRows(3);
  for (int r = 0; r < 3; ++r) list.SetCellText(colUrl, r, QString("u%1").arg(r));
  list.DeleteRow(0);
  EXPECT_EQ(list.RowCount(), 2);
  EXPECT_EQ(list.CellText(colUrl, 0), "u1");
  EXPECT_EQ(list.data(list.index(0, colNo)).toInt(), 1);
  EXPECT_EQ(list.data(list.index(1, colNo)).toInt(), 2);
}

TEST(DownloadList, SortsTextAlphabeticallyAndNumbersNumerically) {
  DownloadList list;
  list.AddRows(3);
  const char* urls[] = {"b", "C", "a"};
  const int sizes[] = {100, 9, 20};
  for (int r = 0; r < 3; ++r) {
    list.SetCellText(colUrl, r, urls[r]);
    list.SetCellInt(colSize, r, sizes[r]);
  }
  list.SortRows(colUrl, Qt::AscendingOrder);
  EXPECT_EQ(QStringList({list.CellText(colUrl, 0), list.CellText(colUrl, 1), list.CellText(colUrl, 2)}),
            QStringList({"a", "b", "C"}));
  list.SortRows(colSize, Qt::AscendingOrder);  // 9 < 20 < 100, not "100" < "20" < "9"
  EXPECT_EQ(list.CellInt(colSize, 0), 9);
  EXPECT_EQ(list.CellInt(colSize, 2), 100);
  list.SortRows(colSize, Qt::DescendingOrder);
  EXPECT_EQ(list.CellInt(colSize, 0), 100);
}

TEST(DownloadList, DisplayTexts) {
  struct Case {
    double bytes;
    const char* text;
  } sizes[] = {{0, " bytes"}, {999, "999 bytes"}, {1000, "1,000 bytes"}, {1234567, "1,234,567 bytes"},
               {5000000000.0, "5,000,000,000 bytes"}};
  for (const Case& c : sizes) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DownloadList::FormatSize(c.bytes), c.text);
  }
  EXPECT_EQ(DownloadList::FormatProgress(0), "");
  EXPECT_EQ(DownloadList::FormatProgress(42), "42%");
  DownloadList list;
  list.AddRows(1);
  EXPECT_EQ(list.data(list.index(0, colSize)).toString(), "");  // no value yet
  list.SetCellText(colUrl, 0, "http://x/get_video?video_id=1");
  EXPECT_EQ(list.data(list.index(0, colUrl), Qt::ToolTipRole).toString(), "http://x/get_video?video_id=1");
  EXPECT_EQ(list.headerData(colProgress, Qt::Horizontal).toString(), "Progress");
}

TEST(DownloadList, EachStateShowsInTheFileCellWithoutNewColumns) {
  DownloadList list;
  list.AddRows(1);
  list.SetCellText(colFile, 0, "/f/flv0video.avi.part");
  list.SetCellText(colProgress, 0, "28.4");
  const struct {
    RowState state;
    const char* error;
    const char* shown;  // the File cell's display text
    bool red;
  } cases[] = {
      {RowState::Waiting, "", "/f/flv0video.avi.part", false},
      {RowState::Downloading, "", "/f/flv0video.avi.part", false},
      {RowState::Stopped, "", "Stopped at 28 %", false},
      {RowState::Failed, "HTTP/1.0 404 Not Found.", "Failed: HTTP/1.0 404 Not Found.", true},
      {RowState::Done, "", "/f/flv0video.avi.part", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    QSignalSpy changed(&list, &DownloadList::dataChanged);
    list.SetState(0, c.state, c.error);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(list.State(0), c.state);
    EXPECT_EQ(list.data(list.index(0, colFile)).toString(), c.shown);
    EXPECT_EQ(list.data(list.index(0, colFile), DownloadList::StateRole).toInt(), static_cast<int>(c.state));
    for (int column = 0; column < colCount; ++column)
      EXPECT_EQ(list.data(list.index(0, column), DownloadList::FailedRole).toBool(), c.red) << column;
    // The path itself stays the cell's value, and Progress stays.
    EXPECT_EQ(list.CellText(colFile, 0), "/f/flv0video.avi.part");
    EXPECT_EQ(list.CellInt(colProgress, 0), 28);
    EXPECT_EQ(list.data(list.index(0, colProgress)).toString(), "28%");
  }
  EXPECT_EQ(list.columnCount(), colCount);  // no new columns
}

// A note says why a waiting or stopped row is as it is, in place of its
// file, until the row's state changes; other rows take none.
TEST(DownloadList, OnlyWaitingAndStoppedRowsTakeANoteUntilTheirStateChanges) {
  DownloadList list;
  list.AddRows(5);
  const RowState states[] = {RowState::Waiting, RowState::Downloading, RowState::Stopped, RowState::Failed,
                             RowState::Done};
  const bool takes[] = {true, false, true, false, false};
  for (int r = 0; r < 5; ++r) {
    SCOPED_TRACE(r);
    list.SetCellText(colFile, r, "/f/flv0video.flv.part");
    list.SetState(r, states[r], "gone.");
    list.SetNote(r, "Retrying in 4 s (503 Service Unavailable)");
    EXPECT_EQ(list.ErrorText(r) == "Retrying in 4 s (503 Service Unavailable)", takes[r]);
    if (takes[r]) EXPECT_EQ(list.data(list.index(r, colFile)).toString(), "Retrying in 4 s (503 Service Unavailable)");
  }
  EXPECT_EQ(list.ErrorText(3), "gone.");  // a failed row keeps its error
  list.SetState(0, RowState::Downloading);
  EXPECT_EQ(list.ErrorText(0), "");
  list.SetState(2, RowState::Stopped);  // a new stop says nothing of the old one
  EXPECT_EQ(list.data(list.index(2, colFile)).toString(), "Stopped at 0 %");
}

TEST(DownloadList, OnlyFailedAndStoppedRowsWaitAgain) {
  DownloadList list;
  list.AddRows(5);
  const RowState states[] = {RowState::Waiting, RowState::Downloading, RowState::Stopped, RowState::Failed,
                             RowState::Done};
  for (int r = 0; r < 5; ++r) list.SetState(r, states[r], "gone.");
  EXPECT_EQ(list.ErrorText(0), "");  // only a failed row carries an error
  EXPECT_EQ(list.ErrorText(3), "gone.");
  const bool waits[] = {false, false, true, true, false};
  for (int r = 0; r < 5; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(list.MakeWaiting(r), waits[r]);
    EXPECT_EQ(list.State(r), waits[r] ? RowState::Waiting : states[r]);
  }
  EXPECT_EQ(list.ErrorText(3), "");
  EXPECT_FALSE(list.MakeWaiting(5));
  EXPECT_FALSE(list.MakeWaiting(-1));
}

}  // namespace
}  // namespace larkvale::queue
