#include "engine/engine_media.h"

#include "support/media_fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace larkvale::enginetest {

namespace fs = std::filesystem;
using testsupport::FixtureSpec;
using testsupport::MakeMediaFixture;

namespace {

struct Holder {
  EngineMedia media;
  bool ok = false;
  ~Holder() {
    std::error_code ec;
    if (!media.dir.empty()) fs::remove_all(media.dir, ec);
  }
};

Holder& Build() {
  static Holder h = [] {
    Holder x;
    std::string templ = (fs::temp_directory_path() / "larkvale-engine-XXXXXX").string();
    if (!mkdtemp(templ.data())) return x;
    EngineMedia& m = x.media;
    m.dir = templ;
    auto at = [&](const char* name) { return m.dir + "/" + name; };
    m.flv = at("clip.flv");
    m.avi = at("small.avi");
    m.mp4 = at("clip.mp4");
    m.silentWide = at("silent_wide.mp4");
    m.mp3 = at("tone.mp3");
    m.wav = at("tone.wav");
    m.png = at("still.png");
    m.cutFlv = at("cut.flv");
    m.text = at("notes.txt");
    m.empty = at("empty.flv");
    m.missing = at("nothing-here.flv");

    bool ok = true;
    ok &= MakeMediaFixture(m.flv, FixtureSpec{});
    FixtureSpec small{2, true, 176, 144, 15, true, 22050, 1, ""};
    ok &= MakeMediaFixture(m.avi, small);
    FixtureSpec h264{};
    h264.codecArgs = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac";
    ok &= MakeMediaFixture(m.mp4, h264);
    FixtureSpec wide{1, true, 320, 180, 30, false, 0, 0, "-c:v libx264 -preset ultrafast -pix_fmt yuv420p"};
    ok &= MakeMediaFixture(m.silentWide, wide);
    FixtureSpec mp3{2, false, 0, 0, 0, true, 44100, 2, ""};
    ok &= MakeMediaFixture(m.mp3, mp3);
    FixtureSpec wav{1, false, 0, 0, 0, true, 44100, 2, ""};
    ok &= MakeMediaFixture(m.wav, wav);
    FixtureSpec png{0.04, true, 160, 120, 25, false, 0, 0, "-frames:v 1"};
    ok &= MakeMediaFixture(m.png, png);
    std::string fullFlv = at("full4s.flv");
    ok &= MakeMediaFixture(fullFlv, FixtureSpec{4});
    if (ok) {
      // As a stopped download leaves it: the first half of the bytes.
      auto size = fs::file_size(fullFlv);
      fs::copy_file(fullFlv, m.cutFlv);
      fs::resize_file(m.cutFlv, size / 2);
    }
    std::ofstream(m.text) << "This is not a video.\n";
    std::ofstream(m.empty);
    x.ok = ok;
    return x;
  }();
  return h;
}

}  // namespace

const EngineMedia& Media() {
  Holder& h = Build();
  EXPECT_TRUE(h.ok) << "ffmpeg could not make the test media in " << h.media.dir;
  return h.media;
}

std::string FreshDir(const std::string& name) {
  std::string d = Media().dir + "/out-" + name;
  std::error_code ec;
  fs::remove_all(d, ec);
  fs::create_directories(d);
  return d;
}

}  // namespace larkvale::enginetest
