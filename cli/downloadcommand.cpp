// larkvale download URL... [-o DIR]: the window's Download action, the
// queue's file naming and its .part transfer, one address after the other.

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <exception>

#include "queue/proxychoice.h"
#include "cli/commandline.h"
#include "cli/downloadjobs.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "extract/mediatypes.h"
#include "extract/siteaddresses.h"
#include "http/httpclient.h"
#include "http/proxy.h"
#include "http/ratelimit.h"
#include "http/uri.h"
#include "platform/pump.h"
#include "platform/services.h"
#include "platform/settings.h"
#include "platform/workfolders.h"
#include "queue/downloadaction.h"
#include "queue/downloadlist.h"
#include "queue/filenames.h"
#include "queue/parttransfer.h"
#include "queue/rowdownload.h"
#include "queue/retrypolicy.h"
#include "queue/queuerunner.h"
#include "stream/streamdownload.h"

namespace larkvale::cli {

namespace {

// The .part file that an earlier run started for `link` under one of the
// window's names in `flvDir`, found by the link it records; "" when none.
// One whose final name is taken meanwhile is left alone: finishing it would
// replace that file.
QString PartStartedFor(const QString& flvDir, const QString& link) {
  const QString pattern = QStringLiteral("flv*video") + queue::ExtensionFor(link) + QStringLiteral(".part");
  // (Recorded without a user and password.)
  const QString recorded = QString::fromStdString(http::AddressWithoutCredentials(link.toStdString()));
  for (const QString& part : QDir(flvDir).entryList({pattern}, QDir::Files, QDir::Name))
    if (queue::PartOrigin(flvDir + part) == recorded && !QFileInfo::exists(flvDir + part.chopped(5))) return flvDir + part;
  return {};
}

// The next free name from `n` on, claimed on disk by its empty .part, so
// that a window or another run downloading into the same folder meanwhile
// cannot take it too.
QString ClaimName(const QString& flvDir, int& n, const QString& extension) {
  for (;; ++n) {
    const QString name = queue::FreeName(flvDir, n, extension);
    // A folder it cannot be made in is the transfer's to report.
    if (queue::ClaimPart(queue::PartFileName(name)) || !QFileInfo::exists(queue::PartFileName(name))) return name;
  }
}

// The longest --timeout: its milliseconds still fit an int.
constexpr int kMaxLimitSeconds = 1'000'000;

// The final name whose pieces an earlier run fetched for the stream `link`
// in `flvDir`, found by the state file beside them; "" when none.
QString StreamStartedFor(const QString& flvDir, const QString& link) {
  const QByteArray wanted = "stream " + link.toUtf8() + "\n";
  for (const QString& folder : QDir(flvDir).entryList({QStringLiteral("flv*video.mp4.segments")}, QDir::Dirs, QDir::Name)) {
    QFile state(flvDir + folder + QStringLiteral("/state"));
    const QString name = flvDir + folder.chopped(9);
    if (state.open(QIODevice::ReadOnly) && state.read(wanted.size() + 1).startsWith(wanted) && !QFileInfo::exists(name))
      return name;
  }
  return {};
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
  platform::WorkFolders folders;
  platform::SetUpWorkFolders(folders, environment.homeDir, platform::SettingsFilePath(environment.configHome));
  return folders.flvDir;
}

// What `larkvale download` was asked to do.
struct DownloadRequest {
  QStringList urls;
  QString flvDir;
  int limitSeconds = http::kDefaultLimitSeconds;
  int parallel = 1;
  int perHost = queue::QueueRunner::kPerHost;
  int retries = static_cast<int>(queue::kRetryPausesMs.size());
  int maxHeight = 0;
  int connections = 4;
};

// Reads the options into `request` (proxy and rate limit are set for the
// process); -1 when it may go on, else the exit status.
// The options of `larkvale download`, added to `parser`.
struct DownloadOptions {
  explicit DownloadOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Fetches each address as the window's Download does (a watch page gives its video, an ordinary "
        "page the videos it shows, at most 20, and the address of a video file that file) and downloads "
        "the videos into DIR, named as the window names its downloads (flv0video.flv, ...). The default "
        "folder is the flv/ folder of the window's working folder. Each saved file's path is written to "
        "standard output; progress goes to standard error.\n\n"
        "A video is written to its name plus .part and renamed when it is whole. Ctrl+C stops the "
        "download and keeps the .part, as does a transfer that fails after some of it arrived. The .part "
        "records its link: a later download of the same link into the same folder continues it from "
        "where it stopped."));
    parser.addPositionalArgument(QStringLiteral("URL"), QStringLiteral("Page or video addresses, in order."),
                                 QStringLiteral("URL..."));
    for (const QCommandLineOption* option :
         {&output, &timeout, &proxy, &maxHeight, &connections, &limitRate, &retries, &parallel, &perHost})
      parser.addOption(*option);
  }

  const QCommandLineOption output{{QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("Download into DIR."),
                                  QStringLiteral("DIR")};
  const QCommandLineOption timeout{
      QStringLiteral("timeout"),
      QStringLiteral("Give up on a server that sends no byte for SECONDS, or whose reply head is not complete "
                     "within SECONDS (default %1; 0: wait for ever).")
          .arg(http::kDefaultLimitSeconds),
      QStringLiteral("SECONDS")};
  const QCommandLineOption proxy{
      QStringLiteral("proxy"),
      QStringLiteral("Reach the web through PROXY: an address (http://host:port, socks5h://host:port, with "
                     "user:password@ if it wants them), \"none\" or \"environment\" (http_proxy, https_proxy, "
                     "all_proxy, no_proxy). The default is the window's proxy setting."),
      QStringLiteral("PROXY")};
  const QCommandLineOption maxHeight{QStringLiteral("max-height"),
                                     QStringLiteral("For HLS and DASH streams: the tallest picture wanted, in lines "
                                                    "(1080, 720, 480, 360, ...); the default is the best."),
                                     QStringLiteral("LINES")};
  const QCommandLineOption connections{QStringLiteral("connections"),
                                       QStringLiteral("Connections at once, 1 to 16 (default 4): the pieces of an HLS "
                                                      "or DASH stream, or the parts of a file of 16 MiB or more from "
                                                      "a server that takes Range requests."),
                                       QStringLiteral("N")};
  const QCommandLineOption limitRate{
      QStringLiteral("limit-rate"),
      QStringLiteral("Take at most RATE for all transfers together: KB/s (1 KB = 1024 bytes), or with a suffix "
                     "k or m (500k, 2m); 0: no limit (the default)."),
      QStringLiteral("RATE")};
  const QCommandLineOption retries{
      QStringLiteral("retries"),
      QStringLiteral("Ask again up to N times (0 to 10, default %1) after a fault that passes: a reset, a time-out, "
                     "or a busy or failing server (408, 429, 500, 502, 503, 504), after 1 s, 4 s, then 15 s, or "
                     "after the server's Retry-After (at most 5 minutes).")
          .arg(queue::kRetryPausesMs.size()),
      QStringLiteral("N")};
  const QCommandLineOption parallel{
      QStringLiteral("parallel"),
      QStringLiteral("Download up to N files at once (1 to %1, default 1), at most --per-host from one server; "
                     "each file ends with one line. An HLS or DASH stream still downloads alone.")
          .arg(queue::QueueRunner::kMaxAtOnce),
      QStringLiteral("N")};
  const QCommandLineOption perHost{
      QStringLiteral("per-host"),
      QStringLiteral("With --parallel, at most N files at once from one server (1 to %1, default %2): servers and "
                     "CDNs often slow down or refuse more, some welcome them.")
          .arg(queue::QueueRunner::kMaxAtOnce)
          .arg(queue::QueueRunner::kPerHost),
      QStringLiteral("N")};
};

