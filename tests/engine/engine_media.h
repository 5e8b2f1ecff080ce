#pragma once
// Media files shared by the engine tests, made once per run with the ffmpeg
// command-line tool in a temporary folder that is removed at exit.

#include <string>

namespace larkvale::enginetest {

struct EngineMedia {
  std::string dir;
  std::string flv;        // 2 s, 320x240 at 25 fps, stereo 44.1 kHz tone
  std::string avi;        // 2 s, 176x144 at 15 fps, mono 22.05 kHz
  std::string mp4;        // 2 s, 320x240 at 25 fps, H.264 and AAC
  std::string silentWide; // 1 s, 320x180 at 30 fps, no sound
  std::string mp3;        // 2 s of sound only
  std::string wav;        // 1 s of sound only
  std::string png;        // one 160x120 picture
  std::string cutFlv;     // a 4 s FLV cut after half its bytes
  std::string text;       // not media
  std::string empty;      // zero bytes
  std::string missing;    // does not exist
};

// Built on first use; fails the calling test when ffmpeg cannot make them.
const EngineMedia& Media();

// A fresh empty folder for one test's outputs, inside the shared one.
std::string FreshDir(const std::string& name);

}  // namespace larkvale::enginetest
