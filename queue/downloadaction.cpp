#include "queue/downloadaction.h"

#include <QSaveFile>
#include <algorithm>
#include <functional>
#include <memory>
#include <string_view>

#include "extract/mediafinder.h"
#include "extract/mediatypes.h"
#include "extract/pagelines.h"
#include "extract/scanner.h"
#include "http/exceptions.h"
#include "platform/errors.h"
#include "queue/sessionscope.h"

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

// The page on its way in. `Take` is the one door its bytes pass through: they
// go, as they arrive, into the copy (line by line, ended by CR LF) and into
// both searches, and are not kept. A decoder for compressed pages belongs in
// front of `Take`.
class PageIntake {
 public:
  PageIntake(QString scratch, const extract::SiteAddresses& sites) : scratch_(std::move(scratch)), sites_(sites) {
    Restart();
  }

  // Takes a piece of the page; false when the page has passed the limit and
  // nothing more is wanted.
  bool Take(std::string_view bytes) {
    if (cut_) return false;
    const std::int64_t room = kMaxPageBytes - taken_;
    if (std::int64_t(bytes.size()) > room) {
      cut_ = true;
      bytes = bytes.substr(0, std::size_t(room));
    }
    taken_ += std::int64_t(bytes.size());
    lines_->Feed(bytes);
    scanner_->Feed(bytes);
    finder_->Feed(bytes);
    return !cut_;
  }

  // Forgets what came: the body of a reply that was not the final one.
  void Restart() {
    file_ = std::make_unique<QSaveFile>(scratch_);
    writeFailed_ = false;
    lines_ = std::make_unique<extract::PageLineWriter>([this](std::string_view text) { Write(text); });
    scanner_ = std::make_unique<extract::WatchPageScanner>(sites_.videoSite, sites_.googleVideoServer);
    finder_ = std::make_unique<extract::MediaFinder>();
    taken_ = 0;
    cut_ = false;
  }

  // The copy becomes "temp.txt" only now, whole: a fetch that fails keeps
  // the previous page's copy.
  void Commit() {
    lines_->Finish();
    if (!file_->isOpen()) Open();
    if (writeFailed_ || !file_->commit()) throw platform::EFCreateError(scratch_, file_->errorString());
  }

  bool Cut() const { return cut_; }
  extract::WatchPageScanner& Scanner() { return *scanner_; }
  extract::MediaFinder& Finder() { return *finder_; }

 private:
  void Open() {
    if (!file_->open(QIODevice::WriteOnly)) writeFailed_ = true;
  }
  void Write(std::string_view text) {
    if (!file_->isOpen() && !writeFailed_) Open();
    if (writeFailed_) return;
    if (file_->write(text.data(), qint64(text.size())) != qint64(text.size())) writeFailed_ = true;
  }

  QString scratch_;
  const extract::SiteAddresses& sites_;
  std::unique_ptr<QSaveFile> file_;
  bool writeFailed_ = false;
  std::unique_ptr<extract::PageLineWriter> lines_;
  std::unique_ptr<extract::WatchPageScanner> scanner_;
  std::unique_ptr<extract::MediaFinder> finder_;
  std::int64_t taken_ = 0;
  bool cut_ = false;
};

// The reply's body on its way to the intake, unless the reply turns out to
// be a video itself: then the connection is dropped at the body's first
// bytes, so that a file of any size costs no memory and no transfer. The
// decision needs only the head, which the client has read by the time the
// body arrives. A page past the limit is dropped the same way.
class PageSink : public http::TNetStream {
 public:
  PageSink(http::TNetHTTP& client, PageIntake& intake) : client_(client), intake_(intake) {}

  std::size_t Read(void*, std::size_t) override { return 0; }
  void Write(const void* buffer, std::size_t n) override {
    if (Decide()) {
      client_.Disconnect();
      return;
    }
    if (dropped_) return;
    position_ += std::int64_t(n);
    if (!intake_.Take(std::string_view(static_cast<const char*>(buffer), n))) {
      dropped_ = true;
      client_.Disconnect();
    }
  }
  void Seek(std::int64_t position) override {
    if (position < position_) Rewind();
  }
  std::int64_t Position() const override { return position_; }
  std::int64_t Size() const override { return std::max(size_, position_); }
  // Only records the size: an announced length allocates nothing. Cutting
  // back to the start drops a reply that was not the final one.
  void SetSize(std::int64_t size) override {
    if (size < position_) Rewind();
    size_ = size;
  }

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
  // The page passed the limit and the rest of it was refused.
  bool Dropped() const { return dropped_; }
  bool Stream() const { return stream_; }