// The client that fetches the pages and the Download action it serves.
struct PageFetch {
  explicit PageFetch(int limitSeconds) {
    http::ApplyWindowConfiguration(client);
    client.IdleLimitMs = limitSeconds * 1000;
    client.HeadLimitMs = limitSeconds * 1000;
    action.OnStatus = [this](const QString& text) { lastStatus = text; };
    client.OnWork = [this](http::TNetComponent*, http::TWorkMode, std::int64_t n) { action.Work(n); };
    client.OnWaiting = [this](http::TNetComponent*) {
      if (Interrupted()) action.Stop();
    };
  }
  http::TNetHTTP client;
  queue::DownloadList list;
  queue::DownloadAction action{client, list, [this] {
                                 platform::ProcessMessages();
                                 if (Interrupted()) action.Stop();
                               }};
  QString lastStatus;
};

// The rows an address gave, from `first` on: each takes the .part an
// earlier run left for its link, or the next free name as the window
// counts them from `n`, in row order.
void AddJobs(const queue::DownloadList& list, int first, const QString& flvDir, int& n, const QString& url,
             DownloadJobs& jobs) {
  for (int row = first; row < list.RowCount(); ++row) {
    const QString link = list.CellText(queue::colUrl, row);
    const bool stream = queue::RowDownload::IsStream(link, list.IsMarkedStream(row), QString());
    QString name = stream ? StreamStartedFor(flvDir, link) : QString();
    if (!stream) {
      const QString part = PartStartedFor(flvDir, link);
      if (!part.isEmpty()) name = part.chopped(5);
    }
    const bool claimed = name.isEmpty();
    if (claimed) name = ClaimName(flvDir, n, stream ? QStringLiteral(".mp4") : queue::ExtensionFor(link));
    jobs.Add(url, link, queue::PartFileName(name), stream, list.IsFoundOnPage(row), claimed);
  }
}

