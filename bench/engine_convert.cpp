// Conversion speed of TVideoEngine against the ffmpeg CLI with the same codec
// settings, measured in the same run, and probing against ffprobe. Prints
// medians and ratios (CLI time / engine time: above 1 means the engine is
// faster).
//
//   bench_engine_convert [repetitions=3] [seconds=60] [only formats whose name contains this]

#include "engine/probe.h"
#include "engine/videoengine.h"
#include "support/media_fixtures.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using larkvale::engine::TVideoEngine;
using larkvale::testsupport::FixtureSpec;
using larkvale::testsupport::RunCommand;
using larkvale::testsupport::ShellQuote;
namespace fs = std::filesystem;

namespace {

double Seconds(const std::function<void()>& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Format {
  const char* name;
  std::function<void(TVideoEngine&)> setup;  // engine properties
  bool mp3;                                   // SaveTimelineMp3 instead of SaveTimeline
  const char* ext;
  const char* cliArgs;                        // the same encode for the ffmpeg CLI
};

// `larkvale convert` run as a process against the ffmpeg command line on the
// same clip and settings (the MPEG 2 line's): the command line's start-up,
// probing and Timeline join included.
void CommandLineConvertLine(const std::string& larkvale, const std::string& input, const std::string& dir,
                            int reps) {
  std::vector<double> ours, theirs;
  for (int r = 0; r < reps; ++r) {
    int status = 0;
    const std::string out = dir + "/larkvale.mpg";
    ours.push_back(Seconds([&] {
      RunCommand(ShellQuote(larkvale) + " convert " + ShellQuote(input) + " -f mpeg-2 --width 640 --height 360 -o " +
                     ShellQuote(out) + " 2>&1",
                 &status);
    }));
    if (status != 0) {
      std::fprintf(stderr, "larkvale convert failed\n");
      return;
    }
    theirs.push_back(Seconds([&] {
      RunCommand("ffmpeg -nostdin -v error -y -i " + ShellQuote(input) +
                     " -c:v mpeg2video -b:v 4600000 -g 15 -bf 2 -r 25 -c:a mp2 -b:a 224k -ar 44100 -ac 2 -f vob " +
                     ShellQuote(dir + "/cli-process.mpg") + " 2>&1",
                 &status);
    }));
  }
  const double a = Median(ours), b = Median(theirs);
  std::printf("| larkvale convert -f mpeg-2 (process) | %.2f | %.2f | %.2f |\n", a, b, b / a);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const double seconds = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 60;
  const std::string only = argc > 3 ? argv[3] : "";

  std::string dir = (fs::temp_directory_path() / "larkvale-bench-XXXXXX").string();
  if (!mkdtemp(dir.data())) return 1;
  const std::string input = dir + "/input.mp4";
  FixtureSpec clip{seconds, true, 640, 360, 25, true, 44100, 2,
                   "-c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k"};
  std::printf("making a %.0f s 640x360 H.264/AAC clip...\n", seconds);
  if (!larkvale::testsupport::MakeMediaFixture(input, clip)) {
    std::fprintf(stderr, "ffmpeg could not make the input\n");
    return 1;
  }

  const Format formats[] = {
      {"MPEG 2", [](TVideoEngine& e) { e.OutputType = 7; }, false, "mpg",
       "-c:v mpeg2video -b:v 4600000 -g 15 -bf 2 -r 25 -c:a mp2 -b:a 224k -ar 44100 -ac 2 -f vob"},
      {"AVI (MJPEG, PCM)", [](TVideoEngine& e) { e.OutputType = 8; e.VideoCompressor = 0; e.AudioCompressor = 0; },
       false, "avi", "-c:v mjpeg -q:v 3 -pix_fmt yuvj420p -r 25 -c:a pcm_s16le -ar 44100 -ac 2 -f avi"},
      {"FLV", [](TVideoEngine& e) { e.OutputType = 14; }, false, "flv",
       "-c:v flv -b:v 512000 -g 250 -c:a libmp3lame -b:a 128000 -ar 44100 -ac 2 -f flv"},
      {"iPod", [](TVideoEngine& e) { e.OutputType = 12; }, false, "mp4",
       "-c:v libx264 -profile:v baseline -level 3.0 -preset fast -b:v 768k -maxrate 1500k -bufsize 2000k "
       "-c:a aac -b:a 128k -ar 44100 -ac 2 -f ipod"},
      {"MP3", nullptr, true, "mp3", "-vn -c:a libmp3lame -b:a 128k -ar 44100 -ac 2 -f mp3"},
  };

  std::printf("\n%d repetitions, medians in seconds; ratio = CLI time / engine time\n\n", reps);
  std::printf("| Output | engine | ffmpeg CLI | ratio |\n|---|---|---|---|\n");
  for (const Format& f : formats) {
    if (!only.empty() && std::string(f.name).find(only) == std::string::npos) continue;
    std::vector<double> ours, theirs;
    for (int r = 0; r < reps; ++r) {
      TVideoEngine e;
      e.OutputFileWidth = 640;
      e.OutputFileHeight = 360;
      e.ClearTimeline();
      double d = e.GetFileDuration(QString::fromStdString(input));
      e.AddVideo(QString::fromStdString(input), 0, d, 0);
      e.AddAudio(QString::fromStdString(input), 0, d);
      if (f.setup) f.setup(e);
      const QString out = QString::fromStdString(dir + "/engine." + f.ext);
      bool ok = true;
      ours.push_back(Seconds([&] { ok = f.mp3 ? e.SaveTimelineMp3(out, 44100, 128) : e.SaveTimeline(out); }));
      if (!ok) {
        std::fprintf(stderr, "%s: engine failed: %s\n", f.name, e.LastError().toStdString().c_str());
        return 1;
      }
      const std::string cmd = "ffmpeg -nostdin -v error -y -i " + ShellQuote(input) + " " + f.cliArgs + " " +
                              ShellQuote(dir + "/cli." + f.ext) + " 2>&1";
      int status = 0;
      theirs.push_back(Seconds([&] { RunCommand(cmd, &status); }));
      if (status != 0) {
        std::fprintf(stderr, "%s: ffmpeg failed\n", f.name);
        return 1;
      }
    }
    double a = Median(ours), b = Median(theirs);
    std::printf("| %s | %.2f | %.2f | %.2f |\n", f.name, a, b, b / a);
    std::fflush(stdout);
  }

  if (only.empty() || std::string("larkvale").find(only) != std::string::npos)
    CommandLineConvertLine((fs::path(argv[0]).parent_path() / "larkvale").string(), input, dir, reps);

  // Probing: the four numbers the converter asks for, in-process vs a spawned ffprobe.
  std::vector<double> probe, ffprobe;
  for (int i = 0; i < 50; ++i)
    probe.push_back(Seconds([&] { larkvale::engine::ProbeFile(input); }));
  for (int i = 0; i < 10; ++i)
    ffprobe.push_back(Seconds([&] {
      RunCommand("ffprobe -v error -show_entries format=duration:stream=width,height,r_frame_rate -of csv " +
                 ShellQuote(input));
    }));
  double a = Median(probe), b = Median(ffprobe);
  std::printf("| Probe (duration, size, rate) | %.2f ms | %.2f ms | %.1f |\n", a * 1000, b * 1000, b / a);
  fs::remove_all(dir);
  return 0;
}
