// Conversion speed of TVideoEngine against the ffmpeg CLI with the same codec
// settings, measured in the same run, for all 19 output formats (WAV and MP3
// taken from the video clip's sound), and probing against ffprobe. Prints
// medians and ratios (CLI time / engine time: above 1 means the engine is
// faster), and the same for processor time. The last column says whether
// both outputs hold the same streams.
//
//   bench_engine_convert [repetitions=3] [seconds=60] [only formats whose name contains this]
//                        [MiB of parts to join=1024]

#include "engine/probe.h"
#include "engine/videoengine.h"
#include "support/media_fixtures.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>

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

// What differs between the two outputs' streams ("" when codecs, sizes,
// rates and channels agree), so a ratio is never quoted for unequal work.
std::string StreamDifference(const std::string& ours, const std::string& theirs) {
  const larkvale::testsupport::Probed a = larkvale::testsupport::FfProbe(ours);
  const larkvale::testsupport::Probed b = larkvale::testsupport::FfProbe(theirs);
  if (!a.ok || !b.ok) return "unreadable";
  std::string diff;
  auto check = [&](bool same, const char* what) {
    if (!same) diff += diff.empty() ? what : std::string(", ") + what;
  };
  check(a.format == b.format, "container");
  check(a.video.codec == b.video.codec, "video codec");
  check(a.video.width == b.video.width && a.video.height == b.video.height, "size");
  check(std::abs(a.video.fps - b.video.fps) < 0.01, "frame rate");
  check(a.video.displayAspect == b.video.displayAspect, "aspect");
  check(a.audio.codec == b.audio.codec, "audio codec");
  check(a.audio.sampleRate == b.audio.sampleRate && a.audio.channels == b.audio.channels, "sound format");
  // Equal rate control gives files of about one size; a large gap means
  // different encoder settings.
  const double bytes = double(fs::file_size(ours)) / double(std::max<std::uintmax_t>(1, fs::file_size(theirs)));
  if (bytes < 0.85 || bytes > 1.15) check(false, ("size x" + std::to_string(bytes).substr(0, 4)).c_str());
  return diff;
}

// Processor seconds (user and system) used so far by this process's threads
// or by its waited-for children. On a shared machine they vary less than the
// wall clock.
double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

enum class Save { Timeline, Wav, Mp3 };

