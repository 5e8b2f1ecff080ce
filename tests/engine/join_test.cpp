// Joining without re-encoding: parts made by the ffmpeg CLI, the result's
// packets compared with the parts' by ffprobe's packet hashes.
#include "engine/damaged_mp4.h"
#include "engine/engine_media.h"
#include "engine/joinjob.h"
#include "engine/videoenginecore.h"
#include "support/media_fixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <sys/resource.h>

namespace larkvale::enginetest {
namespace {

using namespace larkvale::engine;
using testsupport::FfProbe;
using testsupport::FixtureSpec;
using testsupport::MakeMediaFixture;
using testsupport::RunCommand;
using testsupport::ShellQuote;
using ::testing::MatchesRegex;

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The MD5 of each packet of the file's picture ("v") or sound ("a") stream, in order.
std::vector<std::string> PacketHashes(const std::string& path, const char* stream) {
  const std::string out = RunCommand("ffprobe -v error -select_streams " + std::string(stream) +
                                     " -show_data_hash MD5 -show_entries packet=data_hash -of csv=p=0 " +
                                     ShellQuote(path));
  std::vector<std::string> hashes;
  std::istringstream in(out);
  // Side data may share a packet's line; the hash is the field that names MD5.
  for (std::string line; std::getline(in, line);)
    if (const size_t at = line.find("MD5:"); at != std::string::npos) hashes.push_back(line.substr(at, 36));
  return hashes;
}

std::vector<std::string> Parts(const std::string& dir, const char* ext, const std::string& codecArgs, int count) {
  std::vector<std::string> parts;
  for (int i = 0; i < count; ++i) {
    FixtureSpec shape;
    shape.seconds = 2;
    shape.sampleRate = 48000;
    shape.codecArgs = codecArgs;
    parts.push_back(dir + "/part" + std::to_string(i + 1) + "." + ext);
    EXPECT_TRUE(MakeMediaFixture(parts.back(), shape)) << parts.back();
  }
  return parts;
}

void LoadWhole(VideoEngineCore& e, const std::vector<std::string>& files) {
  e.ClearTimeline();
  for (const std::string& f : files) {
    const double d = e.GetFileDuration(Q(f));
    ASSERT_TRUE(e.AddVideo(Q(f), 0, d, 0)) << f;
    ASSERT_TRUE(e.AddAudio(Q(f), 0, d)) << f;
  }
}

TEST(StreamJoin, PartsAreJoinedPacketForPacketWithContinuousTime) {
  const struct {
    const char* name;
    const char* ext;
    std::string codecArgs;
    const char* format;  // substring of ffprobe's format name
    const char* vcodec;
    const char* acodec;
  } cases[] = {
      {"H.264/AAC MP4", "mp4", "-c:v libx264 -preset ultrafast -g 25 -c:a aac", "mp4", "h264", "aac"},
      {"VP9/Opus WebM", "webm", "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -g 25 -c:a libopus", "webm", "vp9",
       "opus"},
      {"H.264/AAC Matroska", "mkv", "-c:v libx264 -preset ultrafast -g 25 -c:a aac", "matroska", "h264", "aac"},
      {"H.264/AAC MPEG-TS", "ts", "-c:v libx264 -preset ultrafast -g 25 -c:a aac", "mpegts", "h264", "aac"},
      {"FLV", "flv", "-c:v flv -g 25 -c:a libmp3lame", "flv", "flv1", "mp3"},
      {"MPEG-4/MP3 AVI", "avi", "-c:v mpeg4 -g 25 -c:a libmp3lame", "avi", "mpeg4", "mp3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = FreshDir(std::string("join-") + c.ext);
    const std::vector<std::string> parts = Parts(dir, c.ext, c.codecArgs, 3);
    VideoEngineCore e;
    LoadWhole(e, parts);
    QString difference;
    const auto plan = e.PlanTimelineJoin(&difference);
    ASSERT_TRUE(plan) << difference.toStdString();
    EXPECT_EQ(plan->extension, c.ext);
    const std::string out = dir + "/joined." + c.ext;
    int completed = 0;
    double lastPosition = 0;
    e.OnComplete = [&] { ++completed; };
    e.OnProcessing = [&](double position, double) { lastPosition = position; };
    ASSERT_TRUE(e.JoinTimeline(Q(out))) << e.LastError().toStdString();
    EXPECT_EQ(completed, 1);
    EXPECT_NEAR(lastPosition, plan->duration, 0.01);

    const auto probed = FfProbe(out);
    ASSERT_TRUE(probed.ok);
    EXPECT_NE(probed.format.find(c.format), std::string::npos) << probed.format;
    EXPECT_EQ(probed.video.codec, c.vcodec);
    EXPECT_EQ(probed.audio.codec, c.acodec);
    double total = 0;
    for (const std::string& p : parts) total += FfProbe(p).duration;
    EXPECT_NEAR(probed.duration, total, 0.04);  // within one frame at 25 fps
    // Stream copy: the very packets of the parts, in their order.
    for (const char* stream : {"v", "a"}) {
      SCOPED_TRACE(stream);
      std::vector<std::string> expected;
      for (const std::string& p : parts) {
        const auto h = PacketHashes(p, stream);
        ASSERT_FALSE(h.empty());
        expected.insert(expected.end(), h.begin(), h.end());
      }
      EXPECT_EQ(PacketHashes(out, stream), expected);
    }
    // Time runs on across the joins: no picture packet goes back in time.
    const std::string times = RunCommand("ffprobe -v error -select_streams v -show_entries packet=dts_time -of csv=p=0 " +
                                         ShellQuote(out));
    std::istringstream in(times);
    double previous = -1e9;
    int packets = 0;
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line == "N/A") continue;
      const double t = std::stod(line);
      EXPECT_GT(t, previous) << "packet " << packets;
      previous = t;
      ++packets;
    }
    EXPECT_EQ(packets, 150);  // 3 x 2 s at 25 frames a second
    // Nothing but the output is left beside it.
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      EXPECT_EQ(entry.path().extension() == ".part", false) << entry.path();
  }
}

// Each packet's presentation time and length in seconds, in file order.
std::vector<std::pair<double, double>> PacketTimes(const std::string& path, const char* stream) {
  const std::string out = RunCommand("ffprobe -v error -select_streams " + std::string(stream) +
                                     " -show_entries packet=pts_time,duration_time -of csv=p=0 " + ShellQuote(path));
  std::vector<std::pair<double, double>> times;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    times.emplace_back(std::stod(line.substr(0, comma)), std::stod(line.substr(comma + 1)));
  }
  return times;
}

