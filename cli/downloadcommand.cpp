// larkvale download URL... [-o DIR]: the window's Download action and the
// queue's file naming, one address after the other.

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <exception>

#include "app/sharedstate.h"
#include "app/workfolders.h"
#include "cli/commandline.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "extract/siteaddresses.h"
#include "http/httpclient.h"
#include "http/streams.h"
#include "platform/filesystem.h"
#include "platform/pump.h"
#include "platform/services.h"
#include "platform/settings.h"
#include "queue/downloadaction.h"
#include "queue/downloadlist.h"
#include "queue/queuerunner.h"

namespace larkvale::cli {

namespace {

// The next free name of the download folder, counting from `n` as a pass of
// the queue runner does.
QString NextFreeName(const QString& flvDir, int& n, const QString& extension) {
  QString name = queue::QueueRunner::FileName(flvDir, n, extension);
  while (platform::FileExists(name)) name = queue::QueueRunner::FileName(flvDir, ++n, extension);
  return name;
}

// The one place where the command line writes a download to disk: the body
// of `link` into `path`, created empty first, as the queue runner does it.
// A stopped or failed transfer keeps what arrived. Returns false when the
// transfer was stopped by an interruption.
bool DownloadInto(http::TNetHTTP& client, const QString& link, const QString& path) {
  queue::CreateEmptyFile(path);
  http::TNetFileStream sink(path.toLocal8Bit().toStdString());
  try {
    client.Get(link.toStdString(), sink);
    sink.Flush();
  } catch (...) {
    try {
      sink.Flush();  // keep what arrived before the failure
    } catch (...) {
    }
    throw;
  }
  return !Interrupted();
}

QString ErrorText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  } catch (...) {
  }
  return QStringLiteral("Unknown error");
}

// The download folder the window would use: the stored video folder's flv/,
// or the default tree's, each created when missing.
QString WindowDownloadFolder() {
  const platform::Environment environment = platform::Environment::FromProcess();
  app::SharedState state;
  app::SetUpWorkFolders(state, environment.homeDir, platform::SettingsFilePath(environment.configHome));
  return state.flvDir;
}

}  // namespace

int RunDownload(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Fetches each watch page, finds its video link and downloads the video into DIR, named as the "
      "window names its downloads (flv0video.flv, ...). The default folder is the flv/ folder of the "
      "window's working folder. Each saved file's path is written to standard output; progress goes "
      "to standard error. Ctrl+C stops the download and keeps the part already written."));
  parser.addPositionalArgument(QStringLiteral("URL"), QStringLiteral("Watch-page addresses, in order."),
                               QStringLiteral("URL..."));
  const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                  QStringLiteral("Download into DIR."), QStringLiteral("DIR"));
  parser.addOption(output);
  const QString command = QStringLiteral("download");
  if (const int status = ParseSubcommand(parser, command, arguments); status >= 0) return status;
  const QStringList urls = parser.positionalArguments();
  if (urls.isEmpty()) {
    ReportError(command, QStringLiteral("no address given (see 'larkvale download --help')"));
    return kBadUsage;
  }

  QString flvDir;
  try {
    if (parser.isSet(output)) {
      const QString dir = parser.value(output);
      if (!QFileInfo(dir).isDir()) {
        ReportError(dir, QStringLiteral("no such folder"));
        return kBadUsage;
      }
      flvDir = QDir(dir).absolutePath() + QLatin1Char('/');
    } else {
      flvDir = WindowDownloadFolder();
    }
  } catch (const std::exception& e) {
    ReportError(QStringLiteral("working folder"), QString::fromUtf8(e.what()));
    return kJobFailed;
  }
  // The fetched page's copy goes to a private scratch folder, so that a
  // window running meanwhile keeps its own.
  QTemporaryDir scratch;
  if (!scratch.isValid()) {
    ReportError(QStringLiteral("scratch folder"), scratch.errorString());
    return kJobFailed;
  }
  const QString tempDir = scratch.path() + QLatin1Char('/');

  const extract::SiteAddresses sites = extract::SiteAddresses::FromEnvironment();
  http::TNetHTTP pageClient, fileClient;
  http::ApplyWindowConfiguration(pageClient);
  http::ApplyWindowConfiguration(fileClient);
  queue::DownloadList list;
  queue::DownloadAction action(pageClient, list, [&pageClient] {
    platform::ProcessMessages();
    if (Interrupted()) pageClient.Disconnect();
  });
  pageClient.OnWork = [&action](http::TNetComponent*, http::TWorkMode, std::int64_t n) { action.Work(n); };

  const bool terminal = ProgressLine::StandardErrorIsTerminal();
  ProgressLine* progress = nullptr;
  fileClient.OnWorkBegin = [&progress](http::TNetComponent*, http::TWorkMode mode, std::int64_t announced) {
    // The request going out is work too; only the body coming in is shown.
    if (progress && mode == http::wmRead) progress->SetTotal(double(announced));
  };
  fileClient.OnWork = [&progress, &fileClient](http::TNetComponent*, http::TWorkMode mode, std::int64_t count) {
    if (progress && mode == http::wmRead) progress->SetDone(double(count));
    if (Interrupted()) fileClient.Disconnect();
  };

  bool failed = false;
  int n = 0;
  for (const QString& url : urls) {
    if (Interrupted()) break;
    queue::DownloadAction::Outcome outcome;
    try {
      outcome = action.Run(url.toStdString(), tempDir, sites);
    } catch (...) {
      if (Interrupted()) break;
      ReportError(url, ErrorText(std::current_exception()));
      failed = true;
      continue;
    }
    if (Interrupted()) break;
    if (outcome == queue::DownloadAction::Outcome::NoVideo) {
      ReportError(url, QStringLiteral("no video link found on the page"));
      failed = true;
      continue;
    }
    const QString link = list.CellText(queue::colUrl, list.RowCount() - 1);
    const QString name = NextFreeName(flvDir, n, queue::QueueRunner::ExtensionFor(link));
    ProgressLine line(QFileInfo(name).fileName(), ProgressLine::Unit::Bytes, terminal);
    progress = &line;
    bool complete = false;
    try {
      complete = DownloadInto(fileClient, link, name);
    } catch (...) {
      progress = nullptr;
      line.Finish(QStringLiteral("failed"));
      ReportError(url, ErrorText(std::current_exception()));
      failed = true;
      continue;
    }
    progress = nullptr;
    if (!complete) {
      line.Finish(QStringLiteral("stopped; the part downloaded is kept"));
      break;
    }
    line.Finish(QStringLiteral("done"));
    std::printf("%s\n", name.toLocal8Bit().constData());
    std::fflush(stdout);
  }
  if (Interrupted()) EndAsInterrupted();
  return failed ? kJobFailed : kSucceeded;
}

}  // namespace larkvale::cli