 private:
  void Rewind() {
    intake_.Restart();
    position_ = 0;
    dropped_ = false;
  }

  http::TNetHTTP& client_;
  PageIntake& intake_;
  std::int64_t position_ = 0;
  std::int64_t size_ = 0;
  bool decided_ = false;
  bool direct_ = false;
  bool dropped_ = false;
  bool stream_ = false;
};

// The page fetch asks for a compressed page (a fraction of the bytes on a
// slow line) and takes it decoded, up to kMaxDecodedPageBytes; the client's
// own settings come back afterwards, as the same client fetches videos,
// which are never asked for compressed.
class CompressedPageRequest {
 public:
  static constexpr std::int64_t kMaxDecodedPageBytes = 64LL * 1024 * 1024;
  explicit CompressedPageRequest(http::TNetHTTP& client)
      : client_(client),
        encoding_(client.Request.AcceptEncoding),
        decode_(client.DecodeContent),
        limit_(client.MaxDecodedBodyBytes) {
    client_.Request.AcceptEncoding = "gzip, deflate";
    client_.DecodeContent = true;
    client_.MaxDecodedBodyBytes = kMaxDecodedPageBytes;
  }
  ~CompressedPageRequest() {
    client_.Request.AcceptEncoding = encoding_;
    client_.DecodeContent = decode_;
    client_.MaxDecodedBodyBytes = limit_;
  }

 private:
  http::TNetHTTP& client_;
  std::string encoding_;
  bool decode_;
  std::int64_t limit_;
};

}  // namespace

DownloadAction::DownloadAction(http::TNetHTTP& client, DownloadList& list, std::function<void()> processMessages)
    : client_(client), list_(list), processMessages_(std::move(processMessages)) {}

void DownloadAction::SetStatus(const QString& text) {
  if (OnStatus) OnStatus(text);
}

QString DownloadAction::PageCutText() {
  return QStringLiteral("The page is larger than %1 MiB; only its first %1 MiB were searched.")
      .arg(kMaxPageBytes >> 20);
}

void DownloadAction::Stop() {
  stopRequested_ = true;
  client_.Disconnect();
}

namespace {

// Gets the page (or a video where a page was expected) into `sink`: again
// as the browser asked for it, with its cookies and User-Agent (no Referer,
// as for a reload).
void FetchPage(http::TNetHTTP& client, const std::string& url, const browser::BrowsedPage* browsed, PageSink& sink) {
  try {
    const SessionScope session(client, browsed ? browsed->ReloadSessionFor(url) : browser::PageSession(), url);
    const CompressedPageRequest compressed(client);
    client.Get(url, sink);
  } catch (...) {
    // Dropping a video's connection may cut a chunked body mid-way, and so
    // may dropping the rest of a page past the limit: both are the intended
    // end, not a failure.
    if (!sink.Direct() && !sink.Dropped()) throw;
  }
}

struct PageFinds {
  std::vector<std::string> links;
  bool markers = false;  // the watch-page markers gave the link
  bool stopped = false;
  QString status = QStringLiteral("Done");
};

// The watch-page markers first: a page that has them gets exactly their
// link. Only without them is the page searched for ordinary videos.
PageFinds FindOnPage(PageIntake& intake, const std::string& pageAddress, const browser::BrowsedPage* browsed,
                     const std::function<bool()>& stopping, int maxHeight) {
  PageFinds finds;
  if (const extract::ScanResult found = intake.Scanner().Finish(); found.found) {
    finds.links.push_back(found.link);
    finds.markers = true;
    return finds;
  }
  extract::MediaLinks media = intake.Finder().Finish(pageAddress, extract::kMediaLinkCap, stopping, maxHeight);
  if (media.stopped) {
    finds.stopped = true;
    return finds;
  }
  // What the page's scripts asked for first: players choose their video
  // after the page has loaded, and the HTML often names none of it.
  std::vector<std::string>& links = finds.links;
  if (browsed) links = browsed->media;
  for (std::string& link : media.links)
    if (std::find(links.begin(), links.end(), link) == links.end()) links.push_back(std::move(link));
  // Together they keep to the finder's cap, and say what they left out.
  std::size_t more = media.more;
  if (links.size() > extract::kMediaLinkCap) {
    more += links.size() - extract::kMediaLinkCap;
    links.resize(extract::kMediaLinkCap);
  }
  if (!links.empty() && media.moreUncounted)
    finds.status = QStringLiteral("Queued %1 videos; more than %2 more not queued").arg(links.size()).arg(more);
  else if (!links.empty() && more > 0)
    finds.status = QStringLiteral("Queued %1 videos; %2 more not queued").arg(links.size()).arg(more);
  return finds;
}

}  // namespace