// AAC sound starts a frame before the picture, so each file's first sound
// packet lies under the last file's last one. Only that
// packet may move: the file's sound must stay where its picture is, however
// many files are joined.
TEST(StreamJoin, SoundKeepsItsPlaceBesideThePictureAcrossManyJoins) {
  const std::string dir = FreshDir("join-sync");
  FixtureSpec shape;
  shape.seconds = 1;
  shape.sampleRate = 44100;
  shape.codecArgs = "-c:v libx264 -preset ultrafast -c:a aac";
  const std::string first = dir + "/part0.mp4";
  ASSERT_TRUE(MakeMediaFixture(first, shape));
  const int count = 18;  // also more parts than a plan keeps open for its join
  std::vector<std::string> parts{first};
  for (int i = 1; i < count; ++i) {
    parts.push_back(dir + "/part" + std::to_string(i) + ".mp4");
    std::filesystem::copy_file(first, parts.back());
  }
  const auto picture = PacketTimes(first, "v");
  const auto sound = PacketTimes(first, "a");
  ASSERT_FALSE(picture.empty());
  ASSERT_FALSE(sound.empty());
  double pictureStart = 1e9, pictureEnd = -1e9;
  for (const auto& [pts, length] : picture) {
    pictureStart = std::min(pictureStart, pts);
    pictureEnd = std::max(pictureEnd, pts + length);
  }
  const double step = pictureEnd - pictureStart;
  // The fixture must show the overlap (the next file's first sound packet
  // before this file's last one), or the test proves nothing.
  ASSERT_LT(step + sound.front().first, sound.back().first);

  VideoEngineCore e;
  LoadWhole(e, parts);
  const std::string out = dir + "/joined.mp4";
  ASSERT_TRUE(e.JoinTimeline(Q(out))) << e.LastError().toStdString();
  const auto joined = PacketTimes(out, "a");
  ASSERT_EQ(joined.size(), sound.size() * count);
  double worst = 0;
  std::string where;
  for (size_t i = 0; i < joined.size(); ++i) {
    const size_t k = i / sound.size(), j = i % sound.size();
    if (j == 0) continue;  // the packet under the last file's end
    const double off = std::abs(joined[i].first - (double(k) * step + sound[j].first));
    if (off > worst) {
      worst = off;
      where = "file " + std::to_string(k) + ", sound packet " + std::to_string(j);
    }
  }
  EXPECT_LT(worst, 0.001) << where;
}

