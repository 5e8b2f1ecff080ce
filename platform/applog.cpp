#include "platform/applog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <memory>

#include "platform/version.h"

namespace larkvale::platform {

namespace {

const QString kLogName = QStringLiteral("Larkvale_HD.log");

QString OneLine(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  text.replace('\n', ' ');
  text.replace('\r', ' ');
  return text;
}

std::mutex processLogMutex;
std::unique_ptr<AppLog> processLog;

void AppendToProcessLog(const QString& kind, const QString& text) {
  std::lock_guard lock(processLogMutex);
  if (processLog) processLog->Append(kind, text);
}

}  // namespace

AppLog::AppLog(QString dir, qint64 maxBytes, int keptFiles)
    : dir_(std::move(dir)), maxBytes_(maxBytes), keptFiles_(keptFiles < 1 ? 1 : keptFiles) {}

QString AppLog::FilePath() const { return QDir(dir_).filePath(kLogName); }

void AppLog::RotateFor(qint64 incomingBytes) {
  const QString path = FilePath();
  const qint64 size = QFileInfo(path).size();
  // A single line longer than the limit still goes into a file of its own.
  if (size == 0 || size + incomingBytes <= maxBytes_) return;
  QFile::remove(path + '.' + QString::number(keptFiles_));
  for (int i = keptFiles_ - 1; i >= 1; --i)
    QFile::rename(path + '.' + QString::number(i), path + '.' + QString::number(i + 1));
  QFile::rename(path, path + ".1");
}

bool AppLog::Append(const QString& kind, const QString& text) {
  const QByteArray line = (QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + ' ' + kind +
                           QStringLiteral(": ") + OneLine(text) + '\n')
                              .toUtf8();
  std::lock_guard lock(mutex_);
  if (!QDir().mkpath(dir_)) return false;
  RotateFor(line.size());
  QFile file(FilePath());
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return false;
  return file.write(line) == line.size();
}

QString DefaultLogDir() {
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  // XDG base directory rules: a relative path is ignored.
  if (state.isEmpty() || QDir::isRelativePath(state))
    state = qEnvironmentVariable("HOME", QDir::homePath()) + QStringLiteral("/.local/state");
  return state + QStringLiteral("/Larkvale_HD");
}

void OpenProcessLog(const QString& dir) {
  std::lock_guard lock(processLogMutex);
  processLog = std::make_unique<AppLog>(dir);
}

void CloseProcessLog() {
  std::lock_guard lock(processLogMutex);
  processLog.reset();
}

bool ProcessLogIsOpen() {
  std::lock_guard lock(processLogMutex);
  return processLog != nullptr;
}

void StartProcessLog(const QString& dataDir) {
  OpenProcessLog(DefaultLogDir());
  AppendToProcessLog(QStringLiteral("start"),
                     QStringLiteral("Larkvale_HD %1, pid %2, data %3")
                         .arg(ProgramVersion())
                         .arg(QCoreApplication::applicationPid())
                         .arg(dataDir));
}

void LogErrorReport(const QString& title, const QString& message) {
  AppendToProcessLog(QStringLiteral("error"), title.isEmpty() ? message : title + QStringLiteral(": ") + message);
}

void LogFailedDownload(const QString& url, const QString& reason) {
  AppendToProcessLog(QStringLiteral("download failed"), url + QStringLiteral(": ") + reason);
}

void LogFailedConversion(const QString& file, const QString& reason) {
  AppendToProcessLog(QStringLiteral("conversion failed"), file + QStringLiteral(": ") + reason);
}

}  // namespace larkvale::platform
