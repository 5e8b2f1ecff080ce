#pragma once
// Media for tests, made and checked by the ffmpeg and ffprobe command-line
// tools, so that outputs are judged independently of our own engine.

#include <string>
#include <vector>

namespace larkvale::testsupport {

struct FixtureSpec {
  double seconds = 2;
  bool video = true;
  int width = 320;
  int height = 240;
  double fps = 25;
  bool audio = true;
  int sampleRate = 44100;
  int channels = 2;
  // Codec arguments for ffmpeg, e.g. "-c:v libx264 -c:a aac"; empty takes
  // the container's defaults.
  std::string codecArgs;
};

// Writes `path` from a test pattern and a tone; false when ffmpeg failed.
bool MakeMediaFixture(const std::string& path, const FixtureSpec& clip);

struct ProbedStream {
  std::string codec;  // empty when there is no such stream
  int width = 0, height = 0;
  double fps = 0;
  std::string displayAspect;  // "4:3"
  int sampleRate = 0, channels = 0;
  std::string sampleFmt;
  int bitsPerSample = 0;
};

struct Probed {
  bool ok = false;
  std::string format;  // ffprobe's format_name, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  double duration = 0;
  ProbedStream video, audio;
};

Probed FfProbe(const std::string& path);

// Makes an FLV (Sorenson H.263 pictures of 320x256, AAC sound, 10 pictures a
// second) and then rewrites the size that pictures declare in their own
// headers: every `every`-th picture from the first declares `width` x
// `height` (each below 65536). False when ffmpeg failed or the file is not
// as expected.
bool MakeFlvDeclaringPictureSize(const std::string& path, double seconds, int width, int height, int every = 1);

// The first picture as packed RGB rows; empty on failure.
std::vector<unsigned char> FirstFrameRgb(const std::string& path, int width, int height);

// Runs a shell command, returning its standard output.
std::string RunCommand(const std::string& command, int* status = nullptr);
std::string ShellQuote(const std::string& s);

}  // namespace larkvale::testsupport