TEST(StreamJoin, FilesThatDifferAreNamedAndNothingIsWritten) {
  const std::string dir = FreshDir("join-differ");
  const std::string h264 = "-c:v libx264 -preset ultrafast -c:a aac";
  auto make = [&](const std::string& name, FixtureSpec shape) {
    shape.seconds = 1;
    if (shape.codecArgs.empty()) shape.codecArgs = h264;
    const std::string path = dir + "/" + name;
    EXPECT_TRUE(MakeMediaFixture(path, shape)) << name;
    return path;
  };
  const std::string a = make("a.mp4", {});
  const std::string b = make("b.mp4", {});
  FixtureSpec big;
  big.width = 352;
  big.height = 288;
  FixtureSpec mpeg4;
  mpeg4.codecArgs = "-c:v mpeg4 -c:a aac";
  FixtureSpec rate;
  rate.sampleRate = 22050;
  FixtureSpec mono;
  mono.channels = 1;
  FixtureSpec silent;
  silent.audio = false;
  FixtureSpec mkv;
  mkv.codecArgs = h264;
  // Only the decoder tells the pixel format; the MP4 header gives the
  // coder's set-up alone.
  FixtureSpec pixels;
  pixels.codecArgs = h264 + " -pix_fmt yuv420p";
  const struct {
    const char* name;
    std::string odd;
    std::string message;
  } cases[] = {
      {"size", make("part2.mp4", big), "part2.mp4: 352x288, the others 320x240"},
      {"codec", make("mpeg4.mp4", mpeg4), "mpeg4.mp4: picture mpeg4, the others h264"},
      {"sample rate", make("rate.mp4", rate), "rate.mp4: 22050 Hz, the others 44100 Hz"},
      {"channels", make("mono.mp4", mono), "mono.mp4: mono, the others stereo"},
      {"streams", make("silent.mp4", silent), "silent.mp4: picture, the others picture and sound"},
      {"container", make("other.mkv", mkv), "other.mkv: Matroska file, the others MP4"},
      {"pixel format", make("pixels.mp4", pixels), "pixels.mp4: pixel format yuv420p, the others pixel format yuv444p"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VideoEngineCore e;
    LoadWhole(e, {a, c.odd, b});
    QString difference;
    EXPECT_FALSE(e.PlanTimelineJoin(&difference));
    EXPECT_EQ(difference.toStdString(), c.message);
    const std::string out = dir + "/joined.mp4";
    EXPECT_FALSE(e.JoinTimeline(Q(out)));
    EXPECT_EQ(e.LastError().toStdString(), c.message);
    EXPECT_FALSE(std::filesystem::exists(out));
  }
  // Alike files join.
  VideoEngineCore e;
  LoadWhole(e, {a, b});
  QString difference;
  EXPECT_TRUE(e.PlanTimelineJoin(&difference)) << difference.toStdString();
}


// Joins `parts` into `out` as the engine's own join does (plan, then copy);
// empty when it succeeded, else why not.
std::string JoinParts(const std::vector<std::string>& parts, const std::string& out) {
  std::string why;
  const auto plan = PlanJoin(parts, &why);
  if (!plan) return why.empty() ? "no plan and no reason" : why;
  JoinJob job(*plan, out);
  job.Start();
  while (!job.WaitFor(1000)) {
  }
  if (job.Succeeded()) return {};
  return job.Error().empty() ? "failed without a reason" : job.Error();
}

// `text` matched as it stands by a regular expression.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (std::strchr(".[]()*+?^$|\\{}", ch)) out += '\\';
    out += ch;
  }
  return out;
}

