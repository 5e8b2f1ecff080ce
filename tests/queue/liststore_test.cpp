// The saved download list: every row and state comes back, a downloading
// row comes back stopped, saves are coalesced and atomic, and a damaged
// file starts an empty list without losing what it held.
#include "queue/liststore.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <functional>
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

// A save writes anew only the rows that changed since the last one: after
// each kind of change, what the store wrote is what the whole list says.
TEST(DownloadListStore, ASaveAfterAnyChangeWritesTheWholeListAsItIsNow) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/downloads.json";
  DownloadList list;
  DownloadListStore store(list, path);
  Fill(list);
  browser::PageSession session;
  session.referer = "http://page/";
  const struct {
    const char* name;
    std::function<void()> change;
  } cases[] = {
      {"a size", [&] { list.SetCellInt(colSize, 3, 1234); }},
      {"a progress", [&] { list.SetCellInt(colProgress, 1, 55); }},
      {"a file", [&] { list.SetCellText(colFile, 2, "/f/x.flv"); }},
      {"a state with its error", [&] { list.SetState(0, RowState::Failed, "Gone."); }},
      {"a note", [&] { list.SetNote(1, "Retrying in 4 s (503 Service Unavailable)"); }},
      {"a session", [&] { list.SetSession(3, session); }},
      {"a stream mark", [&] { list.MarkStream(4); }},
      {"a found mark", [&] { list.MarkFoundOnPage(0); }},
      {"a row added", [&] { list.AddRows(1); list.SetCellText(colUrl, list.RowCount() - 1, "http://v/new"); }},
      {"a row deleted", [&] { list.DeleteRow(1); }},
      {"the rows sorted", [&] { list.SortRows(colUrl, Qt::DescendingOrder); }},
  };
  store.Save();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.change();
    EXPECT_TRUE(store.SavePending());
    store.Flush();
    EXPECT_EQ(QByteArray::fromStdString(ReadFileBytes(path.toStdString())), SerializeDownloadList(list));
  }
  // The same through the saves the timer brings, written off this thread.
  list.SetCellInt(colProgress, 0, 99);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !store.SavePending(); }, 5000));
  store.Flush();  // waits for the writer
  EXPECT_EQ(QByteArray::fromStdString(ReadFileBytes(path.toStdString())), SerializeDownloadList(list));
}

// Saving a long list does not hold the window: a timer every 10 ms keeps
// firing while 100,000 rows, all of them new to the store, are saved.
TEST(DownloadListStore, ALongListIsSavedWhileTheWindowGoesOn) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/downloads.json";
  DownloadList list;
  DownloadListStore store(list, path);
  const int count = 100000;
  list.AddRows(count);
  list.BeginUpdate();
  for (int r = 0; r < count; ++r) {
    list.SetCellText(colUrl, r, QStringLiteral("http://videos.example/watch/%1/clip.mp4").arg(r));
    list.SetCellText(colFile, r, QStringLiteral("/home/me/Videos/flv%1video.mp4").arg(r));
    list.SetCellInt(colSize, r, 1000000 + r);
    list.SetCellInt(colProgress, r, 100);
    list.SetState(r, RowState::Done);
  }
  list.EndUpdate();
  ASSERT_TRUE(store.SavePending());

  using Clock = std::chrono::steady_clock;
  std::vector<Clock::time_point> ticks;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] { ticks.push_back(Clock::now()); });
  tick.start(10);
  ticks.push_back(Clock::now());
  // Until the file holds every row.
  const bool written = QTest::qWaitFor(
      [&] {
        return !store.SavePending() && QFileInfo(path).size() > 0 &&
               ReadFileBytes(path.toStdString()).find("flv99999video.mp4") != std::string::npos;
      },
      20000);
  tick.stop();
  ASSERT_TRUE(written);
  double longest = 0;
  for (std::size_t i = 1; i < ticks.size(); ++i)
    longest = std::max(longest, std::chrono::duration<double, std::milli>(ticks[i] - ticks[i - 1]).count());
  EXPECT_LT(longest, 50) << ticks.size() << " ticks";
  DownloadList back;
  ASSERT_TRUE(ParseDownloadList(QByteArray::fromStdString(ReadFileBytes(path.toStdString())), back));
  EXPECT_EQ(back.RowCount(), count);
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
