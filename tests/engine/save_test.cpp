// Saving the timeline in every output type, checked with ffprobe; failures,
// abort and re-entry.
#include "engine/engine_media.h"
#include "engine/videoengine.h"
#include "support/media_fixtures.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace larkvale::enginetest {
namespace {

namespace fs = std::filesystem;
using testsupport::FfProbe;
using testsupport::Probed;

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string AppDir() { return LARKVALE_APPDIR; }

// 2 s of picture and tone, then 1 s of a wide clip without sound.
void LoadTwoClips(TVideoEngine& e) {
  const EngineMedia& m = Media();
  e.ClearTimeline();
  for (const std::string& f : {m.flv, m.silentWide}) {
    double d = e.GetFileDuration(Q(f));
    ASSERT_TRUE(e.AddVideo(Q(f), 0, d, 0));
    ASSERT_TRUE(e.AddAudio(Q(f), 0, d));
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool OnlyFileIn(const std::string& dir, const std::string& name) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename() != name) return false;
    ++n;
  }
  return n <= 1;
}

double Ratio(const std::string& r) {
  size_t colon = r.find(':');
  if (colon == std::string::npos) return 0;
  return std::atof(r.c_str()) / std::max(1e-9, std::atof(r.c_str() + colon + 1));
}

struct OutputCase {
  const char* name;
  std::function<void(TVideoEngine&)> setup;
  const char* ext;
  const char* format;  // substring of ffprobe's format name
  const char* vcodec;
  int width, height;
  const char* acodec;
  int sampleRate;
  const char* aspect;  // display aspect, "" to skip
};

