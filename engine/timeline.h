#pragma once
// The engine's one timeline: a picture track and a sound track, each a list
// of spans of files played one after the other. The two tracks are kept in
// step by the callers adding the same spans to both.

#include <string>
#include <vector>

namespace larkvale::engine {

struct Clip {
  std::string path;
  double start = 0;  // seconds into the file
  double end = 0;    // exclusive; end > start
  bool hasStream = true;  // false: the file lacks this track, play black or silence
  double length() const { return end - start; }
};

struct Timeline {
  std::vector<Clip> video;
  std::vector<Clip> audio;

  static double Length(const std::vector<Clip>& track) {
    double d = 0;
    for (const Clip& c : track) d += c.length();
    return d;
  }
  double Duration() const {
    double v = Length(video), a = Length(audio);
    return v > a ? v : a;
  }
  bool Empty() const { return video.empty() && audio.empty(); }
};

}  // namespace larkvale::engine
