#include "support/media_fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <sys/wait.h>

namespace larkvale::testsupport {

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

bool MakeMediaFixture(const std::string& path, const FixtureSpec& s) {
  std::ostringstream cmd;
  cmd << "ffmpeg -nostdin -v error -y";
  if (s.video)
    cmd << " -f lavfi -i testsrc=duration=" << s.seconds << ":size=" << s.width << "x" << s.height
        << ":rate=" << s.fps;
  if (s.audio)
    cmd << " -f lavfi -i sine=frequency=440:duration=" << s.seconds << ":sample_rate=" << s.sampleRate;
  if (s.audio) cmd << " -ac " << s.channels;
  cmd << " " << s.codecArgs << " " << ShellQuote(path) << " 2>&1";
  int status = 0;
  RunCommand(cmd.str(), &status);
  return status == 0;
}

namespace {

double Rate(const std::string& r) {
  size_t slash = r.find('/');
  if (slash == std::string::npos) return std::atof(r.c_str());
  double den = std::atof(r.c_str() + slash + 1);
  return den > 0 ? std::atof(r.substr(0, slash).c_str()) / den : 0;
}

}  // namespace

Probed FfProbe(const std::string& path) {
  Probed p;
  int status = 0;
  std::string out = RunCommand(
      "ffprobe -v error -show_entries "
      "format=format_name,duration:stream=codec_type,codec_name,width,height,avg_frame_rate,r_frame_rate,"
      "display_aspect_ratio,sample_rate,channels,sample_fmt,bits_per_sample "
      "-of default " + ShellQuote(path) + " 2>/dev/null",
      &status);
  if (status != 0) return p;
  std::istringstream in(out);
  std::string line;
  std::map<std::string, std::string> kv;
  auto flushStream = [&] {
    ProbedStream* st = nullptr;
    if (kv["codec_type"] == "video" && p.video.codec.empty()) st = &p.video;
    if (kv["codec_type"] == "audio" && p.audio.codec.empty()) st = &p.audio;
    if (!st) return;
    st->codec = kv["codec_name"];
    st->width = std::atoi(kv["width"].c_str());
    st->height = std::atoi(kv["height"].c_str());
    st->fps = Rate(kv["avg_frame_rate"]);
    if (st->fps <= 0) st->fps = Rate(kv["r_frame_rate"]);
    st->displayAspect = kv["display_aspect_ratio"];
    st->sampleRate = std::atoi(kv["sample_rate"].c_str());
    st->channels = std::atoi(kv["channels"].c_str());
    st->sampleFmt = kv["sample_fmt"];
    st->bitsPerSample = std::atoi(kv["bits_per_sample"].c_str());
  };
  while (std::getline(in, line)) {
    if (line == "[STREAM]" || line == "[FORMAT]") {
      kv.clear();
    } else if (line == "[/STREAM]") {
      flushStream();
    } else if (line == "[/FORMAT]") {
      p.format = kv["format_name"];
      p.duration = std::atof(kv["duration"].c_str());
      p.ok = true;
    } else if (size_t eq = line.find('='); eq != std::string::npos) {
      kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return p;
}

std::vector<unsigned char> FirstFrameRgb(const std::string& path, int width, int height) {
  int status = 0;
  std::string out = RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(path) +
                                   " -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null",
                               &status);
  if (status != 0 || out.size() != size_t(width) * height * 3) return {};
  return std::vector<unsigned char>(out.begin(), out.end());
}

}  // namespace larkvale::testsupport