TEST(VideoEngineSave, EveryOutputTypeWritesWhatPlayersExpect) {
  auto type = [](int t) { return [t](TVideoEngine& e) { e.OutputType = t; }; };
  const std::string zune = AppDir() + "zune.prx";
  const OutputCase cases[] = {
      {"VCD NTSC", type(0), "mpg", "mpeg", "mpeg1video", 352, 240, "mp2", 44100, "4:3"},
      {"VCD PAL", type(1), "mpg", "mpeg", "mpeg1video", 352, 288, "mp2", 44100, "4:3"},
      {"SVCD NTSC", type(2), "mpg", "mpeg", "mpeg2video", 480, 480, "mp2", 44100, "4:3"},
      {"SVCD PAL", type(3), "mpg", "mpeg", "mpeg2video", 480, 576, "mp2", 44100, "4:3"},
      {"DVD NTSC", type(4), "mpg", "mpeg", "mpeg2video", 720, 480, "ac3", 48000, "4:3"},
      {"DVD PAL", type(5), "mpg", "mpeg", "mpeg2video", 720, 576, "ac3", 48000, "4:3"},
      {"MPEG 1", [](TVideoEngine& e) { e.OutputType = 6; e.OutputFileWidth = 352; e.OutputFileHeight = 288;
                                        e.MPEGAudioSampleRate = 48000; e.MPEGAudioChannels = 1; },
       "mpg", "mpeg", "mpeg1video", 352, 288, "mp2", 48000, ""},
      {"MPEG 2", type(7), "mpg", "mpeg", "mpeg2video", 320, 240, "mp2", 44100, ""},
      {"AVI MJPEG PCM", [](TVideoEngine& e) { e.OutputType = 8;
                                               e.VideoCompressor = e.VideoCompressors().IndexOf("MJPEG Compressor");
                                               e.AudioCompressor = e.AudioCompressors().IndexOf("PCM"); },
       "avi", "avi", "mjpeg", 320, 240, "pcm_s16le", 44100, ""},
      {"AVI uncompressed", [](TVideoEngine& e) { e.OutputType = 8; e.UseVideoCompressor = false;
                                                  e.UseAudioCompressor = false; e.OutputFileWidth = 160;
                                                  e.OutputFileHeight = 120; },
       "avi", "avi", "rawvideo", 160, 120, "pcm_s16le", 44100, ""},
      {"AVI MPEG-4 MP3", [](TVideoEngine& e) { e.OutputType = 8; e.VideoCompressor = 1; e.AudioCompressor = 1;
                                                e.FrameRate = 15; },
       "avi", "avi", "mpeg4", 320, 240, "mp3", 44100, ""},
      {"WMV by index", [](TVideoEngine& e) { e.OutputType = 9; e.SetWMVProfile(2); },
       "wmv", "asf", "wmv2", 320, 240, "wmav2", 44100, ""},
      {"WMV by profile file", [zune](TVideoEngine& e) { e.OutputType = 9; e.SetWMVCustomFileName(Q(zune)); },
       "wmv", "asf", "wmv2", 320, 240, "wmav2", 44100, ""},
      {"QuickTime", type(10), "mov", "mov", "mpeg4", 320, 240, "aac", 44100, ""},
      {"RealMedia", type(11), "rm", "rm", "rv20", 320, 240, "ac3", 44100, ""},
      {"iPod", type(12), "mp4", "mp4", "h264", 320, 240, "aac", 44100, ""},
      {"PSP", type(13), "mp4", "mp4", "h264", 480, 272, "aac", 48000, ""},
      {"FLV", [](TVideoEngine& e) { e.OutputType = 14; e.FLVAudioSampleRate = 22050; e.FLVAudioChannels = 1; },
       "flv", "flv", "flv1", 320, 240, "mp3", 22050, ""},
      {"3GP AAC MPEG-4", type(15), "3gp", "3gp", "mpeg4", 320, 240, "aac", 22050, ""},
      {"3GP AMR H.263", [](TVideoEngine& e) { e.OutputType = 15; e.Video3GPAudioCodec = 1;
                                               e.Video3GPVideoCodec = 1; e.Video3GPVideoBitrate = 256000; },
       "3gp", "3gp", "h263", 176, 144, "amr_nb", 8000, ""},
  };
  const std::string dir = FreshDir("types");
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.name);
    TVideoEngine e;
    LoadTwoClips(e);
    c.setup(e);
    std::string out = dir + "/" + c.name + "." + c.ext;
    int completed = 0;
    e.OnComplete = [&] { ++completed; };
    ASSERT_TRUE(e.SaveTimeline(Q(out))) << e.LastError().toStdString();
    EXPECT_EQ(completed, 1);
    Probed p = FfProbe(out);
    ASSERT_TRUE(p.ok);
    EXPECT_NE(p.format.find(c.format), std::string::npos) << p.format;
    EXPECT_EQ(p.video.codec, c.vcodec);
    EXPECT_EQ(p.video.width, c.width);
    EXPECT_EQ(p.video.height, c.height);
    EXPECT_EQ(p.audio.codec, c.acodec);
    EXPECT_EQ(p.audio.sampleRate, c.sampleRate);
    EXPECT_NEAR(p.duration, 3.0, 0.5);
    // MPEG-1 stores the pixel shape as a table code, so 4:3 comes out near 4:3.
    if (*c.aspect) {
      EXPECT_NEAR(Ratio(p.video.displayAspect), Ratio(c.aspect), 0.02) << p.video.displayAspect;
    }
  }
}

TEST(VideoEngineSave, DiscFormatsAndFrameRatesFollowTheSource) {
  const EngineMedia& m = Media();
  const std::string dir = FreshDir("disc");
  TVideoEngine e;
  double d = e.GetFileDuration(Q(m.silentWide));
  ASSERT_TRUE(e.AddVideo(Q(m.silentWide), 0, d, 0));
  ASSERT_TRUE(e.AddAudio(Q(m.silentWide), 0, d));
  // A wide source makes a wide DVD rather than a letterboxed one.
  e.OutputType = 4;
  ASSERT_TRUE(e.SaveTimeline(Q(dir + "/wide.mpg"))) << e.LastError().toStdString();
  Probed dvd = FfProbe(dir + "/wide.mpg");
  EXPECT_EQ(dvd.video.displayAspect, "16:9");
  EXPECT_NEAR(dvd.video.fps, 29.97, 0.01);
  EXPECT_EQ(dvd.audio.codec, "ac3");
  // AVI takes the frame rate it is given.
  e.OutputType = 8;
  e.FrameRate = 12;
  ASSERT_TRUE(e.SaveTimeline(Q(dir + "/rate.avi")));
  EXPECT_NEAR(FfProbe(dir + "/rate.avi").video.fps, 12, 0.01);
}