struct Format {
  const char* name;
  std::function<void(TVideoEngine&)> setup;  // engine properties
  Save save;
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

// "Join without re-encoding" of about `totalMiB` of parts (copies of one
// high-rate 720p H.264/AAC recording, as a camera or a stream leaves them)
// against the ffmpeg CLI's concat demuxer with stream copy, and against cat
// of the same bytes (a floor no join can beat). Each side starts with nothing
// dirty in the page cache and its output is removed right after it, so one
// side's write-back does not slow the next; the joins take turns at going
// first.
void JoinLine(const std::string& dir, int reps, double totalMiB, const std::string& larkvale) {
  const std::string first = dir + "/part0.mp4";
  const double partSeconds = 30;
  FixtureSpec shape{partSeconds, true, 1280, 720, 25, true, 48000, 2,
                    "-vf noise=alls=24:allf=t -c:v libx264 -preset ultrafast -pix_fmt yuv420p -b:v 32M -maxrate 32M "
                    "-bufsize 16M -c:a aac -b:a 192k"};
  std::printf("making a %.0f s 1280x720 H.264/AAC part at 32 Mbit/s...\n", partSeconds);
  std::fflush(stdout);
  if (!larkvale::testsupport::MakeMediaFixture(first, shape)) {
    std::fprintf(stderr, "ffmpeg could not make the join's part\n");
    return;
  }
  const double partMiB = double(fs::file_size(first)) / (1 << 20);
  const int parts = std::max(2, int(std::lround(totalMiB / partMiB)));
  std::string list, catArgs;
  TVideoEngine e;
  double expected = 0;
  for (int i = 0; i < parts; ++i) {
    const std::string part = dir + "/part" + std::to_string(i) + ".mp4";
    if (i > 0) fs::copy_file(first, part, fs::copy_options::overwrite_existing);
    list += "file '" + part + "'\n";
    catArgs.append(" ").append(ShellQuote(part));
    const double d = e.GetFileDuration(QString::fromStdString(part));
    expected += d;
    e.AddVideo(QString::fromStdString(part), 0, d, 0);
    e.AddAudio(QString::fromStdString(part), 0, d);
  }
  std::FILE* f = std::fopen((dir + "/parts.txt").c_str(), "w");
  std::fputs(list.c_str(), f);
  std::fclose(f);
  const double inputMiB = partMiB * parts;

  const std::string ours = dir + "/joined.mp4", theirs = dir + "/cli-joined.mp4", catOut = dir + "/cat.bin";
  // Wall and processor seconds of one side; the parts stay in the page cache
  // (24 GiB machine), so all three read from memory.
  struct Side {
    std::vector<double> wall, cpu;
  } engine, cli, cat, command;
  auto measure = [&](Side& side, int who, const std::function<bool()>& run) {
    RunCommand("sync");
    const double cpu0 = CpuSeconds(who);
    bool ok = false;
    side.wall.push_back(Seconds([&] { ok = run(); }));
    side.cpu.push_back(CpuSeconds(who) - cpu0);
    return ok;
  };
  std::string check;
  const std::string commandOut = dir + "/command-joined.mp4";
  std::uintmax_t oursSize = 0, theirsSize = 0;
  double oursLength = 0;
  // The three joins take turns at going first: whoever writes after another
  // 1 GiB meets the kernel still busy with it.
  const std::function<bool()> joins[] = {
      [&] {
        if (!measure(engine, RUSAGE_SELF, [&] { return e.JoinTimeline(QString::fromStdString(ours)); })) {
          std::fprintf(stderr, "join failed: %s\n", e.LastError().toStdString().c_str());
          return false;
        }
        oursSize = fs::file_size(ours);
        oursLength = std::atof(
            RunCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 " + ShellQuote(ours)).c_str());
        fs::remove(ours);
        return true;
      },
      [&] {
        int status = 0;
        if (!measure(cli, RUSAGE_CHILDREN, [&] {
              RunCommand("ffmpeg -nostdin -v error -y -f concat -safe 0 -i " + ShellQuote(dir + "/parts.txt") +
                             " -c copy " + ShellQuote(theirs) + " 2>&1",
                         &status);
              return status == 0;
            })) {
          std::fprintf(stderr, "ffmpeg concat failed\n");
          return false;
        }
        theirsSize = fs::file_size(theirs);
        fs::remove(theirs);
        return true;
      },
      [&] {
        // The command line's join, probing its inputs included.
        int status = 0;
        if (!measure(command, RUSAGE_CHILDREN, [&] {
              RunCommand(ShellQuote(larkvale) + " convert --copy" + catArgs + " -o " + ShellQuote(commandOut) + " 2>&1",
                         &status);
              return status == 0;
            })) {
          std::fprintf(stderr, "larkvale convert --copy failed\n");
          return false;
        }
        fs::remove(commandOut);
        return true;
      },
  };
  for (int r = 0; r < reps; ++r) {
    for (int k = 0; k < 3; ++k)
      if (!joins[(r + k) % 3]()) return;
    int status = 0;
    if (!measure(cat, RUSAGE_CHILDREN, [&] {
          RunCommand("cat" + catArgs + " > " + ShellQuote(catOut), &status);
          return status == 0;
        })) {
      std::fprintf(stderr, "cat failed\n");
      return;
    }
    fs::remove(catOut);
    if (r == 0) {
      // Both joins must hold the whole length, and about the same bytes.
      const double size = double(oursSize) / double(std::max<std::uintmax_t>(1, theirsSize));
      check = std::abs(oursLength - expected) < 0.05 ? "length ok"
                                                     : "length " + std::to_string(oursLength) + " s, expected " +
                                                           std::to_string(expected) + " s";
      if (size < 0.99 || size > 1.01) check += ", size x" + std::to_string(size).substr(0, 4) + " of the CLI's";
    }
  }
  const double a = Median(engine.wall), b = Median(cli.wall), c = Median(cat.wall);
  const double ac = Median(engine.cpu), bc = Median(cli.cpu), cc = Median(cat.cpu);
  std::printf("| Join without re-encoding (%d parts of %.0f MiB, %.0f MiB) | %.2f | %.2f (concat) | %.2f | %.2f | %.2f | %.2f "
              "| %s |\n",
              parts, partMiB, inputMiB, a, b, b / a, ac, bc, bc / ac, check.c_str());
  const double d = Median(command.wall), dc = Median(command.cpu);
  std::printf("| larkvale convert --copy (process) | %.2f | %.2f (concat) | %.2f | %.2f | %.2f | %.2f | |\n", d, b, b / d,
              dc, bc, bc / dc);
  std::printf("| cat of the same parts | %.2f | | %.2f of cat's speed | %.2f | | | engine %.0f MiB/s, ffmpeg %.0f MiB/s, "
              "cat %.0f MiB/s |\n",
              c, c / a, cc, inputMiB / a, inputMiB / b, inputMiB / c);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const double seconds = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 60;
  const std::string only = argc > 3 ? argv[3] : "";
  const double joinMiB = argc > 4 ? std::max(1.0, std::atof(argv[4])) : 1024;

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

  const QString zuneProfile = QCoreApplication::applicationDirPath() + "/zune.prx";
  auto type = [](int t) { return [t](TVideoEngine& e) { e.OutputType = t; }; };
  // Each CLI line asks for what the engine's plan for that type holds (sizes,
  // rates, bit rates, GOP, B-frames, muxer options) for this 640x360 25 fps
  // source, so both sides run the same encoders on the same pictures. Where
  // the frame's shape differs from the source's, the engine keeps the
  // picture's shape inside black bars: the CLI scales and pads the same way.
  const Format formats[] = {
      {"VCD_NTSC", type(0), Save::Timeline, "mpg",
       "-vf scale=352:180,pad=352:240:0:30,setdar=4/3 -r 30000/1001 -c:v mpeg1video -b:v 1150000 -maxrate 1150000 -minrate 1150000 "
       "-bufsize 327680 -g 18 -bf 2 -c:a mp2 -b:a 224k -ar 44100 -ac 2 -packetsize 2324 -muxrate 1411200 -f vcd"},
      {"VCD_PAL", type(1), Save::Timeline, "mpg",
       "-vf scale=352:216,pad=352:288:0:36,setdar=4/3 -r 25 -c:v mpeg1video -b:v 1150000 -maxrate 1150000 -minrate 1150000 "
       "-bufsize 327680 -g 15 -bf 2 -c:a mp2 -b:a 224k -ar 44100 -ac 2 -packetsize 2324 -muxrate 1411200 -f vcd"},
      {"SVCD_NTSC", type(2), Save::Timeline, "mpg",
       "-vf scale=480:360,pad=480:480:0:60,setdar=4/3 -r 30000/1001 -c:v mpeg2video -b:v 2040000 -maxrate 2516000 -bufsize 1835008 "
       "-g 18 -bf 2 -scan_offset 1 -c:a mp2 -b:a 224k -ar 44100 -ac 2 -packetsize 2324 -f svcd"},
      {"SVCD_PAL", type(3), Save::Timeline, "mpg",
       "-vf scale=480:432,pad=480:576:0:72,setdar=4/3 -r 25 -c:v mpeg2video -b:v 2040000 -maxrate 2516000 -bufsize 1835008 "
       "-g 15 -bf 2 -scan_offset 1 -c:a mp2 -b:a 224k -ar 44100 -ac 2 -packetsize 2324 -f svcd"},
      {"DVD_NTSC", type(4), Save::Timeline, "mpg",
       "-s 720x480 -aspect 16:9 -r 30000/1001 -c:v mpeg2video -b:v 6000000 -maxrate 9000000 -bufsize 1835008 "
       "-g 18 -bf 2 -c:a ac3 -b:a 448k -ar 48000 -ac 2 -packetsize 2048 -muxrate 10080000 -f dvd"},
      {"DVD_PAL", type(5), Save::Timeline, "mpg",
       "-s 720x576 -aspect 16:9 -r 25 -c:v mpeg2video -b:v 6000000 -maxrate 9000000 -bufsize 1835008 "
       "-g 15 -bf 2 -c:a ac3 -b:a 448k -ar 48000 -ac 2 -packetsize 2048 -muxrate 10080000 -f dvd"},
      {"MPEG 1", type(6), Save::Timeline, "mpg",
       "-c:v mpeg1video -b:v 4600000 -g 15 -bf 2 -r 25 -c:a mp2 -b:a 224k -ar 44100 -ac 2 -f mpeg"},
      {"MPEG 2", type(7), Save::Timeline, "mpg",
       "-c:v mpeg2video -b:v 4600000 -g 15 -bf 2 -r 25 -c:a mp2 -b:a 224k -ar 44100 -ac 2 -f vob"},
      {"AVI (MJPEG, PCM)", [](TVideoEngine& e) { e.OutputType = 8; e.VideoCompressor = 0; e.AudioCompressor = 0; },
       Save::Timeline, "avi", "-c:v mjpeg -q:v 3 -pix_fmt yuvj420p -r 25 -c:a pcm_s16le -ar 44100 -ac 2 -f avi"},
      // The first WMV 8 profile, what the list selects at start: 176x144, 15 fps.
      {"WMV", [](TVideoEngine& e) { e.OutputType = 9; e.SetWMVProfile(0); }, Save::Timeline, "wmv",
       "-vf scale=176:100,pad=176:144:0:22,setsar=1 -r 15 -c:v wmv2 -b:v 32000 -g 75 -c:a wmav2 -b:a 24000 -ar 22050 -ac 1 -f asf"},
      {"QT", type(10), Save::Timeline, "mov",
       "-c:v mpeg4 -b:v 1152000 -g 250 -r 25 -c:a aac -b:a 128k -ar 44100 -ac 2 -f mov"},
      {"RM", type(11), Save::Timeline, "rm",
       "-vf scale=626:352,pad=640:352:6:0,setsar=1 -c:v rv20 -b:v 1126400 -g 250 -r 25 -c:a ac3 -b:a 128k -ar 44100 -ac 2 -f rm"},
      {"iPod", type(12), Save::Timeline, "mp4",
       "-c:v libx264 -profile:v baseline -level 3.0 -preset fast -b:v 768k -maxrate 1500k -bufsize 2000k "
       "-c:a aac -b:a 128k -ar 44100 -ac 2 -f ipod"},
      {"PSP", type(13), Save::Timeline, "mp4",
       "-vf scale=480:272,setsar=1 -r 25 -c:v libx264 -profile:v main -level 3.0 -preset fast -b:v 768k -maxrate 1500k "
       "-bufsize 2000k -c:a aac -b:a 128k -ar 48000 -ac 2 -f psp"},
      {"FLV", type(14), Save::Timeline, "flv",
       "-c:v flv -b:v 512000 -g 250 -c:a libmp3lame -b:a 128000 -ar 44100 -ac 2 -f flv"},
      // The default 3GP choices, MPEG-4 and AAC. (AMR has no encoder in the
      // ffmpeg CLI to compare with.)
      {"3GP", type(15), Save::Timeline, "3gp",
       "-c:v mpeg4 -b:v 4600000 -g 250 -r 25 -c:a aac -b:a 64000 -ar 22050 -ac 2 -f 3gp"},
      {"Zune", [&](TVideoEngine& e) { e.OutputType = 9; e.SetWMVCustomFileName(zuneProfile); }, Save::Timeline,
       "wmv", "-vf scale=320:180,pad=320:240:0:30,setsar=1 -r 30 -c:v wmv2 -b:v 768000 -g 150 -c:a wmav2 -b:a 128000 -ar 44100 -ac 2 -f asf"},
      {"WAV", nullptr, Save::Wav, "wav", "-vn -c:a pcm_s16le -ar 44100 -ac 2 -f wav"},
      {"MP3", nullptr, Save::Mp3, "mp3", "-vn -c:a libmp3lame -b:a 128k -ar 44100 -ac 2 -f mp3"},
      // Today's two, at their panels' defaults and the source's size.
      {"MP4 (H.264, AAC)",
       [](TVideoEngine& e) { e.OutputType = larkvale::engine::otMP4; e.VideoQuality = 21; e.AudioBitrate = 160000; },
       Save::Timeline, "mp4",
       "-c:v libx264 -crf 21 -preset medium -r 25 -c:a aac -b:a 160k -ar 44100 -ac 2 -movflags +faststart -f mp4"},
      {"WebM (VP9, Opus)",
       [](TVideoEngine& e) { e.OutputType = larkvale::engine::otWebM; e.VideoQuality = 32; e.AudioBitrate = 128000; },
       Save::Timeline, "webm",
       "-c:v libvpx-vp9 -crf 32 -b:v 0 -row-mt 1 -tile-columns 1 -deadline good -cpu-used 4 -r 25 "
       "-c:a libopus -b:a 128k -ar 48000 -ac 2 -f webm"},
  };

  std::printf("\n%d repetitions, medians in seconds; ratio = CLI time / engine time\n\n", reps);
  std::printf("| Output | engine | ffmpeg CLI | ratio | CPU s engine | CPU s CLI | CPU ratio | streams |\n"
              "|---|---|---|---|---|---|---|---|\n");
  for (const Format& f : formats) {
    if (!only.empty() && std::string(f.name).find(only) == std::string::npos) continue;
    std::vector<double> ours, theirs, oursCpu, theirsCpu;
    std::string difference;
    // A failed format is reported in its row and the others still run.
    std::string failure;
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
      const double cpu0 = CpuSeconds(RUSAGE_SELF);
      ours.push_back(Seconds([&] {
        switch (f.save) {
          case Save::Timeline: ok = e.SaveTimeline(out); break;
          case Save::Wav: ok = e.SaveTimelineWav(out, 2, 44100, 2); break;
          case Save::Mp3: ok = e.SaveTimelineMp3(out, 44100, 128); break;
        }
      }));
      if (!ok) {
        failure = "engine failed: " + e.LastError().toStdString();
        break;
      }
      const std::string cmd = "ffmpeg -nostdin -v error -y -i " + ShellQuote(input) + " " + f.cliArgs + " " +
                              ShellQuote(dir + "/cli." + f.ext) + " 2>&1";
      int status = 0;
      oursCpu.push_back(CpuSeconds(RUSAGE_SELF) - cpu0);
      const double childCpu0 = CpuSeconds(RUSAGE_CHILDREN);
      theirs.push_back(Seconds([&] { RunCommand(cmd, &status); }));
      theirsCpu.push_back(CpuSeconds(RUSAGE_CHILDREN) - childCpu0);
      if (status != 0) {
        failure = "ffmpeg failed";
        break;
      }
      if (r == 0) difference = StreamDifference(out.toStdString(), dir + "/cli." + f.ext);
    }
    if (!failure.empty()) {
      std::printf("| %s | | | | | | | %s |\n", f.name, failure.c_str());
      std::fflush(stdout);
      continue;
    }
    double a = Median(ours), b = Median(theirs);
    const double ac = Median(oursCpu), bc = Median(theirsCpu);
    std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %s |\n", f.name, a, b, b / a, ac, bc, bc / ac,
                difference.empty() ? "same" : ("differ: " + difference).c_str());
    std::fflush(stdout);
  }

  if (only.empty() || std::string("Join").find(only) != std::string::npos) JoinLine(dir, reps, joinMiB, (fs::path(argv[0]).parent_path() / "larkvale").string());

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
  std::printf("| Probe (duration, size, rate) | %.2f ms | %.2f ms | %.1f | | | | |\n", a * 1000, b * 1000, b / a);
  fs::remove_all(dir);
  return 0;
}
