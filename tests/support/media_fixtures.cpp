#include "support/media_fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <fstream>
#include <iterator>
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

// Writes `bits` bits of `value` at bit `at` (most significant first).
void PutBits(std::string& bytes, std::size_t at, int bits, unsigned value) {
  for (int k = 0; k < bits; ++k) {
    const std::size_t bit = at + std::size_t(k);
    const unsigned char mask = static_cast<unsigned char>(0x80u >> (bit % 8));
    if ((value >> (bits - 1 - k)) & 1u)
      bytes[bit / 8] = static_cast<char>(static_cast<unsigned char>(bytes[bit / 8]) | mask);
    else
      bytes[bit / 8] = static_cast<char>(static_cast<unsigned char>(bytes[bit / 8]) & ~mask);
  }
}

unsigned GetBits(const std::string& bytes, std::size_t at, int bits) {
  unsigned value = 0;
  for (int k = 0; k < bits; ++k) {
    const std::size_t bit = at + std::size_t(k);
    value = (value << 1) | ((static_cast<unsigned char>(bytes[bit / 8]) >> (7 - bit % 8)) & 1u);
  }
  return value;
}

}  // namespace

bool MakeFlvDeclaringPictureSize(const std::string& path, double seconds, int width, int height, int every) {
  FixtureSpec shape;
  shape.seconds = seconds;
  shape.width = 320;  // wider than 255: the picture header holds 16-bit sizes
  shape.height = 256;
  shape.fps = 10;
  shape.codecArgs = "-c:v flv1 -c:a aac -f flv";
  if (!MakeMediaFixture(path, shape)) return false;
  std::string flv;
  {
    std::ifstream in(path, std::ios::binary);
    flv.assign(std::istreambuf_iterator<char>(in), {});
  }
  // FLV: a 9-byte header and a 4-byte size, then tags of an 11-byte head,
  // their data and a 4-byte size. A video tag's data is one byte of frame
  // type and codec (2: Sorenson H.263), then the picture: a 17-bit start
  // code, 5 bits of version, 8 of time, 3 of size format (1: 16-bit sizes),
  // then 16 bits of width and 16 of height.
  if (flv.size() < 13 || flv.compare(0, 3, "FLV") != 0) return false;
  std::size_t at = 13;
  int pictures = 0, patched = 0;
  while (at + 11 <= flv.size()) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(flv[i]); };
    const std::size_t size = (std::size_t(byte(at + 1)) << 16) | (std::size_t(byte(at + 2)) << 8) | byte(at + 3);
    const std::size_t data = at + 11;
    if (data + size > flv.size()) return false;
    if (byte(at) == 9 && size > 9 && (byte(data) & 0x0F) == 2) {
      std::string picture = flv.substr(data + 1, size - 1);
      if (GetBits(picture, 0, 17) != 1 || GetBits(picture, 30, 3) != 1) return false;
      if (pictures++ % every == 0) {
        PutBits(picture, 33, 16, unsigned(width));
        PutBits(picture, 49, 16, unsigned(height));
        flv.replace(data + 1, size - 1, picture);
        ++patched;
      }
    }
    at = data + size + 4;
  }
  if (patched == 0) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(flv.data(), std::streamsize(flv.size()));
  return bool(out);
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