int ParseDownloadRequest(const QStringList& arguments, DownloadRequest& request) {
  QCommandLineParser parser;
  const DownloadOptions options(parser);
  const QString command = QStringLiteral("download");
  if (const int status = ParseSubcommand(parser, command, arguments); status >= 0) return status;
  request.urls = parser.positionalArguments();
  if (request.urls.isEmpty()) {
    ReportError(command, QStringLiteral("no address given (see 'larkvale download --help')"));
    return kBadUsage;
  }

  if (parser.isSet(options.timeout)) {
    bool ok = false;
    request.limitSeconds = parser.value(options.timeout).toInt(&ok);
    // Milliseconds of it must fit the client's int.
    if (!ok || request.limitSeconds < 0 || request.limitSeconds > kMaxLimitSeconds) {
      ReportError(QStringLiteral("--timeout"),
                  QStringLiteral("'%1' is not a whole number of seconds from 0 to %2")
                      .arg(parser.value(options.timeout))
                      .arg(kMaxLimitSeconds));
      return kBadUsage;
    }
  }
  http::SetProxySetting(parser.isSet(options.proxy) ? http::ParseProxySetting(parser.value(options.proxy).toStdString())
                                            : queue::StoredProxySetting(platform::SettingsFilePath(
                                                  platform::Environment::FromProcess().configHome)));
  const auto number = [&](const QCommandLineOption& option, int low, int high, int& into) {
    if (!parser.isSet(option)) return true;
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < low || value > high) {
      ReportError(QStringLiteral("--") + option.names().constFirst(),
                  QStringLiteral("'%1' is not a number from %2 to %3").arg(parser.value(option)).arg(low).arg(high));
      return false;
    }
    into = value;
    return true;
  };
  if (!number(options.maxHeight, 1, 100000, request.maxHeight) || !number(options.connections, 1, 16, request.connections) ||
      !number(options.retries, 0, 10, request.retries) || !number(options.parallel, 1, queue::QueueRunner::kMaxAtOnce, request.parallel) ||
      !number(options.perHost, 1, queue::QueueRunner::kMaxAtOnce, request.perHost))
    return kBadUsage;
  if (parser.isSet(options.limitRate)) {
    const std::int64_t rate = http::ParseRateKBps(parser.value(options.limitRate).toStdString());
    if (rate < 0) {
      ReportError(QStringLiteral("--limit-rate"),
                  QStringLiteral("'%1' is not a rate (KB/s, or a number with k or m)").arg(parser.value(options.limitRate)));
      return kBadUsage;
    }
    http::RateLimit::Global().SetBytesPerSecond(rate);
  }

  try {
    if (parser.isSet(options.output)) {
      const QString dir = parser.value(options.output);
      if (!QFileInfo(dir).isDir()) {
        ReportError(dir, QStringLiteral("no such folder"));
        return kBadUsage;
      }
      request.flvDir = QDir(dir).absolutePath() + QLatin1Char('/');
    } else {
      request.flvDir = WindowDownloadFolder();
    }
  } catch (const std::exception& e) {
    ReportError(QStringLiteral("working folder"), QString::fromUtf8(e.what()));
    return kJobFailed;
  }
  return -1;
}

}  // namespace

