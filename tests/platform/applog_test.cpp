#include "platform/applog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "platform/errorreport.h"
#include "support/fakes.h"

namespace larkvale::platform {
namespace {

QStringList LinesOf(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

TEST(AppLog, OneTimestampedLinePerEventEvenForMultiLineTexts) {
  QTemporaryDir dir;
  AppLog log(dir.filePath("state/Larkvale_HD"));  // created on the first line
  ASSERT_TRUE(log.Append("start", "Larkvale_HD 1.0"));
  ASSERT_TRUE(log.Append("error", "Socket Error # 10061\nConnection refused.\r\nagain"));
  const QStringList lines = LinesOf(log.FilePath());
  ASSERT_EQ(lines.size(), 2);
  const QRegularExpression shape(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (\w[\w ]*): (.*)$)");
  const auto first = shape.match(lines[0]);
  const auto second = shape.match(lines[1]);
  ASSERT_TRUE(first.hasMatch()) << lines[0].toStdString();
  ASSERT_TRUE(second.hasMatch()) << lines[1].toStdString();
  EXPECT_EQ(first.captured(1), "start");
  // CRLF is one break, so one space.
  EXPECT_EQ(second.captured(2).toStdString(), "Socket Error # 10061 Connection refused. again");
  EXPECT_EQ(log.FilePath(), dir.filePath("state/Larkvale_HD/Larkvale_HD.log"));
}

TEST(AppLog, RotatesBySizeKeepingTheNewestFiles) {
  QTemporaryDir dir;
  const qint64 maxBytes = 200;
  AppLog log(dir.path(), maxBytes, 2);
  // Each line is about 60 bytes: three fit into a file, the fourth rotates.
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(log.Append("error", QString("event %1 ").arg(i, 2, 10, QChar('0')).repeated(3)));
  const QString path = log.FilePath();
  EXPECT_TRUE(QFile::exists(path + ".1"));
  EXPECT_TRUE(QFile::exists(path + ".2"));
  EXPECT_FALSE(QFile::exists(path + ".3"));
  for (const QString& p : {path, path + ".1", path + ".2"}) {
    SCOPED_TRACE(p.toStdString());
    EXPECT_LE(QFileInfo(p).size(), maxBytes);
  }
  // Nothing lost between the kept files, and the newest event is in the live file.
  const QStringList all = LinesOf(path + ".2") + LinesOf(path + ".1") + LinesOf(path);
  ASSERT_FALSE(all.isEmpty());
  EXPECT_TRUE(all.last().contains("event 19"));
  for (qsizetype i = 1; i < all.size(); ++i) {
    const int previous = all[i - 1].section("event ", 1, 1).left(2).toInt();
    EXPECT_EQ(all[i].section("event ", 1, 1).left(2).toInt(), previous + 1) << all[i].toStdString();
  }
}

TEST(AppLog, AnUnwritableFolderIsReportedNotThrown) {
  QTemporaryDir dir;
  QFile blocker(dir.filePath("file"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  AppLog log(dir.filePath("file/Larkvale_HD"));  // a file where the folder should be
  EXPECT_FALSE(log.Append("start", "x"));
}

TEST(AppLog, DefaultFolderFollowsXdgStateHome) {
  const QByteArray oldState = qgetenv("XDG_STATE_HOME");
  const QByteArray oldHome = qgetenv("HOME");
  qputenv("HOME", "/home/ann");
  qputenv("XDG_STATE_HOME", "/var/state-of-ann");
  EXPECT_EQ(DefaultLogDir(), "/var/state-of-ann/Larkvale_HD");
  for (const char* ignored : {"", "relative/state"}) {
    SCOPED_TRACE(ignored);
    qputenv("XDG_STATE_HOME", ignored);
    EXPECT_EQ(DefaultLogDir(), "/home/ann/.local/state/Larkvale_HD");
  }
  qputenv("XDG_STATE_HOME", oldState);
  qputenv("HOME", oldHome);
  if (oldState.isNull()) qunsetenv("XDG_STATE_HOME");
}

TEST(AppLog, TheProcessLogGetsErrorReportsAndFailuresOnlyOnceOpened) {
  QTemporaryDir dir;
  larkvale::testing::ScriptedDialogs dialogs;
  const QString path = AppLog(dir.path()).FilePath();

  ASSERT_FALSE(ProcessLogIsOpen());
  ShowErrorReport(dialogs, "Larkvale_HD", "Not logged");
  LogFailedDownload("http://127.0.0.1:9/get_video?video_id=a", "Not logged either");
  EXPECT_FALSE(QFile::exists(path));

  OpenProcessLog(dir.path());
  ShowErrorReport(dialogs, "Larkvale_HD", "File not found");
  RunGuarded(dialogs, "Larkvale_HD", [] { throw std::runtime_error("Connection refused"); });
  LogFailedDownload("http://127.0.0.1:9/get_video?video_id=a", "Socket Error # 10061");
  LogFailedConversion("/home/ann/larkvale/Larkvale_HD/clip.avi", "Cannot open the output file");
  CloseProcessLog();
  ShowErrorReport(dialogs, "Larkvale_HD", "After closing");

  const QStringList lines = LinesOf(path);
  ASSERT_EQ(lines.size(), 4) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines[0].endsWith(" error: Larkvale_HD: File not found."));
  EXPECT_TRUE(lines[1].endsWith(" error: Larkvale_HD: Connection refused."));
  EXPECT_TRUE(lines[2].endsWith(" download failed: http://127.0.0.1:9/get_video?video_id=a: Socket Error # 10061"));
  EXPECT_TRUE(lines[3].endsWith(" conversion failed: /home/ann/larkvale/Larkvale_HD/clip.avi: Cannot open the output file"));
  // The user still saw every report.
  EXPECT_EQ(dialogs.Errors().size(), 4);
}

}  // namespace
}  // namespace larkvale::platform
