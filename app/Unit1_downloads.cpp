// The download list's handlers, the Download action and the queue runner.
#include <QFile>
#include <QUrl>

#include "app/Unit1_p.h"
#include "extract/pagelines.h"
#include "extract/scanner.h"
#include "platform/filesystem.h"
#include "platform/pump.h"
#include "platform/shell.h"
#include "queue/queuerunner.h"

namespace larkvale::app {

using widgets::TColor;

void TForm1::DownloadGrid1CellFormating(QObject*, int, int ARow, TColor& TextColor, widgets::FontStyles& FontStyle,
                                        widgets::CellState) {
  // A finished row reads grey and struck through; the row being downloaded
  // reads blue, and blue wins over grey.
  if (DownloadList->CellInt(QStringLiteral("ProgressColumn1"), ARow) == 100) {
    TextColor = TColor::System(widgets::clGrayTextIndex);
    FontStyle |= widgets::fsStrikeOut;
  }
  if (ARow == CurrentDownloadRow) TextColor = TColor::Rgb(0, 0, 255);
}

void TForm1::DownloadGrid1CellColoring(QObject*, int, int ARow, TColor& CellColor, TColor& GridColor,
                                       widgets::CellState) {
  if (ARow % 2 == 0) {
    CellColor = TColor::System(widgets::clMenuBarIndex);
    GridColor = TColor::System(widgets::clMenuBarIndex);
  }
}

void TForm1::DownloadGrid1DblClick() {
  Guard([this] {
    const int row = DownloadGrid1->SelectedRow();
    if (row < 0) return;
    const QString path = DownloadList->CellText(queue::colFile, row);
    if (platform::FileExists(path))
      services_.shell->Open(QUrl::fromLocalFile(path));
    else
      ShowPage(pgBrowser);
  });
}

void TForm1::Delete1Click() {
  Guard([this] {
    const int row = DownloadGrid1->SelectedRow();
    if (row >= 0) DownloadList->DeleteRow(row);
  });
}

void TForm1::BuildDownloads() {
  http1_ = std::make_unique<http::TNetHTTP>();
  http2_ = std::make_unique<http::TNetHTTP>();
  HTTP1 = http1_.get();
  HTTP2 = http2_.get();
  http::ApplyWindowConfiguration(*HTTP1);
  http::ApplyWindowConfiguration(*HTTP2);
  HTTP1->OnStatus = [this](http::TNetComponent*, http::TNetStatus s, const std::string& t) { HTTP1Status(s, t); };
  HTTP1->OnWorkBegin = [this](http::TNetComponent*, http::TWorkMode m, std::int64_t n) { HTTP1WorkBegin(m, n); };
  HTTP1->OnWork = [this](http::TNetComponent*, http::TWorkMode m, std::int64_t n) { HTTP1Work(m, n); };
  HTTP1->OnWorkEnd = [this](http::TNetComponent*, http::TWorkMode m) { HTTP1WorkEnd(m); };
  HTTP2->OnStatus = [this](http::TNetComponent*, http::TNetStatus s, const std::string& t) { HTTP2Status(s, t); };
  HTTP2->OnWorkBegin = [this](http::TNetComponent*, http::TWorkMode m, std::int64_t n) { HTTP2WorkBegin(m, n); };
  HTTP2->OnWork = [this](http::TNetComponent*, http::TWorkMode m, std::int64_t n) { HTTP2Work(m, n); };
  HTTP2->OnWorkEnd = [this](http::TNetComponent*, http::TWorkMode m) { HTTP2WorkEnd(m); };
  // While either client waits for the network the window stays live; Stop
  // (HTTP1) and "Stop downloads" (HTTP2, through the runner) end the wait.
  HTTP1->OnWaiting = [](http::TNetComponent*) { platform::ProcessMessages(); };
  HTTP2->OnWaiting = [this](http::TNetComponent*) { runner_->Waiting(); };

  queue::RunnerHooks hooks;
  hooks.stopped = [this] { return DownloadsStopped; };
  hooks.flvDir = [this] { return FlvDir; };
  hooks.status = [this](const QString& text) { status->SetText(text); };
  hooks.addToTimeline = [this](const QString& path) { AddToTimeline(path); };
  hooks.processMessages = [] { platform::ProcessMessages(); };
  hooks.atTopLevel = [] { return platform::AtTopLevel(); };
  hooks.reportError = [this](std::exception_ptr error) {
    Guard([&] { std::rethrow_exception(error); });
  };
  runner_ = std::make_unique<queue::QueueRunner>(*DownloadList, *HTTP2, CurrentDownloadRow, std::move(hooks));

  connect(mxImageButton4, &QToolButton::clicked, this, [this] { Button1Click(); });
  connect(mxTPButton10, &QPushButton::clicked, this, [this] { mxTPButton10Click(); });
}

// --- Download action ------------------------------------------------------------

void TForm1::Button1Click() {
  Guard([this] {
    status->SetText(QStringLiteral("Downloading html"));
    const std::string url = URLs->currentText().toStdString();
    // A second Download while the first still fetches is refused by the
    // client (it never mixes two requests on one connection); the error
    // report says so and the first fetch goes on.
    const std::string page = HTTP1->Get(url);

    const std::vector<std::string> lines = extract::SplitPageLines(page);
    ListBox1.clear();
    for (const std::string& line : lines) ListBox1 << QString::fromLatin1(line.data(), qsizetype(line.size()));
    const QString scratch = TempDir + QStringLiteral("temp.txt");
    QFile file(scratch);
    const std::string text = extract::JoinLinesCrLf(lines);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(text.data(), qint64(text.size())) != qint64(text.size()))
      throw std::runtime_error(
          QStringLiteral("Cannot create file \"%1\". %2").arg(scratch, file.errorString()).toStdString());
    file.close();

    const extract::ScanResult found = extract::ScanWatchPage(lines, Sites.videoSite, Sites.googleVideoServer);
    if (found.found) {
      DownloadList->AddRows(1);
      const int row = DownloadList->RowCount() - 1;
      DownloadList->BeginUpdate();
      DownloadList->SetCellText(queue::colUrl, row, QString::fromStdString(found.link));
      DownloadList->SetCellInt(queue::colSize, row, 0);
      DownloadList->SetCellInt(queue::colProgress, row, 0);
      DownloadList->EndUpdate();
      if (DownloadsStopped) mxTPButton10Click();
    } else {
      services_.dialogs->ShowMessage(AppName, QStringLiteral("No video"));
    }
    status->SetText(QStringLiteral("Done"));
  });
}

