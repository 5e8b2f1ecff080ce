#include "queue/downloadaction.h"

#include <QFile>
#include <stdexcept>

#include "extract/pagelines.h"
#include "extract/scanner.h"

namespace larkvale::queue {

DownloadAction::DownloadAction(http::TNetHTTP& client, DownloadList& list, std::function<void()> processMessages)
    : client_(client), list_(list), processMessages_(std::move(processMessages)) {}

void DownloadAction::SetStatus(const QString& text) {
  if (OnStatus) OnStatus(text);
}

DownloadAction::Outcome DownloadAction::Run(const std::string& url, const QString& tempDir,
                                            const extract::SiteAddresses& sites) {
  SetStatus(QStringLiteral("Downloading html"));
  const std::string page = client_.Get(url);

  const std::vector<std::string> lines = extract::SplitPageLines(page);
  pageLines_.clear();
  for (const std::string& line : lines) pageLines_ << QString::fromLatin1(line.data(), qsizetype(line.size()));
  const QString scratch = tempDir + QStringLiteral("temp.txt");
  QFile file(scratch);
  const std::string text = extract::JoinLinesCrLf(lines);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(text.data(), qint64(text.size())) != qint64(text.size()))
    throw std::runtime_error(
        QStringLiteral("Cannot create file \"%1\". %2").arg(scratch, file.errorString()).toStdString());
  file.close();

  const extract::ScanResult found = extract::ScanWatchPage(lines, sites.videoSite, sites.googleVideoServer);
  Outcome outcome = Outcome::NoVideo;
  if (found.found) {
    list_.AddRows(1);
    const int row = list_.RowCount() - 1;
    list_.BeginUpdate();
    list_.SetCellText(colUrl, row, QString::fromStdString(found.link));
    list_.SetCellInt(colSize, row, 0);
    list_.SetCellInt(colProgress, row, 0);
    list_.EndUpdate();
    outcome = Outcome::Queued;
    if (OnQueued) OnQueued(row);
  } else if (OnNoVideo) {
    OnNoVideo();
  }
  SetStatus(QStringLiteral("Done"));
  return outcome;
}

void DownloadAction::Status(const std::string& text) { SetStatus(QString::fromStdString(text)); }

void DownloadAction::WorkBegin(std::int64_t announced) {
  bytesSoFar_ = 0;
  announced_ = announced;
  if (announced > 0) SetStatus(QStringLiteral("Transfering: ") + QString::number(announced));
}

void DownloadAction::Work(std::int64_t count) {
  if (processMessages_) processMessages_();
  if (announced_ <= 0) {
    SetStatus(QString::number(count) + QStringLiteral(" bytes."));
  } else {
    SetStatus(QString::number(count) + QStringLiteral(" bytes of ") + QString::number(announced_) +
              QStringLiteral(" bytes."));
    bytesSoFar_ = count;
  }
}

void DownloadAction::WorkEnd() {
  SetStatus(QStringLiteral("Done"));
  bytesSoFar_ = 0;
}

}  // namespace larkvale::queue