TEST(VideoEngineSave, PicturesOfAnotherShapeAreLetterboxed) {
  const EngineMedia& m = Media();
  const std::string dir = FreshDir("letterbox");
  TVideoEngine e;
  ASSERT_TRUE(e.AddVideo(Q(m.silentWide), 0, 1, 0));  // 16:9 into 4:3
  e.OutputType = 8;
  e.OutputFileWidth = 160;
  e.OutputFileHeight = 120;
  e.UseVideoCompressor = false;
  ASSERT_TRUE(e.SaveTimeline(Q(dir + "/box.avi"))) << e.LastError().toStdString();
  auto rgb = testsupport::FirstFrameRgb(dir + "/box.avi", 160, 120);
  ASSERT_EQ(rgb.size(), 160u * 120 * 3);
  auto brightness = [&](int x, int y) {
    const unsigned char* p = &rgb[(size_t(y) * 160 + x) * 3];
    return p[0] + p[1] + p[2];
  };
  // 160x90 picture in the middle: bands of 15 rows above and below.
  for (int x : {10, 80, 150}) {
    EXPECT_LT(brightness(x, 3), 30) << x;
    EXPECT_LT(brightness(x, 116), 30) << x;
  }
  int lit = 0;
  for (int x = 0; x < 160; x += 8) lit += brightness(x, 60) > 60;
  EXPECT_GT(lit, 10);
}

TEST(VideoEngineSave, WavAndMp3HonourTheirArguments) {
  const std::string dir = FreshDir("sound");
  TVideoEngine e;
  LoadTwoClips(e);
  struct Wav {
    short channels;
    int rate;
    short size;
    const char* codec;
  } wavs[] = {{1, 22050, 1, "pcm_u8"}, {2, 44100, 2, "pcm_s16le"}};
  for (const Wav& w : wavs) {
    SCOPED_TRACE(w.codec);
    std::string out = dir + "/" + w.codec + ".wav";
    ASSERT_TRUE(e.SaveTimelineWav(Q(out), w.channels, w.rate, w.size)) << e.LastError().toStdString();
    Probed p = FfProbe(out);
    EXPECT_NE(p.format.find("wav"), std::string::npos);
    EXPECT_EQ(p.audio.codec, w.codec);
    EXPECT_EQ(p.audio.channels, w.channels);
    EXPECT_EQ(p.audio.sampleRate, w.rate);
    EXPECT_TRUE(p.video.codec.empty());
    EXPECT_NEAR(p.duration, 3.0, 0.5);
  }
  ASSERT_TRUE(e.SaveTimelineMp3(Q(dir + "/tone.mp3"), 44100, 128)) << e.LastError().toStdString();
  Probed mp3 = FfProbe(dir + "/tone.mp3");
  EXPECT_NE(mp3.format.find("mp3"), std::string::npos);
  EXPECT_EQ(mp3.audio.codec, "mp3");
  EXPECT_EQ(mp3.audio.sampleRate, 44100);
  EXPECT_NEAR(mp3.duration, 3.0, 0.5);
  // Arguments no wave or MP3 file can have are refused.
  EXPECT_FALSE(e.SaveTimelineWav(Q(dir + "/bad.wav"), 2, 44100, 3));
  EXPECT_FALSE(e.SaveTimelineMp3(Q(dir + "/bad.mp3"), 44100, 0));
  EXPECT_FALSE(fs::exists(dir + "/bad.wav"));
}

TEST(VideoEngineSave, CutShortDownloadConvertsItsDecodablePart) {
  const EngineMedia& m = Media();
  const std::string dir = FreshDir("cut");
  TVideoEngine e;
  double d = e.GetFileDuration(Q(m.cutFlv));
  ASSERT_TRUE(e.AddVideo(Q(m.cutFlv), 0, d, 0));
  ASSERT_TRUE(e.AddAudio(Q(m.cutFlv), 0, d));
  e.OutputType = 14;
  ASSERT_TRUE(e.SaveTimeline(Q(dir + "/cut.flv"))) << e.LastError().toStdString();
  Probed p = FfProbe(dir + "/cut.flv");
  EXPECT_EQ(p.video.codec, "flv1");
  EXPECT_NEAR(p.duration, d, 0.5);
}