int RunDownload(const QStringList& arguments) {
  DownloadRequest request;
  if (const int status = ParseDownloadRequest(arguments, request); status >= 0) return status;

  // The fetched page's copy goes to a private scratch folder, so that a
  // window running meanwhile keeps its own.
  QTemporaryDir scratch;
  if (!scratch.isValid()) {
    ReportError(QStringLiteral("scratch folder"), scratch.errorString());
    return kJobFailed;
  }
  const QString tempDir = scratch.path() + QLatin1Char('/');
  // A signal ends the program without running destructors: it removes the
  // folder itself.
  RemoveOnInterrupt(scratch.path());
  struct Forget {
    ~Forget() { ForgetScratchFolder(); }
  } forget;

  // The pages are fetched here, one after the other, as the window's
  // Download does; the files they give run as rows.
  const extract::SiteAddresses sites = extract::SiteAddresses::FromEnvironment();
  PageFetch pages(request.limitSeconds);
  pages.action.MaxHeight = [&request] { return request.maxHeight; };
  queue::DownloadList& list = pages.list;

  DownloadJobs::Settings settings;
  settings.parallel = request.parallel;
  settings.perHost = request.perHost;
  settings.retries = request.retries;
  settings.terminal = ProgressLine::StandardErrorIsTerminal();
  settings.idleLimitMs = request.limitSeconds * 1000;
  settings.row.connections = request.connections;
  settings.row.maxHeight = request.maxHeight;
  DownloadJobs jobs(settings);

  int n = 0;  // where the search for a free name starts
  bool failed = false;
  for (const QString& address : request.urls) {
    if (Interrupted()) break;
    // Messages name the address without a user and password it may carry.
    const QString url = QString::fromStdString(http::AddressWithoutCredentials(address.toStdString()));
    const int first = list.RowCount();
    queue::DownloadAction::Outcome outcome;
    try {
      outcome = pages.action.Run(address.toStdString(), tempDir, sites);
    } catch (...) {
      if (Interrupted()) break;
      ReportError(url, ErrorText(std::current_exception()));
      failed = true;
      continue;
    }
    if (Interrupted() || outcome == queue::DownloadAction::Outcome::Stopped) break;
    // (A page with more videos says so in its "Queued" line below.)
    if (pages.action.PageCut() && !pages.lastStatus.startsWith(QStringLiteral("Queued ")))
      ReportError(url, queue::DownloadAction::PageCutText());
    if (outcome == queue::DownloadAction::Outcome::NoVideo) {
      ReportError(url, QStringLiteral("no video link found on the page"));
      failed = true;
      continue;
    }
    // A page with more videos than the window queues says so.
    if (pages.lastStatus.startsWith(QStringLiteral("Queued "))) ReportError(url, pages.lastStatus);
    AddJobs(list, first, request.flvDir, n, url, jobs);
    // The next address is fetched once its rows have all started and a
    // place is free: one at a time keeps the order it always had.
    jobs.WaitForRoom();
  }
  jobs.WaitForAll();
  if (Interrupted()) EndAsInterrupted();
  return failed || jobs.Failed() ? kJobFailed : kSucceeded;
}

}  // namespace larkvale::cli
