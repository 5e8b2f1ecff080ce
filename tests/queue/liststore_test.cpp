// The saved download list: every row and state comes back, a downloading
// row comes back stopped, saves are coalesced and atomic, and a damaged
// file starts an empty list without losing what it held.
#include "queue/liststore.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>

#include "support/video_site.h"

namespace larkvale::queue {
namespace {

using testing::ReadFileBytes;
using testing::WriteFileBytes;

void Fill(DownloadList& list) {
  const struct {
    const char* url;
    const char* size;  // "" leaves the cell empty
    const char* progress;
    const char* file;
    RowState state;
    const char* error;
  } rows[] = {
      {"http://v/a?fmt=18", "5000", "100", "/f/flv0video.avi", RowState::Done, ""},
      {"http://v/b", "3000000000", "28", "/f/flv1video.flv.part", RowState::Stopped, ""},
      {"http://v/c", "0", "0", "", RowState::Failed, "HTTP/1.0 404 Not Found."},
      {"http://v/d \"quoted\" ünï", "", "", "", RowState::Waiting, ""},
      {"http://v/e", "70", "12.5", "/f/flv2video.flv.part", RowState::Downloading, ""},
  };
  for (const auto& r : rows) {
    const int row = list.RowCount();
    list.AddRows(1);
    list.SetCellText(colUrl, row, QString::fromUtf8(r.url));
    if (*r.size) list.SetCellText(colSize, row, r.size);
    if (*r.progress) list.SetCellText(colProgress, row, r.progress);
    list.SetCellText(colFile, row, r.file);
    list.SetState(row, r.state, r.error);
  }
}

TEST(DownloadListStore, EveryRowComesBackAndADownloadingRowComesBackStopped) {
  DownloadList saved;
  Fill(saved);
  saved.MarkStream(1);  // a stream its address does not name
  saved.MarkFoundOnPage(2);  // its reply must be media
  DownloadList restored;
  QString why;
  ASSERT_TRUE(ParseDownloadList(SerializeDownloadList(saved), restored, &why)) << why.toStdString();
  ASSERT_EQ(restored.RowCount(), saved.RowCount());
  for (int r = 0; r < saved.RowCount(); ++r) {
    SCOPED_TRACE(r);
    for (int c : {colUrl, colSize, colProgress, colFile}) {
      EXPECT_EQ(restored.CellText(c, r), saved.CellText(c, r)) << c;
      EXPECT_EQ(restored.CellEmpty(c, r), saved.CellEmpty(c, r)) << c;
    }
    EXPECT_EQ(restored.ErrorText(r), saved.ErrorText(r));
    EXPECT_EQ(restored.IsMarkedStream(r), saved.IsMarkedStream(r));
    EXPECT_EQ(restored.IsFoundOnPage(r), saved.IsFoundOnPage(r));
  }
  EXPECT_TRUE(restored.IsFoundOnPage(2));
  EXPECT_TRUE(restored.IsMarkedStream(1));
  EXPECT_EQ(restored.State(0), RowState::Done);
  EXPECT_EQ(restored.State(1), RowState::Stopped);
  EXPECT_EQ(restored.State(2), RowState::Failed);
  EXPECT_EQ(restored.State(3), RowState::Waiting);
  EXPECT_EQ(restored.State(4), RowState::Stopped);  // the program ended during its transfer
  EXPECT_EQ(restored.data(restored.index(4, colFile)).toString(), "Stopped at 12 %");
  EXPECT_EQ(restored.CellInt(colSize, 1), 3000000000LL);
}

// A retry's countdown or a full disk belongs to the run that saw it; a
// failed row's error stays.
TEST(DownloadListStore, NotesOfTheRunDoNotComeBack) {
  DownloadList saved;
  saved.AddRows(3);
  saved.SetState(0, RowState::Waiting, "Retrying in 4 s (503 Service Unavailable)");
  saved.SetState(1, RowState::Stopped, "Disk full: 0 MB free in /f");
  saved.SetState(2, RowState::Failed, "HTTP/1.1 404 Not Found.");
  DownloadList restored;
  ASSERT_TRUE(ParseDownloadList(SerializeDownloadList(saved), restored));
  EXPECT_EQ(restored.ErrorText(0), "");
  EXPECT_EQ(restored.ErrorText(1), "");
  EXPECT_EQ(restored.data(restored.index(1, colFile)).toString(), "Stopped at 0 %");
  EXPECT_EQ(restored.ErrorText(2), "HTTP/1.1 404 Not Found.");
}

TEST(DownloadListStore, ChangesAreSavedTogetherAndAtTheEnd) {
  QTemporaryDir dir;
  const QString path = DownloadListFilePath(dir.path() + "/data");
  EXPECT_EQ(path, dir.path() + "/data/Larkvale_HD/downloads.json");
  DownloadList list;
  {
    DownloadListStore store(list, path);
    Fill(list);
    for (int i = 0; i <= 100; ++i) list.SetCellInt(colProgress, 1, i);
    // Nothing was written for each change: one save is waiting for all.
    EXPECT_TRUE(store.SavePending());
    EXPECT_FALSE(QFile::exists(path));
    store.Flush();
    EXPECT_FALSE(store.SavePending());
    DownloadList back;
    ASSERT_TRUE(ParseDownloadList(QByteArray::fromStdString(ReadFileBytes(path.toStdString())), back));
    EXPECT_EQ(back.CellInt(colProgress, 1), 100);

    list.DeleteRow(0);
    EXPECT_TRUE(store.SavePending());
  }
  // The store's end saved the last change.
  DownloadList back;
  ASSERT_TRUE(ParseDownloadList(QByteArray::fromStdString(ReadFileBytes(path.toStdString())), back));
  EXPECT_EQ(back.RowCount(), 4);
  // No temporary file is left beside it.
  EXPECT_EQ(QDir(dir.path() + "/data/Larkvale_HD").entryList(QDir::Files), QStringList{"downloads.json"});
}

TEST(DownloadListStore, ADamagedOrMissingFileStartsAnEmptyListWithOneLine) {
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"garbage", "\x89PNG\r\n\x1a\n not a list at all"},
      {"cut short", R"({"version": 1, "rows": [{"url": "http://v/a", "si)"},
      {"empty", ""},
      {"another version", R"({"version": 2, "rows": []})"},
      {"rows not a list", R"({"version": 1, "rows": {"url": "x"}})"},
      {"a row not an object", R"({"version": 1, "rows": [{"url": "x"}, 7]})"},
      {"not an object", R"([1, 2, 3])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const QString path = dir.path() + "/downloads.json";
    WriteFileBytes(path.toStdString(), c.bytes);
    DownloadList list;
    DownloadListStore store(list, path);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(store.Load());
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(list.RowCount(), 0);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find(path.toStdString()), std::string::npos) << said;
    // What it held is kept aside, and the next save does not touch it.
    EXPECT_EQ(ReadFileBytes((path + ".bad").toStdString()), c.bytes);
    EXPECT_FALSE(store.SavePending());
    list.AddRows(1);
    store.Flush();
    EXPECT_EQ(ReadFileBytes((path + ".bad").toStdString()), c.bytes);
  }
  {
    SCOPED_TRACE("missing");
    QTemporaryDir dir;
    DownloadList list;
    DownloadListStore store(list, dir.path() + "/none/downloads.json");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(store.Load());
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_EQ(list.RowCount(), 0);
  }
}

TEST(DownloadListStore, AFileThatCannotBeWrittenIsReportedOnceAndKeepsTheList) {
  QTemporaryDir dir;
  WriteFileBytes((dir.path() + "/blocker").toStdString(), "a file where the folder should be");
  DownloadList list;
  DownloadListStore store(list, dir.path() + "/blocker/downloads.json");
  Fill(list);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(store.Save());
  EXPECT_FALSE(store.Save());
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_EQ(list.RowCount(), 5);
}

}  // namespace
}  // namespace larkvale::queue
