#pragma once
// A video site on 127.0.0.1 for end-to-end tests: a private nginx serving
// watch pages in every marker form, get_video and videodownload endpoints
// that redirect (303) to a video made with the ffmpeg CLI, a larger body for
// interrupted downloads, a 404 and a page without markers.

#include <memory>
#include <string>

#include "support/nginx_server.h"

namespace larkvale::testing {

class VideoSite {
 public:
  // With `tls`, the same site over https only.
  explicit VideoSite(const NginxServer::Tls& tls = {});

  std::string Base() const { return server_->BaseUrl(); }
  std::string Url(const std::string& path) const { return Base() + path; }
  // The served video's bytes, and those of the large body.
  const std::string& Video() const { return video_; }
  const std::string& Big() const { return big_; }
  const std::string& Root() const { return root_.Path(); }

  // Ids and tokens the watch pages carry. The big id's get_video leads to the
  // large body.
  static constexpr const char* kId = "abcdefghijk";
  static constexpr const char* kBigId = "bigbigbigbi";
  static std::string Token() { return std::string(46, 'T'); }

  // Watch pages: "/watch_standard.html", "/watch_hd.html", "/watch_second.html",
  // "/watch_google.html", "/watch_big.html", "/no_video.html".

 private:
  TempDir root_;
  std::string video_;
  std::string big_;
  std::unique_ptr<NginxServer> server_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

}  // namespace larkvale::testing
