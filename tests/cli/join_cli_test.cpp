// `larkvale convert --copy` with a part cut short or claiming more than it
// holds: exit status 1, the part named on standard error, and no file, not
// even a temporary one, in the output folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "cli/larkvale_process.h"
#include "engine/damaged_mp4.h"
#include "support/media_fixtures.h"
#include "support/nginx_server.h"

namespace larkvale::testing {
namespace {

namespace fs = std::filesystem;
using enginetest::FindMp4Box;
using enginetest::ReadBytes;
using enginetest::WriteBytes;
using testsupport::FixtureSpec;
using testsupport::MakeMediaFixture;
using testsupport::RunCommand;
using testsupport::ShellQuote;

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

TEST(LarkvaleConvertCopy, ADamagedPartFailsTheJoinNamedAndLeavesNoFile) {
  TempDir home, media, out;
  FixtureSpec part;  // 2 s: 50 pictures
  part.codecArgs = "-c:v libx264 -preset ultrafast -c:a aac";
  const std::string a = media.File("a.mp4"), b = media.File("b.mp4");
  ASSERT_TRUE(MakeMediaFixture(a, part));
  ASSERT_TRUE(MakeMediaFixture(b, part));
  FixtureSpec shorter = part;  // 1 s: 25 pictures
  shorter.seconds = 1;
  const std::string c = media.File("c.mp4");
  ASSERT_TRUE(MakeMediaFixture(c, shorter));
  // Copies with the index before the media, as a download that stopped keeps it.
  const auto indexFirst = [&](const std::string& from, const std::string& to) {
    int status = -1;
    RunCommand("ffmpeg -nostdin -v error -y -i " + ShellQuote(from) + " -c copy -movflags +faststart " + ShellQuote(to),
               &status);
    return status == 0;
  };
  ASSERT_TRUE(indexFirst(b, media.File("b-first.mp4")));
  ASSERT_TRUE(indexFirst(c, media.File("c-first.mp4")));
  const auto cutAt = [](double fraction) {
    return [fraction](std::string& bytes) {
      bytes.resize(std::size_t(double(bytes.size()) * fraction));
      return true;
    };
  };
  const struct {
    const char* name;
    std::string source;
    std::string part;
    std::function<bool(std::string&)> damage;
    std::string message;  // the error line, as a regular expression
  } cases[] = {
      {"cut at three quarters", media.File("b-first.mp4"), "cut.mp4", cutAt(0.75),
       "only [0-9]+ of its 50 pictures could be read; the file is cut short or damaged\\."},
      {"a billion pictures claimed", b, "huge.mp4",
       [](std::string& bytes) { return enginetest::ClaimSamples(bytes, "vide", 1000, 1000000000); },
       "none of its 50 pictures could be read; the file is cut short or damaged\\."},
      // What is left reads as 0.4 s, which the Timeline's whole seconds make 0.
      {"cut in half, under half a second left", media.File("c-first.mp4"), "half.mp4",
       [](std::string& bytes) {
         const auto mdat = FindMp4Box(bytes, "mdat");
         if (!mdat) return false;
         bytes.resize(mdat->at + mdat->size / 2);
         return true;
       },
       "only [0-9]+ of its 25 pictures could be read; the file is cut short or damaged\\."},
  };
  // The parts as made join.
  const LarkvaleRun whole =
      RunLarkvale({"convert", "--copy", a, media.File("b-first.mp4"), "-o", out.File("whole.mp4")}, home.Path());
  ASSERT_TRUE(whole.exited);
  ASSERT_EQ(whole.status, 0) << whole.err;
  fs::remove(out.File("whole.mp4"));

  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    std::string bytes = ReadBytes(k.source);
    ASSERT_TRUE(k.damage(bytes));
    ASSERT_TRUE(WriteBytes(media.File(k.part), bytes));
    const LarkvaleRun run =
        RunLarkvale({"convert", "--copy", a, media.File(k.part), "-o", out.File("joined.mp4")}, home.Path());
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1) << run.err;
    // The progress line, if any, says "failed"; the last line says why.
    const auto lines = run.ErrLines();
    ASSERT_FALSE(lines.empty());
    const std::string named = std::regex_replace(k.part, std::regex("\\."), "\\.");
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex("larkvale: .*" + named + ": " + k.message))) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(FilesIn(out.Path()), std::vector<std::string>{}) << "left in the output folder";
  }
}

}  // namespace
}  // namespace larkvale::testing