DownloadAction::Outcome DownloadAction::Run(const std::string& url, const QString& tempDir,
                                            const extract::SiteAddresses& sites,
                                            const browser::BrowsedPage* browsed) {
  // The search after the fetch pumps messages too; a Download pressed then
  // gets the answer a busy client gives.
  if (running_) throw http::ENetClientBusy();
  running_ = true;
  struct Release {
    bool& flag;
    ~Release() { flag = false; }
  } release{running_};
  stopRequested_ = false;
  pageCut_ = false;

  SetStatus(QStringLiteral("Downloading html"));
  PageIntake intake(tempDir + QStringLiteral("temp.txt"), sites);
  PageSink sink(client_, intake);
  FetchPage(client_, url, browsed, sink);
  // A reply without body bytes was never written to: judge its head now.
  const bool direct = sink.Decide();
  if (direct) intake.Restart();  // a video leaves an empty copy
  intake.Commit();
  pageCut_ = intake.Cut();
  const std::string pageAddress = FinalAddress(client_.CurrentUrl);

  // A Stop during the fetch has done its work: the search runs on what came.
  // From here on Stop ends the search.
  stopRequested_ = false;
  const auto stopping = [this] {
    if (processMessages_) processMessages_();
    return stopRequested_;
  };
  PageFinds finds;
  if (direct)
    finds.links.push_back(url);
  else
    finds = FindOnPage(intake, pageAddress, browsed, stopping, MaxHeight ? MaxHeight() : 0);
  if (finds.stopped) {
    SetStatus(QStringLiteral("Stopped"));
    return Outcome::Stopped;
  }
  if (pageCut_) finds.status = finds.status == QStringLiteral("Done") ? PageCutText() : finds.status + ' ' + PageCutText();

  for (const std::string& link : finds.links) {
    QueueRow(link, browsed ? browsed->SessionFor(link) : browser::PageSession{});
    // The watch-page link and a typed media address are fetched as they
    // stand; a link the page named must answer with media.
    if (!direct && !finds.markers) list_.MarkFoundOnPage(list_.RowCount() - 1);
  }
  // A stream whose address does not say so by its extension is marked.
  if (direct && sink.Stream()) list_.MarkStream(list_.RowCount() - 1);
  if (finds.links.empty() && OnNoVideo) OnNoVideo();
  SetStatus(finds.status);
  return finds.links.empty() ? Outcome::NoVideo : Outcome::Queued;
}

void DownloadAction::QueueFound(const std::vector<std::string>& links, const browser::BrowsedPage& page) {
  for (const std::string& link : links) {
    QueueRow(link, page.SessionFor(link));
    list_.MarkFoundOnPage(list_.RowCount() - 1);
  }
  if (!links.empty())
    SetStatus(links.size() == 1 ? QStringLiteral("Queued 1 video") : QStringLiteral("Queued %1 videos").arg(links.size()));
}

void DownloadAction::QueueRow(const std::string& link, const browser::PageSession& session) {
  list_.AddRows(1);
  const int row = list_.RowCount() - 1;
  list_.BeginUpdate();
  list_.SetSession(row, session);
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
