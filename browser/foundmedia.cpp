#include "browser/foundmedia.h"

#include <QUrlQuery>
#include <array>

namespace larkvale::browser {
namespace {

constexpr std::array<const char*, 20> kFileExtensions = {
    "mp4", "webm", "mkv", "mov", "m4v", "ogv", "flv", "avi", "mpg", "mpeg",
    "3gp", "wmv", "mp3", "m4a", "ogg", "oga", "opus", "wav", "flac", "aac"};
constexpr std::array<const char*, 2> kStreamExtensions = {"m3u8", "mpd"};
// Subtitles and captions, loaded as media by a <track>: they belong to their
// video, they are never one.
constexpr std::array<const char*, 7> kTextTrackExtensions = {"vtt", "srt", "ttml", "dfxp", "ass", "ssa", "sbv"};
// What players fetch the pieces of a stream as; on their own they are no find.
constexpr std::array<const char*, 7> kSegmentExtensions = {"ts", "m4s", "m4f", "cmfv", "cmfa", "vtt", "key"};

template <std::size_t N>
bool In(const std::array<const char*, N>& list, const QString& value) {
  for (const char* item : list)
    if (value == QLatin1String(item)) return true;
  return false;
}

// "mp4" from ".../Clip.MP4?x=1"; empty without a dot in the last segment.
QString Extension(const QUrl& url) {
  const QString path = url.path();
  const QString last = path.mid(path.lastIndexOf('/') + 1);
  const int dot = last.lastIndexOf('.');
  return dot < 0 ? QString() : last.mid(dot + 1).toLower();
}

// The address a find is known by: no fragment, and no range in the query,
// which some players put there instead of in a Range header.
QString Identity(const QUrl& url) {
  QUrl u = url.adjusted(QUrl::RemoveFragment);
  if (u.hasQuery()) {
    QUrlQuery query(u);
    for (const char* key : {"range", "bytes", "bytestart", "byteend"}) query.removeAllQueryItems(QLatin1String(key));
    u.setQuery(query.isEmpty() ? QString() : query.query(QUrl::FullyEncoded));
  }
  return QString::fromLatin1(u.toEncoded());
}

QString Folder(const QUrl& url) {
  const QString path = url.path();
  return path.left(path.lastIndexOf('/') + 1);
}

bool SameServer(const QUrl& a, const QUrl& b) {
  return a.scheme() == b.scheme() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
         a.port(a.scheme() == QLatin1String("https") ? 443 : 80) == b.port(b.scheme() == QLatin1String("https") ? 443 : 80);
}

}  // namespace

MediaKind ClassifyMediaRequest(const QUrl& url, bool mediaResource) {
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) return MediaKind::None;
  const QString ext = Extension(url);
  if (In(kStreamExtensions, ext)) return MediaKind::Stream;
  if (In(kTextTrackExtensions, ext)) return MediaKind::None;
  if (In(kFileExtensions, ext) || mediaResource) return MediaKind::File;
  return MediaKind::None;
}

bool FoundMedia::PartOfHeld(const QUrl& url) const {
  const QString id = Identity(url);
  const bool segmentType = In(kSegmentExtensions, Extension(url));
  for (const Find& f : finds_) {
    if (f.address == id) return true;
    if (f.kind != MediaKind::Stream) continue;
    if (segmentType) return true;
    // Variant playlists, init sections and media segments sit beside or
    // below the playlist or manifest that names them; a stream at the top
    // of a server's tree says nothing about its other files.
    const QUrl held(f.address);
    const QString folder = Folder(held);
    if (folder.size() > 1 && SameServer(held, url) && url.path().startsWith(folder)) return true;
  }
  return false;
}

bool FoundMedia::Record(const QUrl& url, bool mediaResource) {
  const MediaKind kind = ClassifyMediaRequest(url, mediaResource);
  if (kind == MediaKind::None || PartOfHeld(url) || Count() >= kMaxFinds) return false;
  finds_.push_back({Identity(url), kind});
  return true;
}

QStringList FoundMedia::Addresses() const {
  QStringList out;
  for (const Find& f : finds_) out << f.address;
  return out;
}

}  // namespace larkvale::browser