long PeakKiB() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return use.ru_maxrss;
}

// A part that is cut short, or whose header claims more than it holds, fails
// the join with the part named and the reason, and nothing is left: no
// output, no temporary file beside it. Claims of a billion samples are
// refused without memory for them.
TEST(StreamJoin, DamagedPartsFailTheJoinNamedAndLeaveNothing) {
  const std::string dir = FreshDir("join-damaged");
  const std::string h264 = "-c:v libx264 -preset ultrafast -c:a aac";
  FixtureSpec shape;  // 2 s: 50 pictures at 25 a second, 88 AAC frames at 44.1 kHz
  shape.codecArgs = h264;
  const std::string whole = dir + "/whole.mp4";  // the index (moov) after the media, as ffmpeg writes it
  ASSERT_TRUE(MakeMediaFixture(whole, shape));
  const std::string indexFirst = dir + "/index-first.mp4";
  int status = -1;
  RunCommand("ffmpeg -nostdin -v error -y -i " + ShellQuote(whole) + " -c copy -movflags +faststart " +
                 ShellQuote(indexFirst),
             &status);
  ASSERT_EQ(status, 0);
  FixtureSpec mkvShape;
  mkvShape.codecArgs = h264;
  const std::string mkv = dir + "/whole.mkv";
  ASSERT_TRUE(MakeMediaFixture(mkv, mkvShape));
  FixtureSpec flvShape;
  flvShape.codecArgs = "-c:v flv -c:a libmp3lame";
  const std::string flv = dir + "/whole.flv";
  ASSERT_TRUE(MakeMediaFixture(flv, flvShape));
  const std::string outDir = dir + "/out";
  std::filesystem::create_directories(outDir);
  // The parts as made join, so that each failure below is the damage's.
  ASSERT_EQ(JoinParts({whole, indexFirst}, outDir + "/sound.mp4"), "");
  ASSERT_EQ(JoinParts({mkv, mkv}, outDir + "/sound.mkv"), "");
  ASSERT_EQ(JoinParts({flv, flv}, outDir + "/sound.flv"), "");
  for (const char* f : {"sound.mp4", "sound.mkv", "sound.flv"}) std::filesystem::remove(outDir + "/" + f);

  using Damage = std::function<bool(std::string&)>;
  // Cuts the file `fraction` of the way through its media data.
  const auto cutInMdat = [](double fraction) -> Damage {
    return [fraction](std::string& b) {
      const auto mdat = FindMp4Box(b, "mdat");
      if (!mdat) return false;
      b.resize(mdat->at + 8 + size_t(double(mdat->size - 8) * fraction));
      return true;
    };
  };
  // Cuts the file `into` bytes into the box at `path` of the `handler` track.
  const auto cutInBox = [](const char* path, const char* handler, size_t into) -> Damage {
    return [=](std::string& b) {
      const auto box = FindMp4Box(b, path, handler);
      if (!box || into >= box->size) return false;
      b.resize(box->at + into);
      return true;
    };
  };
  const auto cutAt = [](double fraction) -> Damage {
    return [fraction](std::string& b) {
      b.resize(size_t(double(b.size()) * fraction));
      return true;
    };
  };
  constexpr uint32_t kBillion = 1000000000;
  const std::string cutShort = " could be read; the file is cut short or damaged\\.";
  const struct {
    const char* name;
    std::string source;
    std::string part;  // the damaged copy's name
    Damage damage;
    std::string reason;  // the message after "<part>: ", as a regular expression
  } cases[] = {
      {"cut a quarter into mdat, index first", indexFirst, "quarter.mp4", cutInMdat(0.25),
       "only [0-9]+ of its 50 pictures" + cutShort},
      {"cut three quarters into mdat, index first", indexFirst, "three-quarters.mp4", cutInMdat(0.75),
       "only [0-9]+ of its 50 pictures" + cutShort},
      {"the last byte missing, index first", indexFirst, "last-byte.mp4",
       [](std::string& b) {
         b.pop_back();
         return true;
       },
       "only 87 of its 88 sound frames" + cutShort},
      {"cut in the sound's chunk offsets, index last", whole, "sound-offsets.mp4",
       cutInBox("moov/trak/mdia/minf/stbl/stco", "soun", 12), "none of its 88 sound frames" + cutShort},
      {"cut in the sound's sample sizes, index last", whole, "sound-sizes.mp4",
       cutInBox("moov/trak/mdia/minf/stbl/stsz", "soun", 100), "not a media file that can be read"},
      {"cut in the picture's chunk offsets, index last", whole, "picture-offsets.mp4",
       cutInBox("moov/trak/mdia/minf/stbl/stco", "vide", 12), "none of its 50 pictures" + cutShort},
      {"a billion pictures of one size", whole, "billion-pictures.mp4",
       [=](std::string& b) { return ClaimSamples(b, "vide", 1000, kBillion); }, "none of its 50 pictures" + cutShort},
      {"a billion sound frames of one size, index first", indexFirst, "billion-sounds.mp4",
       [=](std::string& b) { return ClaimSamples(b, "soun", 1000, kBillion); },
       "none of its 88 sound frames" + cutShort},
      {"a billion pictures in a table it does not hold", whole, "billion-table.mp4",
       [=](std::string& b) { return ClaimSamples(b, "vide", 0, kBillion); }, "not a media file that can be read"},
      {"a picture's size reaching past the end", whole, "picture-past-end.mp4",
       [](std::string& b) { return SampleSizePastTheEnd(b, "vide", 25); }, "only 49 of its 50 pictures" + cutShort},
      {"the last sound frame's size past the end, index first", indexFirst, "sound-past-end.mp4",
       [](std::string& b) { return SampleSizePastTheEnd(b, "soun", 87); },
       "only 87 of its 88 sound frames" + cutShort},
      // Containers without a packet count: the length read against the
      // length the header gives.
      {"Matroska cut at 60 %", mkv, "cut.mkv", cutAt(0.6), "only 1\\.[0-9] s of its 2\\.0 s" + cutShort},
      {"FLV cut at 60 %", flv, "cut.flv", cutAt(0.6), "only 1\\.[0-9] s of its 2\\.0 s" + cutShort},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = ReadBytes(c.source);
    ASSERT_FALSE(bytes.empty());
    ASSERT_TRUE(c.damage(bytes));
    const std::string part = dir + "/" + c.part;
    ASSERT_TRUE(WriteBytes(part, bytes));
    const std::string ext = std::filesystem::path(part).extension().string();
    const std::string out = outDir + "/joined" + ext;
    const long before = PeakKiB();
    // The damaged part second, as a download cut short would join; and first.
    for (const auto& parts : {std::vector<std::string>{c.source, part}, std::vector<std::string>{part, c.source}}) {
      EXPECT_THAT(JoinParts(parts, out), MatchesRegex(Escaped(c.part) + ": " + c.reason));
      EXPECT_TRUE(std::filesystem::is_empty(outDir)) << "left in the output folder";
    }
    EXPECT_LT(PeakKiB() - before, 200 * 1024) << "KiB more at the peak";
  }
}

}  // namespace
}  // namespace larkvale::enginetest