TEST(VideoEngineSave, FailuresReturnFalseAndLeaveNoFileBehind) {
  const EngineMedia& m = Media();
  const std::string dir = FreshDir("failures");
  const std::string target = dir + "/keep.wmv";
  std::ofstream(target) << "old contents";
  std::ofstream(dir + "/garbage.prx") << "\x01\x02 this is not a profile\nwidth = wide\n";
  std::ofstream(dir + "/incomplete.prx") << "name = half\nwidth = 320\nheight = 240\n";

  TVideoEngine e;
  // Nothing on the timeline.
  e.OutputType = 9;
  EXPECT_FALSE(e.SaveTimeline(Q(target)));
  LoadTwoClips(e);
  for (const std::string& profile : {dir + "/missing.prx", dir + "/garbage.prx", dir + "/incomplete.prx"}) {
    SCOPED_TRACE(profile);
    e.SetWMVCustomFileName(Q(profile));
    EXPECT_FALSE(e.SaveTimeline(Q(target)));
    EXPECT_FALSE(e.LastError().isEmpty());
  }
  // A later choice by index wins over the stale file name.
  e.SetWMVProfile(0);
  EXPECT_TRUE(e.SaveTimeline(Q(dir + "/by-index.wmv"))) << e.LastError().toStdString();

  // Unwritable targets: a folder that does not exist, a "folder" that is a file.
  e.OutputType = 14;
  EXPECT_FALSE(e.SaveTimeline(Q(dir + "/no/such/folder/out.flv")));
  EXPECT_FALSE(e.SaveTimeline(Q(target + "/out.flv")));
  // Unknown output type and compressor.
  e.OutputType = 16;
  EXPECT_FALSE(e.SaveTimeline(Q(target)));
  e.OutputType = 8;
  e.VideoCompressor = 99;
  EXPECT_FALSE(e.SaveTimeline(Q(target)));

  EXPECT_EQ(ReadAll(target), "old contents");
  fs::remove(dir + "/by-index.wmv");
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string n = entry.path().filename().string();
    EXPECT_TRUE(n == "keep.wmv" || (n.size() > 4 && n.substr(n.size() - 4) == ".prx")) << n;
  }
  (void)m;
}

// Pictures that declare a size no decoder takes would convert into black:
// such a save fails, names the file and why, and writes nothing. A single
// bad picture among good ones is not such a file.
TEST(VideoEngineSave, VideoWhosePicturesDoNotDecodeFailsAndWritesNothing) {
  const std::string dir = FreshDir("undecodable");
  const struct {
    const char* name;
    int width, height, every;
    bool saves;
  } cases[] = {
      {"every picture 20000x20000", 20000, 20000, 1, false},
      {"every picture 0x0", 0, 0, 1, false},
      {"one picture in twenty 20000x20000", 20000, 20000, 20, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = dir + "/in-" + std::to_string(c.width) + "-" + std::to_string(c.every) + ".flv";
    ASSERT_TRUE(testsupport::MakeFlvDeclaringPictureSize(input, 3, c.width, c.height, c.every));
    TVideoEngine e;
    const double d = e.GetFileDuration(Q(input));
    ASSERT_GT(d, 2.5);
    // Added as the converter adds a file; the probe may or may not see the pictures.
    e.AddVideo(Q(input), 0, d, 0);
    ASSERT_TRUE(e.AddAudio(Q(input), 0, d));
    e.OutputType = 14;  // FLV
    const std::string out = dir + "/out.flv";
    const bool saved = e.SaveTimeline(Q(out));
    EXPECT_EQ(saved, c.saves) << e.LastError().toStdString();
    if (c.saves) {
      EXPECT_EQ(FfProbe(out).video.codec, "flv1");
      fs::remove(out);
      continue;
    }
    const std::string error = e.LastError().toStdString();
    EXPECT_NE(error.find(input), std::string::npos) << error;
    EXPECT_NE(error.find("decoded"), std::string::npos) << error;
    // Nothing written: no output, no temporary file beside it.
    for (const auto& entry : fs::directory_iterator(dir))
      EXPECT_EQ(entry.path().extension(), ".flv") << entry.path();
    EXPECT_FALSE(fs::exists(out));
  }
}

// A timeline long enough that a save reports progress a few times.
void LoadLongTimeline(TVideoEngine& e) {
  const EngineMedia& m = Media();
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(e.AddVideo(Q(m.mp4), 0, 2, 0));
    ASSERT_TRUE(e.AddAudio(Q(m.mp4), 0, 2));
  }
  e.OutputType = 4;  // DVD: the most work per second
}