void TForm1::HTTP1Status(http::TNetStatus, const std::string& AStatusText) {
  status->SetText(QString::fromStdString(AStatusText));
}

void TForm1::HTTP1WorkBegin(http::TWorkMode, std::int64_t AWorkCountMax) {
  ProgressBar1.Position = 0;
  ProgressBar1.Max = AWorkCountMax;
  if (AWorkCountMax > 0) status->SetText(QStringLiteral("Transfering: ") + QString::number(AWorkCountMax));
}

void TForm1::HTTP1Work(http::TWorkMode, std::int64_t AWorkCount) {
  platform::ProcessMessages();
  if (ProgressBar1.Max <= 0) {
    status->SetText(QString::number(AWorkCount) + QStringLiteral(" bytes."));
  } else {
    status->SetText(QString::number(AWorkCount) + QStringLiteral(" bytes of ") + QString::number(ProgressBar1.Max) +
                    QStringLiteral(" bytes."));
    ProgressBar1.Position = AWorkCount;
  }
}

void TForm1::HTTP1WorkEnd(http::TWorkMode) {
  status->SetText(QStringLiteral("Done"));
  ProgressBar1.Position = 0;
}

// --- Queue runner ------------------------------------------------------------------

void TForm1::mxTPButton9Click() { runner_->Start(); }

void TForm1::mxTPButton10Click() {
  Guard([this] {
    if (DownloadsStopped) {
      DownloadsStopped = false;
      mxTPButton10->setText(tr("Stop downloads"));
      mxTPButton10->setAccessibleName(tr("Stop downloads"));
      mxTPButton10->SetImageIndex(1);
      mxTPButton9Click();
    } else {
      DownloadsStopped = true;
      mxTPButton10->setText(tr("Start downloads"));
      mxTPButton10->setAccessibleName(tr("Start downloads"));
      mxTPButton10->SetImageIndex(2);
    }
  });
}

void TForm1::HTTP2Status(http::TNetStatus, const std::string& AStatusText) {
  status->SetText(QString::fromStdString(AStatusText));
}

void TForm1::HTTP2WorkBegin(http::TWorkMode, std::int64_t AWorkCountMax) { runner_->WorkBegin(AWorkCountMax); }

void TForm1::HTTP2Work(http::TWorkMode, std::int64_t AWorkCount) { runner_->Work(AWorkCount); }

void TForm1::HTTP2WorkEnd(http::TWorkMode) { runner_->WorkEnd(); }

}  // namespace larkvale::app
