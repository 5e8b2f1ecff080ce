// The progress line of `larkvale download`: the bar on a terminal and the
// single line elsewhere, also for a download that resumes a .part file.

#include "cli/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace larkvale::cli {
namespace {

// What the line wrote, read back from a temporary file.
std::string Written(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(char(c));
  return text;
}

TEST(ProgressLine, TheBarShowsSizeSpeedAndTimeLeftAndCountsAResumedPartOnlyInTheSize) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    ProgressLine line(QStringLiteral("flv0video.mp4"), ProgressLine::Unit::Bytes, true, file);
    // A quarter was there from an earlier run; nothing has come in this one.
    line.SetTotal(4 * 1048576.0);
    line.SetStart(1048576.0);
    line.Finish(QStringLiteral("stopped"));
  }
  std::string text = Written(file);
  // The last redraw: from the last carriage return on.
  std::string last = text.substr(text.rfind('\r') + 1);
  EXPECT_EQ(last, "flv0video.mp4 [######------------------]  25% 1.0 MiB of 4.0 MiB  0 B/s\033[K  stopped\n");
  std::fclose(file);

  file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    ProgressLine line(QStringLiteral("flv0video.mp4"), ProgressLine::Unit::Bytes, true, file);
    line.SetTotal(4 * 1048576.0);
    line.SetStart(1048576.0);
    line.SetDone(2 * 1048576.0);
    line.Finish(QStringLiteral("stopped"));
  }
  text = Written(file);
  last = text.substr(text.rfind('\r') + 1);
  EXPECT_EQ(last.rfind("flv0video.mp4 [############------------]  50% 2.0 MiB of 4.0 MiB  ", 0), 0u) << last;
  EXPECT_NE(last.find("/s  "), std::string::npos) << last;
  EXPECT_NE(last.find(" left\033[K  stopped\n"), std::string::npos) << last;
  std::fclose(file);
}

TEST(ProgressLine, ElsewhereEachFileIsOneLineWhenItEnds) {
  const struct {
    double start;
    const char* says;
  } cases[] = {
      {0, "flv0video.mp4: done, 3.0 MiB (3145728 bytes) in "},
      {1048576, "flv0video.mp4: done, 3.0 MiB (3145728 bytes, resumed at byte 1048576) in "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
      ProgressLine line(QStringLiteral("flv0video.mp4"), ProgressLine::Unit::Bytes, false, file);
      line.SetTotal(3 * 1048576.0);
      if (c.start > 0) line.SetStart(c.start);
      line.SetDone(3 * 1048576.0);
      line.Finish(QStringLiteral("done"));
    }
    const std::string text = Written(file);
    EXPECT_EQ(text.rfind(c.says, 0), 0u) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;  // one line, nothing before it
    std::fclose(file);
  }
}

}  // namespace
}  // namespace larkvale::cli
