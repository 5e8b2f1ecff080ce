#include "support/video_site.h"

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "support/media_fixtures.h"

namespace larkvale::testing {

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

VideoSite::VideoSite(const NginxServer::Tls& tls) {
  const std::string root = root_.Path();
  std::system(("mkdir -p " + testsupport::ShellQuote(root + "/videos")).c_str());
  testsupport::FixtureSpec clip;
  clip.seconds = 1;
  clip.width = 160;
  clip.height = 120;
  if (!testsupport::MakeMediaFixture(root + "/videos/clip.flv", clip))
    throw std::runtime_error("ffmpeg could not make the test video");
  video_ = ReadFileBytes(root + "/videos/clip.flv");
  big_.resize(3 * 1024 * 1024);
  for (std::size_t i = 0; i < big_.size(); ++i) big_[i] = static_cast<char>((i * 7919) >> 3);
  WriteFileBytes(root + "/videos/big.bin", big_);

  const std::string token = Token();
  auto page = [&](const std::string& name, const std::string& body) {
    WriteFileBytes(root + "/" + name, "<html>\r\n<head><title>" + name + "</title></head>\r\n<body>\r\n" + body +
                                          "\r\n<p>watch page</p>\r\n</body>\r\n</html>\r\n");
  };
  const std::string first = std::string("  var swfHTML = '<embed src=\"/p.swf?video_id=") + kId + "&t=" + token +
                            "&hl=en\">';";
  page("watch_standard.html", first);
  page("watch_hd.html", "<script>var flags = {'IS_HD_AVAILABLE': true};</script>\r\n" + first);
  page("watch_second.html", std::string("  var SWF_ARGS = {\"video_id\": \"") + kId + "\", \"t\": \"" + token +
                                "\", \"hl\": \"en\"};");
  page("watch_google.html", "<embed flashvars=\"videoUrl=http%3A%2F%2Fv%2Fvideodownload%3Fsecureurl%3D" +
                                std::string(262, 'S') + "%26sigh%3D" + std::string(27, 'g') + "%26begin%3D0\">");
  page("watch_big.html", std::string("  var swfHTML = '<embed src=\"/p.swf?video_id=") + kBigId + "&t=" + token + "\">';");
  page("no_video.html", "<p>This video is no longer available.</p>");

  const std::string extra =
      "    location = /get_video {\n"
      "      if ($arg_video_id = \"" + std::string(kBigId) + "\") { return 303 /videos/big.bin; }\n"
      "      return 303 /videos/clip.flv;\n"
      "    }\n"
      "    location = /videodownload { return 303 /videos/clip.flv; }\n"
      // The videos paced, for a Stop to land in the middle of one.
      "    location /paced/ {\n"
      "      alias " + root + "/videos/;\n"
      "      limit_rate 4m;\n"
      "    }\n";
  server_ = std::make_unique<NginxServer>(root, extra, tls);
}

}  // namespace larkvale::testing
