#pragma once
// The media a page asked for, as the embedded browser saw its requests go
// out: video and audio files, HLS playlists and DASH manifests, in the order
// they were first requested, each once. Plain logic on addresses, so it can
// be tested without a browser; the web view feeds it (see TWebBrowser).
//
// A request is judged by its address and by what the engine says it is for
// (a <video>/<audio> load is a media resource whatever its address). Reply
// types are not known at this point: the request has not been answered yet.

#include <QString>
#include <QStringList>
#include <QUrl>
#include <vector>

namespace larkvale::browser {

enum class MediaKind { None, File, Stream };

// What a request for `url` is: a stream (".m3u8", ".mpd"), a file (a video
// or audio extension, or any http(s) address the engine loads as a media
// resource, except subtitle and caption files: .vtt, .srt, .ttml, ...), or
// none of those. Only http and https addresses count: blob:
// and data: addresses exist only inside the page.
MediaKind ClassifyMediaRequest(const QUrl& url, bool mediaResource);

class FoundMedia {
 public:
  struct Find {
    QString address;  // encoded, as requested (without a fragment)
    MediaKind kind;
  };

  // Records a request of the page. Returns true when it is a new find;
  // false for anything else, including a segment or a nested playlist of a
  // stream already held (a request under the stream's folder on the same
  // server, or a segment-type file while a stream is held) and a byte range
  // of a file already held (the same address, a range in its query ignored).
  bool Record(const QUrl& url, bool mediaResource);
  // The page is left: everything found goes.
  void Forget() { finds_.clear(); }

  const std::vector<Find>& Finds() const { return finds_; }
  QStringList Addresses() const;
  int Count() const { return static_cast<int>(finds_.size()); }

  // Kept per page, so a page that asks for thousands of distinct files (a
  // gallery of previews) cannot grow it without end.
  static constexpr int kMaxFinds = 200;

 private:
  bool PartOfHeld(const QUrl& url) const;
  std::vector<Find> finds_;
};

}  // namespace larkvale::browser