TEST(VideoEngineSave, AbortFromTheProgressEventStopsTheSaveAndKeepsTheOldFile) {
  const std::string dir = FreshDir("abort");
  const std::string target = dir + "/movie.mpg";
  std::ofstream(target) << "previous movie";
  TVideoEngine e;
  LoadLongTimeline(e);
  int events = 0, completed = 0;
  e.OnComplete = [&] { ++completed; };
  e.OnProcessing = [&](double, double) {
    ++events;
    QCoreApplication::processEvents();
    e.Abort();
  };
  EXPECT_FALSE(e.SaveTimeline(Q(target)));
  EXPECT_GE(events, 1);
  EXPECT_EQ(completed, 0);
  EXPECT_EQ(ReadAll(target), "previous movie");
  EXPECT_TRUE(OnlyFileIn(dir, "movie.mpg"));
  // The engine is usable again afterwards.
  e.OnProcessing = nullptr;
  e.ClearTimeline();
  LoadTwoClips(e);
  EXPECT_TRUE(e.SaveTimeline(Q(target))) << e.LastError().toStdString();
  EXPECT_EQ(completed, 1);
}

TEST(VideoEngineSave, ProgressArrivesOnTheCallersThreadAndASecondSaveIsRefused) {
  const std::string dir = FreshDir("progress");
  TVideoEngine e;
  LoadLongTimeline(e);
  std::vector<double> positions;
  double reportedDuration = 0;
  bool allOnCaller = true;
  int refused = 0, tried = 0;
  e.OnProcessing = [&](double pos, double dur) {
    allOnCaller &= QThread::currentThread() == e.thread();
    positions.push_back(pos);
    reportedDuration = dur;
    if (pos < dur) {
      ++tried;
      if (!e.SaveTimeline(Q(dir + "/second.mpg"))) ++refused;
    }
    // The nested caller may also rebuild the timeline; the save keeps its copy.
    e.ClearTimeline();
  };
  ASSERT_TRUE(e.SaveTimeline(Q(dir + "/first.mpg"))) << e.LastError().toStdString();
  EXPECT_TRUE(allOnCaller);
  ASSERT_GE(positions.size(), 2u);
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_NEAR(positions.back(), 16, 0.1);
  EXPECT_NEAR(reportedDuration, 16, 0.1);
  EXPECT_GE(tried, 1);
  EXPECT_EQ(refused, tried);
  EXPECT_FALSE(fs::exists(dir + "/second.mpg"));
  EXPECT_NEAR(FfProbe(dir + "/first.mpg").duration, 16, 0.5);
}

}  // namespace
}  // namespace larkvale::enginetest

namespace larkvale::enginetest {
namespace {

TEST(VideoEngineSave, EveryShippedWmvProfileEncodes) {
  const std::string dir = FreshDir("profiles");
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(AppDir())) {
    if (entry.path().extension() != ".prx") continue;
    ++seen;
    std::string path = entry.path().string();
    SCOPED_TRACE(path);
    engine::WMVProfileData prof;
    std::string error;
    ASSERT_TRUE(engine::ReadProfileFile(path, &prof, &error)) << error;
    TVideoEngine e;
    ASSERT_TRUE(e.AddVideo(Q(Media().flv), 0, 0.5, 0));
    ASSERT_TRUE(e.AddAudio(Q(Media().flv), 0, 0.5));
    e.OutputType = 9;
    e.SetWMVCustomFileName(Q(path));
    std::string out = dir + "/" + std::to_string(seen) + ".wmv";
    ASSERT_TRUE(e.SaveTimeline(Q(out))) << e.LastError().toStdString();
    Probed p = FfProbe(out);
    EXPECT_EQ(p.video.width, prof.width);
    EXPECT_EQ(p.video.height, prof.height);
    EXPECT_EQ(p.audio.sampleRate, prof.audioSampleRate);
    EXPECT_EQ(p.audio.channels, prof.audioChannels);
  }
  EXPECT_EQ(seen, 12);
}

}  // namespace
}  // namespace larkvale::enginetest
