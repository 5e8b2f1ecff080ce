#include "queue/downloadaction.h"

#include <QFile>

#include "extract/mediafinder.h"
#include "extract/mediatypes.h"
#include "extract/pagelines.h"
#include "extract/scanner.h"
#include "platform/errors.h"

namespace larkvale::queue {
namespace {

// The address the client fetched last, after redirects; the default port is
// left out so that links resolved against it read as the page wrote them.
std::string FinalAddress(const http::TNetURI& current) {
  http::TNetURI url = current;
  if ((url.Scheme == "http" && url.Port == "80") || (url.Scheme == "https" && url.Port == "443")) url.Port.clear();
  try {
    return url.Compose(false, false);
  } catch (const std::exception&) {
    return {};
  }
}

// The page's body in memory, unless the reply turns out to be a video itself:
// then the connection is dropped at the body's first bytes, so that a file of
// any size costs no memory and no transfer. The decision needs only the head,
// which the client has read by the time the body arrives.
class PageSink : public http::TNetStream {
 public:
  explicit PageSink(http::TNetHTTP& client) : client_(client) {}

  std::size_t Read(void* buffer, std::size_t n) override { return page_.Read(buffer, n); }
  void Write(const void* buffer, std::size_t n) override {
    if (Decide()) {
      client_.Disconnect();
      return;
    }
    page_.Write(buffer, n);
  }
  void Seek(std::int64_t position) override { page_.Seek(position); }
  std::int64_t Position() const override { return page_.Position(); }
  std::int64_t Size() const override { return page_.Size(); }
  // Only records the size: an announced length allocates nothing.
  void SetSize(std::int64_t size) override { page_.SetSize(size); }

  // Whether the final reply is a video, judged once from its head.
  bool Decide() {
    if (!decided_) {
      decided_ = true;
      const std::string address = FinalAddress(client_.CurrentUrl);
      // An HLS playlist or DASH manifest is queued as it stands too: the
      // runner fetches its pieces.
      stream_ = extract::IsStreamType(client_.Response.ContentType, address);
      direct_ = stream_ || extract::IsDirectMedia(client_.Response.ContentType, address);
    }
    return direct_;
  }
  bool Direct() const { return direct_; }
  bool Stream() const { return stream_; }
  std::string Bytes() const { return direct_ ? std::string() : page_.Bytes(); }

 private:
  http::TNetHTTP& client_;
  http::TNetMemoryStream page_;
  bool decided_ = false;
  bool direct_ = false;
  bool stream_ = false;
};

}  // namespace

DownloadAction::DownloadAction(http::TNetHTTP& client, DownloadList& list, std::function<void()> processMessages)
    : client_(client), list_(list), processMessages_(std::move(processMessages)) {}

void DownloadAction::SetStatus(const QString& text) {
  if (OnStatus) OnStatus(text);
}

DownloadAction::Outcome DownloadAction::Run(const std::string& url, const QString& tempDir,
                                            const extract::SiteAddresses& sites) {
  SetStatus(QStringLiteral("Downloading html"));
  PageSink sink(client_);
  try {
    client_.Get(url, sink);
  } catch (...) {
    // Dropping a video's connection may cut a chunked body mid-way: that
    // is the intended end, not a failure.
    if (!sink.Direct()) throw;
  }
  // A reply without body bytes was never written to: judge its head now.
  const bool direct = sink.Decide();
  const std::string page = sink.Bytes();
  const std::string pageAddress = FinalAddress(client_.CurrentUrl);

  const std::vector<std::string> lines = extract::SplitPageLines(page);
  pageLines_.clear();
  for (const std::string& line : lines) pageLines_ << QString::fromLatin1(line.data(), qsizetype(line.size()));
  const QString scratch = tempDir + QStringLiteral("temp.txt");
  QFile file(scratch);
  const std::string text = extract::JoinLinesCrLf(lines);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(text.data(), qint64(text.size())) != qint64(text.size()))
    throw platform::EFCreateError(scratch, file.errorString());
  file.close();

  // The watch-page markers first: a page that has them gets exactly their
  // link. Only without them is the page searched for ordinary videos.
  std::vector<std::string> links;
  QString finalStatus = QStringLiteral("Done");
  if (direct) {
    links.push_back(url);
  } else if (const extract::ScanResult found =
                 extract::ScanWatchPage(lines, sites.videoSite, sites.googleVideoServer);
             found.found) {
    links.push_back(found.link);
  } else {
    extract::MediaLinks media = extract::FindMediaLinks(page, pageAddress);
    links = std::move(media.links);
    if (!links.empty() && media.more > 0)
      finalStatus = QStringLiteral("Queued %1 videos; %2 more not queued").arg(links.size()).arg(media.more);
    else if (!links.empty() && media.cut)
      finalStatus = QStringLiteral("Queued %1 videos; the rest of the page was too long to read").arg(links.size());
  }

  for (const std::string& link : links) QueueRow(link);
  // A stream whose address does not say so by its extension is marked.
  if (direct && sink.Stream()) list_.MarkStream(list_.RowCount() - 1);
  if (links.empty() && OnNoVideo) OnNoVideo();
  SetStatus(finalStatus);
  return links.empty() ? Outcome::NoVideo : Outcome::Queued;
}

void DownloadAction::QueueRow(const std::string& link) {
  list_.AddRows(1);
  const int row = list_.RowCount() - 1;
  list_.BeginUpdate();
  list_.SetCellText(colUrl, row, QString::fromStdString(link));
  list_.SetCellInt(colSize, row, 0);
  list_.SetCellInt(colProgress, row, 0);
  list_.EndUpdate();
  if (OnQueued) OnQueued(row);
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
