#include "queue/rowdownload.h"

#include <QFile>
#include <QFileInfo>
#include <mutex>
#include <vector>

#include "extract/mediatypes.h"
#include "queue/filenames.h"
#include "queue/sessionscope.h"

namespace larkvale::queue {
namespace {

// The client's events as they were, put back when the download ends.
class EventsScope {
 public:
  explicit EventsScope(http::TNetHTTP& client)
      : client_(client),
        status_(client.OnStatus),
        begin_(client.OnWorkBegin),
        work_(client.OnWork),
        end_(client.OnWorkEnd),
        waiting_(client.OnWaiting) {}
  ~EventsScope() {
    client_.OnStatus = status_;
    client_.OnWorkBegin = begin_;
    client_.OnWork = work_;
    client_.OnWorkEnd = end_;
    client_.OnWaiting = waiting_;
  }

 private:
  http::TNetHTTP& client_;
  decltype(http::TNetHTTP::OnStatus) status_;
  decltype(http::TNetHTTP::OnWorkBegin) begin_;
  decltype(http::TNetHTTP::OnWork) work_;
  decltype(http::TNetHTTP::OnWorkEnd) end_;
  decltype(http::TNetHTTP::OnWaiting) waiting_;
};

}  // namespace

RowResult ResultOf(const PartTransfer::Result& r) {
  RowResult result;
  result.complete = r.complete;
  result.stopped = r.stopped;
  result.error = r.error;
  result.have = r.have;
  result.transient = r.transient;
  result.reason = r.reason;
  result.retryAfterMs = r.retryAfterMs;
  result.diskFull = r.diskFull;
  return result;
}

RowDownload::RowDownload(http::TNetHTTP& client, RowOptions options)
    : client_(client), options_(std::move(options)), transfer_(client) {}

void RowDownload::Stop() { stop_ = true; }

bool RowDownload::PiecesKept(const QString& finalName) {
  return QFileInfo(QString::fromStdString(stream::StreamDownload::PiecesFolder(finalName.toStdString()))).isDir();
}

bool RowDownload::IsStream(const QString& link, bool marked, const QString& file) {
  if (marked || extract::HasStreamExtension(link.toStdString())) return true;
  // After a restart the mark is gone, but the pieces fetched are still there.
  return IsPartFileName(file) && PiecesKept(file.chopped(5));
}

RowResult RowDownload::Run(const QString& link, const QString& part, RowProgress& progress) {
  stop_ = false;
  return options_.stream ? RunStream(link, part, progress) : RunFile(link, part, progress);
}

RowResult RowDownload::RunFile(const QString& link, const QString& part, RowProgress& progress) {
  const EventsScope events(client_);
  // A row from a browsed page goes out with the browser's session.
  const SessionScope session(client_, options_.session, link.toStdString());
  transfer_.connections = options_.connections;
  transfer_.refusePages = options_.refusePages;
  transfer_.recordOrigin = options_.recordOrigin;
  std::int64_t received = 0, bodyCount = 0;
  // The connection's steps ("Connecting to ...") for the status line.
  client_.OnStatus = [&](http::TNetComponent*, http::TNetStatus, const std::string& text) {
    progress.Status(QString::fromStdString(text));
  };
  // Only the body of the reply that is the file counts (not a request
  // going out, a redirect's body or an error page): the transfer decides.
  client_.OnWorkBegin = [&](http::TNetComponent*, http::TWorkMode mode, std::int64_t announced) {
    if (mode != http::wmRead || !transfer_.Begin(announced)) return;
    bodyCount = 0;
    progress.Began(transfer_.Resumed(), transfer_.Expected());
    progress.Moved(transfer_.Base(), transfer_.Expected(), received, -1);
  };
  client_.OnWork = [&](http::TNetComponent*, http::TWorkMode mode, std::int64_t count) {
    if (mode == http::wmRead && transfer_.Counting()) {
      received += count - bodyCount;
      bodyCount = count;
      progress.Moved(transfer_.Base() + count, transfer_.Expected(), received, -1);
    }
    progress.Idle();
    if (stop_) transfer_.Stop();
  };
  client_.OnWorkEnd = nullptr;
  // A stop ends a wait for the network as well, at its next slice.
  client_.OnWaiting = [&](http::TNetComponent*) {
    progress.Idle();
    if (stop_) transfer_.Stop();
  };
  PartTransfer::Result r;
  try {
    r = transfer_.Run(link, part);
  } catch (const std::exception& e) {
    r.error = QString::fromUtf8(e.what());
  } catch (...) {
    r.error = QStringLiteral("Unknown error");
  }
  RowResult result = ResultOf(r);
  if (r.complete) result.fileBytes = std::max<qint64>(QFileInfo(part.chopped(5)).size(), 0);
  return result;
}

RowResult RowDownload::RunStream(const QString& link, const QString& part, RowProgress& progress) {
  const QString name = part.chopped(5);
  RowResult result;
  // An empty .part holds the name while the pieces arrive, and lets a later
  // run find them through it.
  try {
    if (!QFileInfo::exists(part)) CreateEmptyFile(part);
  } catch (const std::exception& e) {
    result.error = QString::fromUtf8(e.what());
    return result;
  }
  stream::StreamOptions options;
  options.maxHeight = options_.maxHeight;
  if (options_.connections > 0) options.connections = options_.connections;
  options.makeClient = options_.streamClient;
  // A row found on a browsed page carries the browser's session to every
  // request of the stream (to its own server only, as for files). The
  // scopes outlive the stream's clients, which end with `download`.
  std::mutex scopesLock;
  std::vector<std::unique_ptr<SessionScope>> scopes;
  if (!options_.session.Empty()) {
    const stream::ClientFactory make = options.makeClient ? options.makeClient : stream::DefaultStreamClient;
    options.makeClient = [make, session = options_.session, address = link.toStdString(), &scopesLock, &scopes] {
      std::unique_ptr<http::TNetHTTP> client = make();
      auto scope = std::make_unique<SessionScope>(*client, session, address);
      scope->KeepOnClient();
      const std::lock_guard<std::mutex> hold(scopesLock);
      scopes.push_back(std::move(scope));
      return client;
    };
  }
  stream::StreamDownload download(options);
  bool began = false;
  const auto r = download.Run(
      link.toStdString(), name.toStdString(),
      [&](const stream::StreamProgress& p) {
        // What was there before this run (pieces kept from the last) counts
        // in the amount, not in the speed.
        if (!began && p.total > 0) {
          began = true;
          progress.Began(p.have - p.bytes, p.expected);
        }
        progress.Moved(p.have, p.expected, p.bytes, p.Fraction());
        progress.Idle();
        if (stop_) download.Stop();
      },
      [&](const std::string& text) { progress.Status(QString::fromStdString(text)); });
  result.complete = r.complete;
  result.stopped = !r.complete && r.stopped;
  result.error = QString::fromStdString(r.error);
  result.fileBytes = r.fileBytes;
  result.note = QString::fromStdString(r.note);
  if (!result.complete) {
    result.keptPieces = PiecesKept(name);
    // With nothing fetched, nothing holds the name on disk.
    if (!result.keptPieces) QFile::remove(part);
    result.have = result.keptPieces ? 0 : -1;
  }
  return result;
}

}  // namespace larkvale::queue
